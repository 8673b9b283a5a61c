#pragma once

// Text encodings. Strings inside the program are UTF-8; code page 936 (GBK) appears only at the
// edges, and UTF-16 only where the JSON reader and the browser control want it.
// Every function is pure and safe to call from any number of threads at once. Malformed input
// never throws; the conversions to and from code page 936 throw TextError only when the platform
// has no converter for that code page.

#include <string>
#include <string_view>

#include "base/error.h"

namespace pmr {

// The platform cannot convert to or from code page 936.
class TextError : public Error {
 public:
  using Error::Error;
};

// True when `bytes` is well-formed UTF-8 as a whole: no overlong forms, no surrogates
// (U+D800-U+DFFF), nothing above U+10FFFF, no truncated sequence, no stray continuation byte.
bool IsWellFormedUtf8(std::string_view bytes);

// UTF-8 to code page 936 bytes. Characters the code page lacks become "?"; so does each
// malformed part of the input (one "?" per maximal ill-formed subsequence).
std::string Utf8ToCp936(std::string_view utf8);

// Code page 936 bytes to UTF-8. Each byte that does not start a valid character becomes "?".
std::string Cp936ToUtf8(std::string_view cp936);

// The rule for bodies and replies that arrive as UTF-8: text that is not well-formed UTF-8 as a
// whole gives the empty text; otherwise every character code page 936 lacks becomes "?". The
// result is still UTF-8 (it holds exactly what the code page can hold).
std::string DecodeUtf8ToAnsi(std::string_view bytes);

// UTF-8 to UTF-16. Each maximal ill-formed subsequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

// UTF-16 to UTF-8. A surrogate without its partner becomes U+FFFD (bytes EF BF BD).
std::string Utf16ToUtf8(std::u16string_view utf16);

// ASCII letters lowered or raised; every other byte (UTF-8 included) is kept as it is.
std::string AsciiLower(std::string_view text);
std::string AsciiUpper(std::string_view text);

// `text` without the bytes <= 0x20 (blanks and control characters) at both ends.
std::string_view TrimBlanks(std::string_view text);

// Comparisons that fold only the ASCII letters A-Z; other bytes must match exactly.
bool EqualsIgnoreCaseAscii(std::string_view a, std::string_view b);
bool StartsWithIgnoreCaseAscii(std::string_view text, std::string_view prefix);
bool ContainsIgnoreCaseAscii(std::string_view text, std::string_view needle);

namespace text_internal {

// Platform halves of the code page 936 conversions. The input of BmpUtf8ToCp936 is well-formed
// UTF-8 without characters above U+FFFF; both throw TextError when no converter exists.
std::string BmpUtf8ToCp936(std::string_view utf8);
std::string Cp936ToUtf8(std::string_view cp936);

}  // namespace text_internal

}  // namespace pmr
