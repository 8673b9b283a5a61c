#include "base/text.h"

#include <algorithm>
#include <cstddef>

namespace pmr {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

struct Decoded {
  char32_t code_point;
  std::size_t length;  // bytes taken; for a bad sequence its maximal ill-formed part, >= 1
  bool ok;
};

// One code point at `at`, by the table of well-formed byte sequences: the second byte's range
// depends on the first, which is what excludes overlongs, surrogates and values past U+10FFFF.
Decoded DecodeOne(std::string_view s, std::size_t at) {
  const auto b0 = static_cast<unsigned char>(s[at]);
  if (b0 < 0x80) return {b0, 1, true};
  std::size_t trailing = 0;
  char32_t cp = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    trailing = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    trailing = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) low = 0xA0;   // overlong below U+0800
    if (b0 == 0xED) high = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    trailing = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) low = 0x90;   // overlong below U+10000
    if (b0 == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return {0, 1, false};  // continuation byte, C0, C1 or F5-FF
  }
  for (std::size_t k = 1; k <= trailing; ++k) {
    if (at + k >= s.size()) return {0, k, false};
    const auto b = static_cast<unsigned char>(s[at + k]);
    if (b < low || b > high) return {0, k, false};
    low = 0x80;
    high = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, trailing + 1, true};
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool IsAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

bool EqualFolded(char a, char b) { return LowerAscii(a) == LowerAscii(b); }

}  // namespace

bool IsWellFormedUtf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const Decoded d = DecodeOne(bytes, i);
    if (!d.ok) return false;
    i += d.length;
  }
  return true;
}

std::string Utf8ToCp936(std::string_view utf8) {
  // ASCII is the same in both.
  if (IsAscii(utf8)) return std::string(utf8);
  // Malformed parts and characters above the BMP (none of which the code page has) become "?"
  // here, so both platform converters see the same clean input.
  std::string clean;
  clean.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const Decoded d = DecodeOne(utf8, i);
    if (d.ok && d.code_point <= 0xFFFF) {
      clean.append(utf8.substr(i, d.length));
    } else {
      clean += '?';
    }
    i += d.length;
  }
  return text_internal::BmpUtf8ToCp936(clean);
}

std::string Cp936ToUtf8(std::string_view cp936) {
  if (IsAscii(cp936)) return std::string(cp936);
  return text_internal::Cp936ToUtf8(cp936);
}

std::string DecodeUtf8ToAnsi(std::string_view bytes) {
  if (!IsWellFormedUtf8(bytes)) return std::string();
  if (IsAscii(bytes)) return std::string(bytes);
  // The round trip leaves exactly what the code page can hold.
  return Cp936ToUtf8(Utf8ToCp936(bytes));
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const Decoded d = DecodeOne(utf8, i);
    const char32_t cp = d.ok ? d.code_point : kReplacement;
    if (cp < 0x10000) {
      out += static_cast<char16_t>(cp);
    } else {
      const char32_t v = cp - 0x10000;
      out += static_cast<char16_t>(0xD800 + (v >> 10));
      out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
    }
    i += d.length;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char16_t u = utf16[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                          (static_cast<char32_t>(utf16[i + 1]) - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
  }
  return out;
}

std::string_view TrimBlanks(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= 0x20) ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 0x20) --end;
  return text.substr(begin, end - begin);
}

bool EqualsIgnoreCaseAscii(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), EqualFolded);
}

bool StartsWithIgnoreCaseAscii(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         EqualsIgnoreCaseAscii(text.substr(0, prefix.size()), prefix);
}

bool ContainsIgnoreCaseAscii(std::string_view text, std::string_view needle) {
  if (needle.empty()) return true;
  return std::search(text.begin(), text.end(), needle.begin(), needle.end(), EqualFolded) !=
         text.end();
}

}  // namespace pmr
