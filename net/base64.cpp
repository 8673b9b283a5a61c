#include "net/base64.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <system_error>
#include <vector>

#include "base/file_path.h"

namespace pmr::net {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kFill = '=';

// A stream is encoded in blocks of 510 bytes, a multiple of 3, so fill characters can only end
// the text. Blocks are read and written in batches to keep stream calls out of the hot loop; a
// read that comes back short means the stream has ended, so the text is the same.
constexpr std::size_t kBlockBytes = 510;
constexpr std::size_t kBatchBytes = kBlockBytes * 32;
constexpr std::size_t kLineGroups = 19;  // 76 characters per line
constexpr std::size_t kFileChunkBytes = 3 * 16384;

// Both characters of every 12-bit value, stored so that copying an entry's bytes to memory puts
// them in text order; a 3-byte group takes two lookups.
constexpr std::array<std::uint16_t, 4096> MakePairTable() {
  std::array<std::uint16_t, 4096> table{};
  for (std::size_t v = 0; v < table.size(); ++v) {
    const auto first = static_cast<std::uint16_t>(static_cast<unsigned char>(kAlphabet[v >> 6]));
    const auto second = static_cast<std::uint16_t>(static_cast<unsigned char>(kAlphabet[v & 63]));
    table[v] = std::endian::native == std::endian::little
                   ? static_cast<std::uint16_t>(first | second << 8)
                   : static_cast<std::uint16_t>(first << 8 | second);
  }
  return table;
}

constexpr std::array<std::uint16_t, 4096> kPairs = MakePairTable();

// 6-bit value of each character; characters outside the alphabet (and the fill) count as 0.
constexpr std::array<std::uint8_t, 256> MakeValueTable() {
  std::array<std::uint8_t, 256> table{};
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> kValues = MakeValueTable();

// The four characters of a 24-bit group, in text order once copied to memory.
inline std::uint32_t GroupText(std::uint32_t group) {
  const std::uint32_t first = kPairs[group >> 12];
  const std::uint32_t second = kPairs[group & 0xFFF];
  return std::endian::native == std::endian::little ? first | second << 16 : first << 16 | second;
}

inline std::uint64_t TwoGroupsText(std::uint64_t six_bytes) {
  const std::uint64_t first = GroupText(static_cast<std::uint32_t>(six_bytes >> 24) & 0xFFFFFF);
  const std::uint64_t second = GroupText(static_cast<std::uint32_t>(six_bytes) & 0xFFFFFF);
  return std::endian::native == std::endian::little ? first | second << 32 : first << 32 | second;
}

// The first 6 bytes at `p` as a big-endian number (8 bytes are read).
inline std::uint64_t LoadSixBytes(const unsigned char* p) {
  std::uint64_t value;
  std::memcpy(&value, p, sizeof value);
  if constexpr (std::endian::native == std::endian::little) {
    value = ((value & 0x00000000FFFFFFFFull) << 32) | ((value & 0xFFFFFFFF00000000ull) >> 32);
    value = ((value & 0x0000FFFF0000FFFFull) << 16) | ((value & 0xFFFF0000FFFF0000ull) >> 16);
    value = ((value & 0x00FF00FF00FF00FFull) << 8) | ((value & 0xFF00FF00FF00FF00ull) >> 8);
  }
  return value >> 16;
}

// Encodes `groups` whole 3-byte groups without line breaks; returns the end of the text.
// Loads read up to 2 bytes past the groups they use, never at or past `readable_end`.
char* EncodeGroups(const unsigned char* in, std::size_t groups, const unsigned char* readable_end,
                   char* out) {
  while (groups >= 4 && readable_end - in >= 14) {
    const std::uint64_t first = TwoGroupsText(LoadSixBytes(in));
    const std::uint64_t second = TwoGroupsText(LoadSixBytes(in + 6));
    std::memcpy(out, &first, 8);
    std::memcpy(out + 8, &second, 8);
    in += 12;
    out += 16;
    groups -= 4;
  }
  for (; groups >= 2 && readable_end - in >= 8; groups -= 2) {
    const std::uint64_t text = TwoGroupsText(LoadSixBytes(in));
    std::memcpy(out, &text, 8);
    in += 6;
    out += 8;
  }
  for (; groups > 0; --groups) {
    const std::uint32_t text =
        GroupText(static_cast<std::uint32_t>(in[0] << 16 | in[1] << 8 | in[2]));
    std::memcpy(out, &text, 4);
    in += 3;
    out += 4;
  }
  return out;
}

// The last group of a text when only 1 or 2 bytes are left; the missing bytes count as 0.
char* EncodeTail(const unsigned char* in, std::size_t count, char* out) {
  const unsigned b0 = in[0];
  const unsigned b1 = count > 1 ? in[1] : 0;
  out[0] = kAlphabet[b0 >> 2];
  out[1] = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
  out[2] = count > 1 ? kAlphabet[(b1 & 15) << 2] : kFill;
  out[3] = kFill;
  return out + 4;
}

constexpr std::size_t EncodedSize(std::size_t bytes) { return (bytes + 2) / 3 * 4; }

constexpr std::size_t WrappedCapacity(std::size_t bytes) {
  const std::size_t groups = (bytes + 2) / 3;
  return groups * 4 + (groups / kLineGroups + 1) * 2;
}

// Line-broken encoding that keeps count of the groups on the current line across calls.
class LineEncoder {
 public:
  // Encodes `count` bytes, the last group padded when `count` is not a multiple of 3.
  char* Encode(const unsigned char* in, std::size_t count, char* out) {
    const unsigned char* const end = in + count;
    std::size_t groups = count / 3;
    while (groups > 0) {
      const std::size_t take = std::min(groups, kLineGroups - line_groups_);
      out = EncodeGroups(in, take, end, out);
      in += take * 3;
      groups -= take;
      out = CountGroups(take, out);
    }
    if (count % 3 != 0) out = CountGroups(1, EncodeTail(in, count % 3, out));
    return out;
  }

 private:
  char* CountGroups(std::size_t groups, char* out) {
    line_groups_ += groups;
    if (line_groups_ == kLineGroups) {
      *out++ = '\r';
      *out++ = '\n';
      line_groups_ = 0;
    }
    return out;
  }

  std::size_t line_groups_ = 0;
};

}  // namespace

void EncodeStream(std::istream& source, std::ostream& destination) {
  std::vector<char> block(kBatchBytes);
  std::vector<char> text(WrappedCapacity(kBatchBytes));
  LineEncoder encoder;
  for (;;) {
    source.read(block.data(), static_cast<std::streamsize>(block.size()));
    if (source.bad()) throw Base64Error("Reading the data to encode in Base64 failed.");
    const auto count = static_cast<std::size_t>(source.gcount());
    if (count == 0) break;
    const char* end =
        encoder.Encode(reinterpret_cast<const unsigned char*>(block.data()), count, text.data());
    destination.write(text.data(), end - text.data());
    if (!destination) throw Base64Error("Writing the Base64 text failed.");
  }
}

void AppendOneLine(std::string& text, std::string_view bytes) {
  const std::size_t start = text.size();
  text.resize(start + EncodedSize(bytes.size()));
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  char* end = EncodeGroups(in, bytes.size() / 3, in + bytes.size(), text.data() + start);
  const std::size_t rest = bytes.size() % 3;
  if (rest != 0) EncodeTail(in + bytes.size() - rest, rest, end);
}

std::string EncodeOneLine(std::string_view bytes) {
  std::string text;
  AppendOneLine(text, bytes);
  return text;
}

std::string EncodePictureFile(const std::filesystem::path& file) {
  std::ifstream source(file, std::ios::binary);
  if (!source.is_open()) throw Base64Error("Cannot open \"" + PathToUtf8(file) + "\".");
  std::string text;
  std::error_code size_error;
  const std::uintmax_t size = std::filesystem::file_size(file, size_error);
  if (!size_error) text.reserve(EncodedSize(static_cast<std::size_t>(size)));

  // Chunks are whole groups, and only the last read can come back short, so only the end of
  // the text can be padded.
  std::vector<char> chunk(kFileChunkBytes);
  for (;;) {
    source.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    if (source.bad()) throw Base64Error("Cannot read \"" + PathToUtf8(file) + "\".");
    const auto count = static_cast<std::size_t>(source.gcount());
    if (count == 0) break;
    AppendOneLine(text, std::string_view(chunk.data(), count));
  }
  return text;
}

std::string DecodeText(std::string_view text) {
  if (text.size() % 4 != 0) throw Base64Error("Uneven size in DecodeToStream.");
  // Written through a pointer into a buffer of the largest size, cut to length at the end:
  // push_back per byte was the hot spot of the decode.
  std::string bytes(text.size() / 4 * 3, '\0');
  char* out = bytes.data();
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const end = in + text.size();
  for (; in != end; in += 4) {
    const unsigned v0 = kValues[in[0]];
    const unsigned v1 = kValues[in[1]];
    const unsigned v2 = kValues[in[2]];
    const unsigned v3 = kValues[in[3]];
    *out++ = static_cast<char>((v0 << 2) | (v1 >> 4));
    if (in[2] == static_cast<unsigned char>(kFill)) continue;
    *out++ = static_cast<char>(((v1 & 15) << 4) | (v2 >> 2));
    if (in[3] == static_cast<unsigned char>(kFill)) continue;
    *out++ = static_cast<char>(((v2 & 3) << 6) | v3);
  }
  bytes.resize(static_cast<std::size_t>(out - bytes.data()));
  return bytes;
}

}  // namespace pmr::net
