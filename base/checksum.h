#pragma once

// A fast 64-bit check value (FNV-1a) and its fixed-width hex text: enough to tell a damaged
// file from a whole one, not a defence against anyone who forges data.

#include <cstddef>
#include <cstdint>
#include <cstring>
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

// A check value for large data: four FNV-style lanes over 8-byte words (in the machine's byte
// order: the value checks files on the machine that wrote them),
// independent of each other so that the processor runs them side by side, folded into one
// value at the end; several times faster than Fnv1a64. Data may come in parts when every part
// but the last has a length divisible by 32.
class Check64 {
 public:
  void Update(std::string_view bytes) {
    std::size_t i = 0;
    for (; i + 32 <= bytes.size(); i += 32) {
      for (int lane = 0; lane < 4; ++lane) {
        lanes_[lane] ^= Word(bytes.data() + i + 8 * lane);
        lanes_[lane] *= 0x100000001b3ull;
      }
    }
    tail_ = Fnv1a64(bytes.substr(i), tail_);
    size_ += bytes.size();
  }
  std::uint64_t Value() const {
    std::uint64_t hash = tail_ ^ size_;
    for (std::uint64_t lane : lanes_) {
      hash ^= lane;
      hash *= 0x100000001b3ull;
      hash ^= hash >> 29;
    }
    return hash;
  }

 private:
  static std::uint64_t Word(const char* at) {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
  }
  std::uint64_t lanes_[4] = {kFnv1a64Start, kFnv1a64Start ^ 1, kFnv1a64Start ^ 2,
                             kFnv1a64Start ^ 3};
  std::uint64_t tail_ = kFnv1a64Start;
  std::uint64_t size_ = 0;
};

// 16 lower-case hex digits.
inline std::string Hex64(std::uint64_t value) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, value >>= 4) out[i] = kHex[value & 15];
  return out;
}

}  // namespace pmr
