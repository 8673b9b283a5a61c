// Feeds arbitrary bytes to the JSON reader, widened both as UTF-8 and as raw 16-bit units, and
// reads the callback members and the text of whatever it gives.
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/json.h"

namespace {

// UTF-8 to UTF-16; every byte that does not begin a well-formed sequence becomes U+FFFD.
std::u16string WidenUtf8(const std::uint8_t* data, std::size_t size) {
  std::u16string out;
  std::size_t i = 0;
  while (i < size) {
    std::uint8_t b = data[i];
    int extra = b < 0x80                 ? 0
                : b >= 0xC2 && b <= 0xDF ? 1
                : b >= 0xE0 && b <= 0xEF ? 2
                : b >= 0xF0 && b <= 0xF4 ? 3
                                         : -1;
    char32_t cp = extra == 0 ? b : extra == 1 ? b & 0x1F : extra == 2 ? b & 0x0F : b & 0x07;
    bool ok = extra >= 0 && i + extra < size;
    for (int k = 1; ok && k <= extra; ++k) {
      ok = (data[i + k] & 0xC0) == 0x80;
      cp = (cp << 6) | (data[i + k] & 0x3F);
    }
    if (ok && extra >= 2) {
      ok = cp >= (extra == 2 ? 0x800u : 0x10000u) && cp <= 0x10FFFF &&
           !(cp >= 0xD800 && cp <= 0xDFFF);
    }
    if (!ok) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += extra + 1;
  }
  return out;
}

void Exercise(const std::u16string& text) {
  pmr::net::JsonValuePtr root = pmr::net::ParseJson(text);
  if (!root) return;
  std::u16string whole = pmr::net::AsText(*root);
  // The text of a tree reads back as a tree.
  if (root->type() == pmr::net::JsonType::kArray || root->type() == pmr::net::JsonType::kObject) {
    if (!pmr::net::ParseJson(whole)) __builtin_trap();
  }
  for (std::u16string_view name : {u"personId", u"type", u"path", u"time", u"a"}) {
    if (pmr::net::JsonValuePtr member = pmr::net::GetMember(root, name)) {
      pmr::net::AsText(*member);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Exercise(WidenUtf8(data, size));
  std::u16string units(size / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  Exercise(units);
  return 0;
}
