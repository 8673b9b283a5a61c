#include "net/http_message.h"

#include <algorithm>
#include <array>

namespace pmr::net {
namespace {

bool IsContinuation(const std::string& line) {
  return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

std::string_view NameOf(std::string_view line) {
  std::size_t colon = line.find(':');
  return colon == std::string_view::npos ? line : line.substr(0, colon);
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
    if (EqualsIgnoreCaseAscii(NameOf(lines_[i]), name)) return static_cast<int>(i);
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
