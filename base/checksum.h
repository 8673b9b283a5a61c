#pragma once

// A fast 64-bit check value (FNV-1a) and its fixed-width hex text: enough to tell a damaged
// file from a whole one, not a defence against anyone who forges data.

#include <cstdint>
#include <string>
#include <string_view>

namespace pmr {

constexpr std::uint64_t kFnv1a64Start = 0xcbf29ce484222325ull;

// Continues `hash` over `bytes`; start from kFnv1a64Start.
inline std::uint64_t Fnv1a64(std::string_view bytes, std::uint64_t hash = kFnv1a64Start) {
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// 16 lower-case hex digits.
inline std::string Hex64(std::uint64_t value) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, value >>= 4) out[i] = kHex[value & 15];
  return out;
}

}  // namespace pmr
