// Code page 936 through iconv. An iconv handle carries conversion state and must not be shared
// between threads, so every thread keeps its own pair, reset at the start of each call.

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

#include "base/text.h"

namespace pmr::text_internal {
namespace {

class Converter {
 public:
  Converter(const char* to, const char* from) : handle_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(handle_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return handle_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return handle_; }

 private:
  iconv_t handle_;
};

// Converts `input` as a whole; at each place that cannot be converted (a character the target
// lacks, or bytes that are no character of the source) writes one "?" and skips the bytes that
// `skip` names.
template <typename Skip>
std::string Run(Converter& converter, std::string_view input, Skip skip) {
  if (!converter.ok()) throw TextError("no converter for code page 936 on this system");
  iconv_t cd = converter.get();
  iconv(cd, nullptr, nullptr, nullptr, nullptr);

  std::string out;
  out.reserve(input.size() + input.size() / 2);
  char buffer[4096];
  // iconv's signature wants a mutable pointer; it only reads through it.
  char* in = const_cast<char*>(input.data());
  std::size_t in_left = input.size();
  while (in_left > 0) {
    char* dst = buffer;
    std::size_t dst_left = sizeof buffer;
    const std::size_t result = iconv(cd, &in, &in_left, &dst, &dst_left);
    const int error = errno;
    out.append(buffer, static_cast<std::size_t>(dst - buffer));
    if (result != static_cast<std::size_t>(-1) || error == E2BIG) continue;
    if (error != EILSEQ && error != EINVAL) throw TextError("code page 936 conversion failed");
    // EINVAL: the input ends inside a character.
    const std::size_t n =
        error == EINVAL ? in_left : std::clamp<std::size_t>(skip(in, in_left), 1, in_left);
    out += '?';
    in += n;
    in_left -= n;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  char* dst = buffer;
  std::size_t dst_left = sizeof buffer;
  iconv(cd, nullptr, nullptr, &dst, &dst_left);
  out.append(buffer, static_cast<std::size_t>(dst - buffer));
  return out;
}

// The input is well-formed, so the lead byte tells the length of the character to skip.
std::size_t Utf8CharLength(const char* at, std::size_t) {
  const auto b = static_cast<unsigned char>(*at);
  if (b < 0xE0) return b < 0x80 ? 1 : 2;
  return b < 0xF0 ? 3 : 4;
}

// A bad byte is dropped alone, so that a valid character behind it is kept.
std::size_t OneByte(const char*, std::size_t) { return 1; }

}  // namespace

std::string BmpUtf8ToCp936(std::string_view utf8) {
  thread_local Converter converter("CP936", "UTF-8");
  return Run(converter, utf8, Utf8CharLength);
}

std::string Cp936ToUtf8(std::string_view cp936) {
  thread_local Converter converter("UTF-8", "CP936");
  return Run(converter, cp936, OneByte);
}

}  // namespace pmr::text_internal
