// Code page 936 through the Win32 converters; the UTF-8 side uses our own UTF-16 code.

#include <windows.h>

#include <climits>
#include <cstddef>

#include "base/text.h"

namespace pmr::text_internal {
namespace {

constexpr UINT kCp936 = 936;

int CheckedLength(std::size_t size) {
  if (size > static_cast<std::size_t>(INT_MAX)) throw TextError("text too long to convert");
  return static_cast<int>(size);
}

// Appends the conversion of `part` to `into`; false when `part` holds bytes that are no
// character of the code page.
bool AppendWide(std::string_view part, std::wstring& into) {
  if (part.empty()) return true;
  const int length = CheckedLength(part.size());
  const int n = MultiByteToWideChar(kCp936, MB_ERR_INVALID_CHARS, part.data(), length, nullptr, 0);
  if (n <= 0) {
    if (GetLastError() == ERROR_NO_UNICODE_TRANSLATION) return false;
    throw TextError("no converter for code page 936 on this system");
  }
  const std::size_t old_size = into.size();
  into.resize(old_size + static_cast<std::size_t>(n));
  MultiByteToWideChar(kCp936, MB_ERR_INVALID_CHARS, part.data(), length, into.data() + old_size, n);
  return true;
}

}  // namespace

std::string BmpUtf8ToCp936(std::string_view utf8) {
  const std::u16string utf16 = Utf8ToUtf16(utf8);
  if (utf16.empty()) return std::string();
  const std::wstring wide(utf16.begin(), utf16.end());
  const int length = CheckedLength(wide.size());
  // No best fit: a character the code page lacks becomes "?", never a look-alike.
  const char kDefault[] = "?";
  const int n = WideCharToMultiByte(kCp936, WC_NO_BEST_FIT_CHARS, wide.data(), length, nullptr, 0,
                                    kDefault, nullptr);
  if (n <= 0) throw TextError("no converter for code page 936 on this system");
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(kCp936, WC_NO_BEST_FIT_CHARS, wide.data(), length, out.data(), n, kDefault,
                      nullptr);
  return out;
}

std::string Cp936ToUtf8(std::string_view cp936) {
  std::wstring wide;
  if (!AppendWide(cp936, wide)) {
    // Character by character, so that each bad byte alone becomes "?" as on other platforms.
    wide.clear();
    for (std::size_t i = 0; i < cp936.size();) {
      const bool lead = IsDBCSLeadByteEx(kCp936, static_cast<BYTE>(cp936[i])) != 0;
      const std::size_t length = (lead && i + 1 < cp936.size()) ? 2 : 1;
      if (AppendWide(cp936.substr(i, length), wide)) {
        i += length;
      } else {
        wide += L'?';
        i += 1;
      }
    }
  }
  return Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
}

}  // namespace pmr::text_internal
