#pragma once

// Percent coding and URI splitting, one place for every part of the program: query and form
// decoding as the server reads requests, form encoding and request targets as the client
// writes them. Pure functions over bytes; no character-set conversion.

#include <string>
#include <string_view>
#include <vector>

namespace pmr::net {

// "+" becomes a blank; "%" takes the next two bytes as a hexadecimal number and appends that
// byte when it is 1..255, nothing when it is 0 or not hexadecimal; the "%" and up to two
// following bytes are consumed in every case. Every other byte is copied.
std::string UrlDecode(std::string_view text);

// Form encoding of a value: letters and digits stay, a blank becomes "+", every other byte
// "%XX" (upper-case hexadecimal). UrlDecode gives back any value without a NUL byte.
std::string FormEncode(std::string_view value);

// Cuts `source` at every "&" and URL-decodes each piece into one line; empty pieces give
// empty lines, an empty source gives none.
std::vector<std::string> DecodeParams(std::string_view source);

// The parts of a URI, undecoded. Backslashes have become "/" (except the second byte of a
// double-byte code page 936 character).
struct UriParts {
  std::string scheme;  // empty for a relative URI
  std::string username;
  std::string password;
  std::string host;
  std::string port;      // as written; empty when the URI names none
  std::string path;      // directory part, up to and including the last "/"
  std::string document;  // name part after the last "/"
  std::string query;     // text after the first "?"
  bool has_query = false;

  // path + document, then "?" + query when the URI had one: the target as given.
  std::string Target() const;
};

// Splits `uri`. An absolute URI is scheme "://" [user [":" password] "@"] host [":" port]
// path; its path is "/" when it names none. Anything else is a path (with optional query).
UriParts SplitUri(std::string_view uri);

// The request's `Document` for a request URI without its query: "*" stays "*"; otherwise
// the URL-decoded directory part and name part, where the text from the first "=" of the
// path on is appended undecoded instead.
std::string DecodeDocument(std::string_view uri);

// A request target as the client sends it: bytes that would end the request line or start a
// header (controls, blank, DEL) become "%XX"; everything else goes out as given.
std::string EscapeTarget(std::string_view target);

}  // namespace pmr::net
