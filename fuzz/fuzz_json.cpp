// Feeds arbitrary bytes to the JSON reader, widened both as UTF-8 and as raw 16-bit units, and
// reads the callback members and the text of whatever it gives.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/text.h"
#include "net/json.h"

namespace {

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
  Exercise(pmr::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size)));
  std::u16string units(size / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  Exercise(units);
  return 0;
}
