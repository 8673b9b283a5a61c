// The request URI's way through the server's decoding: URI splitting, Document, the parameter
// lines the page API walks, and the form encoding whose values must decode back unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/url.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  using namespace pmr::net;

  UriParts parts = SplitUri(input);
  // A relative URI keeps every byte of its target (only backslashes turn into slashes).
  if (parts.scheme.empty()) Check(parts.Target().size() == size);
  Check(parts.path.empty() || parts.path.back() == '/');
  Check(parts.document.find('/') == std::string::npos);

  std::string_view uri = input.substr(0, input.find('?'));
  std::string document = DecodeDocument(uri);
  // Decoding never grows a text: every escape gives at most one byte.
  Check(document.size() <= uri.size() || (uri == "*" && document == "*"));

  std::vector<std::string> lines = DecodeParams(input);
  std::size_t pieces = input.empty() ? 0 : 1;
  for (char c : input) pieces += c == '&';
  Check(lines.size() == pieces);

  std::string encoded = FormEncode(input);
  for (char c : encoded) {
    Check((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '+' ||
          c == '%');
  }
  std::string decoded = UrlDecode(encoded);
  if (input.find('\0') == std::string_view::npos) {
    Check(decoded == input);
    // An encoded value is one parameter line, whatever "&" and "=" it held.
    std::vector<std::string> one = DecodeParams("v=" + encoded);
    Check(one.size() == 1 && one[0] == "v=" + std::string(input));
  } else {
    Check(decoded.size() < size);
  }
  return 0;
}
