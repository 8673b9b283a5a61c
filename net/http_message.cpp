#include "net/http_message.h"

#include <algorithm>
#include <array>

namespace pmr::net {
namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsContinuation(const std::string& line) {
  return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

std::string_view NameOf(std::string_view line) {
  std::size_t colon = line.find(':');
  return colon == std::string_view::npos ? line : line.substr(0, colon);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

// Backslashes to "/", leaving the trail byte of a double-byte character alone (0x5C is a
// valid trail byte in code page 936).
std::string SlashesForward(std::string_view uri) {
  std::string out(uri);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (IsLeadByte(static_cast<unsigned char>(out[i])) && i + 1 < out.size()) {
      ++i;
    } else if (out[i] == '\\') {
      out[i] = '/';
    }
  }
  return out;
}

void SplitPath(std::string_view full, std::string& directory, std::string& name) {
  std::size_t slash = full.rfind('/');
  if (slash == std::string_view::npos) {
    directory.clear();
    name = std::string(full);
  } else {
    directory = std::string(full.substr(0, slash + 1));
    name = std::string(full.substr(slash + 1));
  }
}

struct Phrase {
  int code;
  std::string_view text;
};

constexpr std::array<Phrase, 35> kPhrases{{
    {100, "Continue"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {301, "Moved Permanently"},
    {302, "Moved Temporarily"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method not allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Request Entity To Long"},
    {414, "Request-URI Too Long. 256 Chars max"},
    {415, "Unsupported Media Type"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway timeout"},
    {505, "HTTP version not supported"},
    {0, "Unknown Response Code"},
}};

}  // namespace

// --- Text helpers ---

std::string_view TrimBlanks(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= 0x20) ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 0x20) --end;
  return text.substr(begin, end - begin);
}

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = UpperAscii(c);
  return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// --- THeaderList ---

void THeaderList::Add(std::string line) { lines_.push_back(std::move(line)); }

void THeaderList::AddValue(std::string_view name, std::string_view value) {
  std::string line(name);
  line += ": ";
  line += value;
  lines_.push_back(std::move(line));
}

void THeaderList::Delete(std::size_t index) {
  if (index < lines_.size()) lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(index));
}

std::string THeaderList::Names(std::size_t index) const {
  return std::string(NameOf(lines_.at(index)));
}

int THeaderList::IndexOfName(std::string_view name) const {
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (IsContinuation(lines_[i])) continue;
    if (lines_[i].find(':') == std::string::npos) continue;
    if (EqualsIgnoreCase(NameOf(lines_[i]), name)) return static_cast<int>(i);
  }
  return -1;
}

std::size_t THeaderList::EndOfEntry(std::size_t index) const {
  std::size_t end = index + 1;
  while (end < lines_.size() && IsContinuation(lines_[end])) ++end;
  return end;
}

std::string THeaderList::Values(std::string_view name) const {
  int found = IndexOfName(name);
  if (found < 0) return {};
  std::size_t index = static_cast<std::size_t>(found);
  const std::string& line = lines_[index];
  std::string value(TrimBlanks(std::string_view(line).substr(line.find(':') + 1)));
  for (std::size_t i = index + 1; i < EndOfEntry(index); ++i) {
    value += ' ';
    value += TrimBlanks(lines_[i]);
  }
  return value;
}

void THeaderList::SetValue(std::string_view name, std::string_view value) {
  int found = IndexOfName(name);
  if (found < 0) {
    if (!value.empty()) AddValue(name, value);
    return;
  }
  std::size_t index = static_cast<std::size_t>(found);
  auto first = lines_.begin() + static_cast<std::ptrdiff_t>(index);
  auto last = lines_.begin() + static_cast<std::ptrdiff_t>(EndOfEntry(index));
  if (value.empty()) {
    lines_.erase(first, last);
    return;
  }
  std::string line(name);
  line += ": ";
  line += value;
  *first = std::move(line);
  lines_.erase(first + 1, last);
}

std::string THeaderList::Text() const {
  std::string text;
  for (const std::string& line : lines_) {
    text += line;
    text += "\r\n";
  }
  return text;
}

// --- Decoding ---

std::string UrlDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
      ++i;
    } else if (c == '%') {
      // The "+" rule comes first, so "%+" never names a digit.
      std::size_t available = std::min<std::size_t>(2, text.size() - i - 1);
      if (available == 2) {
        int high = HexDigit(text[i + 1]);
        int low = HexDigit(text[i + 2]);
        if (high >= 0 && low >= 0 && (high | low) != 0) {
          out += static_cast<char>(high * 16 + low);
        }
      }
      i += 1 + available;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

std::string FormEncode(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size() * 3);
  for (unsigned char c : value) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

std::vector<std::string> DecodeParams(std::string_view source) {
  std::vector<std::string> lines;
  if (source.empty()) return lines;
  for (;;) {
    std::size_t amp = source.find('&');
    lines.push_back(UrlDecode(source.substr(0, amp)));
    if (amp == std::string_view::npos) break;
    source.remove_prefix(amp + 1);
  }
  return lines;
}

// --- URI splitting ---

std::string UriParts::Target() const {
  std::string target = path + document;
  if (has_query) {
    target += '?';
    target += query;
  }
  return target;
}

UriParts SplitUri(std::string_view uri) {
  UriParts parts;
  std::string text = SlashesForward(uri);

  std::size_t question = text.find('?');
  if (question != std::string::npos) {
    parts.has_query = true;
    parts.query = text.substr(question + 1);
    text.resize(question);
  }

  std::string_view rest(text);
  std::size_t scheme_end = rest.find("://");
  if (scheme_end != std::string_view::npos && scheme_end > 0 &&
      rest.substr(0, scheme_end).find('/') == std::string_view::npos) {
    parts.scheme = std::string(rest.substr(0, scheme_end));
    rest.remove_prefix(scheme_end + 3);
    std::size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);

    std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
      std::string_view user_info = authority.substr(0, at);
      authority.remove_prefix(at + 1);
      std::size_t colon = user_info.find(':');
      parts.username = std::string(user_info.substr(0, colon));
      if (colon != std::string_view::npos)
        parts.password = std::string(user_info.substr(colon + 1));
    }
    std::size_t colon = authority.find(':');
    parts.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) parts.port = std::string(authority.substr(colon + 1));
  }
  SplitPath(rest, parts.path, parts.document);
  return parts;
}

std::string DecodeDocument(std::string_view uri) {
  if (uri == "*") return "*";
  UriParts parts = SplitUri(uri);
  std::string full = parts.path + parts.document;
  std::string tail;
  if (std::size_t equals = full.find('='); equals != std::string::npos) {
    tail = full.substr(equals);
    full.resize(equals);
  }
  std::string directory;
  std::string name;
  SplitPath(full, directory, name);
  return UrlDecode(directory) + UrlDecode(name) + tail;
}

// --- Response ---

std::string_view ReasonPhrase(int code) {
  for (const Phrase& p : kPhrases) {
    if (p.code == code) return p.text;
  }
  return kPhrases.back().text;
}

void THTTPResponseInfo::SetResponseNo(int code) {
  ResponseNo = code;
  ResponseText = std::string(ReasonPhrase(code));
  if (code == 404) CloseConnection = true;
}

std::int64_t StreamSize(std::istream& stream) {
  stream.clear();
  stream.seekg(0, std::ios::end);
  std::streamoff end = stream.tellg();
  stream.clear();
  stream.seekg(0, std::ios::beg);
  if (end < 0 || !stream) return -1;
  return static_cast<std::int64_t>(end);
}

void THTTPResponseInfo::Send(std::string_view bytes) {
  if (sink_ == nullptr) throw HttpServerError("Response is not bound to a connection.");
  sink_->Write(bytes);
}

void THTTPResponseInfo::WriteHeader() {
  if (HeaderHasBeenWritten) throw HttpServerError("Header has already been written.");
  HeaderHasBeenWritten = true;

  // The realm page replaces the body before its length is taken, so that the length sent
  // is the length of the body sent.
  if (!AuthRealm.empty()) {
    SetResponseNo(401);
    ContentText =
        "<HTML><BODY><B>" + std::to_string(ResponseNo) + " Unauthorized</B></BODY></HTML>";
  }

  if (ContentLength == -1) {
    if (!ContentText.empty()) {
      ContentLength = static_cast<std::int64_t>(ContentText.size());
    } else if (ContentStream) {
      ContentLength = StreamSize(*ContentStream);
    }
  }

  const std::string length_text = ContentLength >= 0 ? std::to_string(ContentLength) : "";
  RawHeaders.Clear();
  RawHeaders.SetValue("Connection", CloseConnection ? "close" : "keep-alive");
  RawHeaders.SetValue("Content-Version", ContentVersion);
  RawHeaders.SetValue("Content-Encoding", ContentEncoding);
  RawHeaders.SetValue("Content-Language", ContentLanguage);
  RawHeaders.SetValue("Content-Type", ContentType);
  RawHeaders.SetValue("Content-Length", length_text);
  RawHeaders.SetValue("Cache-control", CacheControl);
  RawHeaders.SetValue("Date", Date);
  RawHeaders.SetValue("Expires", Expires);
  RawHeaders.SetValue("Pragma", Pragma);
  for (const std::string& line : CustomHeaders.Lines()) RawHeaders.Add(line);
  RawHeaders.SetValue("Server", Server);
  RawHeaders.SetValue("Content-Type", ContentType);
  RawHeaders.SetValue("Content-Length", length_text);
  RawHeaders.SetValue("Location", Location);
  RawHeaders.SetValue("Last-Modified", LastModified);
  if (!AuthRealm.empty()) {
    RawHeaders.SetValue("WWW-Authenticate", "Basic realm=\"" + AuthRealm + "\"");
  }

  std::string head = "HTTP/1.1 " + std::to_string(ResponseNo) + " " + ResponseText + "\r\n";
  head += RawHeaders.Text();
  head += "\r\n";
  Send(head);
}

void THTTPResponseInfo::WriteContent() {
  if (!HeaderHasBeenWritten) WriteHeader();

  if (!ContentText.empty()) {
    Send(ContentText);
  } else if (ContentStream) {
    std::istream& stream = *ContentStream;
    std::int64_t left = StreamSize(stream);
    std::string piece(kStreamPiece, '\0');
    if (left < 0) {
      // Not seekable: its size is unknown, so it goes out to its end.
      while (stream.read(piece.data(), static_cast<std::streamsize>(piece.size())) ||
             stream.gcount() > 0) {
        Send(std::string_view(piece.data(), static_cast<std::size_t>(stream.gcount())));
      }
    }
    while (left > 0) {
      std::size_t want = static_cast<std::size_t>(
          std::min<std::int64_t>(left, static_cast<std::int64_t>(kStreamPiece)));
      stream.read(piece.data(), static_cast<std::streamsize>(want));
      std::size_t got = static_cast<std::size_t>(stream.gcount());
      if (got == 0) throw HttpServerError("No data to read.");
      Send(std::string_view(piece.data(), got));
      left -= static_cast<std::int64_t>(got);
    }
  } else {
    Send("<HTML><BODY><B>" + std::to_string(ResponseNo) + " " + ResponseText +
         "</B></BODY></HTML>\r\n");
  }

  ContentText.clear();
  if (FreeContentStream) {
    ContentStream.reset();
  } else {
    // Its owner keeps the stream.
    static_cast<void>(ContentStream.release());
  }
}

}  // namespace pmr::net
