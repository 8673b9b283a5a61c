// Decodes arbitrary text and checks the codec's round trips: every byte string comes back from
// its encoding, the stream encoder's text is the one-line text with line breaks, and text of
// whole alphabet groups survives decoding and encoding unchanged.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

#include "net/base64.h"

namespace {

bool InAlphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  // Bytes to text and back.
  const std::string line = pmr::net::EncodeOneLine(input);
  Check(line.size() == (size + 2) / 3 * 4);
  Check(pmr::net::DecodeText(line) == input);

  std::istringstream source{std::string(input)};
  std::ostringstream wrapped;
  pmr::net::EncodeStream(source, wrapped);
  std::string unwrapped;
  const std::string text = wrapped.str();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i % 78 == 76) {
      Check(text.compare(i, 2, "\r\n") == 0);
      ++i;
      continue;
    }
    unwrapped += text[i];
  }
  Check(unwrapped == line);

  // Arbitrary text: an error for an uneven length, otherwise bytes whose count follows the fills.
  std::string decoded;
  try {
    decoded = pmr::net::DecodeText(input);
  } catch (const pmr::net::Base64Error&) {
    Check(size % 4 != 0);
    return 0;
  }
  Check(size % 4 == 0);
  std::size_t expected = 0;
  bool whole_groups = true;
  for (std::size_t i = 0; i < size; i += 4) {
    expected += input[i + 2] == '=' ? 1 : input[i + 3] == '=' ? 2 : 3;
    for (std::size_t j = i; j < i + 4; ++j) whole_groups = whole_groups && InAlphabet(input[j]);
  }
  Check(decoded.size() == expected);
  // Four alphabet characters carry exactly three bytes, so such text is canonical.
  if (whole_groups) Check(pmr::net::EncodeOneLine(decoded) == input);
  Check(pmr::net::DecodeText(pmr::net::EncodeOneLine(decoded)) == decoded);
  return 0;
}
