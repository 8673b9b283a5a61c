#pragma once
// Base64 with the RFC 4648 alphabet and "=" fill: the encoder for picture uploads and the decoder
// for Basic credentials. Stateless functions, safe to call from any thread.

#include <filesystem>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>

#include "base/error.h"

namespace pmr::net {

// Raised for text that cannot be decoded and for streams or files that fail while encoding.
class Base64Error : public pmr::Error {
 public:
  using pmr::Error::Error;
};

// Writes the Base64 text of every byte left in `source` to `destination`, with CR LF after every
// 76 characters (so also at the very end when the text fills its last line exactly).
// Throws Base64Error when reading `source` or writing `destination` fails.
void EncodeStream(std::istream& source, std::ostream& destination);

// The Base64 text of `bytes` on one line: what EncodeStream writes, without any CR or LF.
std::string EncodeOneLine(std::string_view bytes);

// Appends the one-line Base64 text of `bytes` to `text`. Encoding a whole in parts gives the
// whole's text when every part but the last has a length divisible by 3.
void AppendOneLine(std::string& text, std::string_view bytes);

// The one-line Base64 text of the whole file at `file` (the picture text of an upload).
// Throws Base64Error when the file cannot be opened or read.
std::string EncodePictureFile(const std::filesystem::path& file);

// Decodes `text` group by group. No character is rejected (one outside the alphabet gives
// meaningless bits); "=" in a group's third place keeps one byte of it, in its fourth two.
// Throws Base64Error "Uneven size in DecodeToStream." when the length is not a multiple of 4.
std::string DecodeText(std::string_view text);

}  // namespace pmr::net
