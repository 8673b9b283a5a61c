#include "net/url.h"

#include <algorithm>

namespace pmr::net {
namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";

void AppendEscaped(std::string& out, unsigned char c) {
  out += '%';
  out += kHexUpper[c >> 4];
  out += kHexUpper[c & 0xF];
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

}  // namespace

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
  std::string out;
  out.reserve(value.size() * 3);
  for (unsigned char c : value) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      AppendEscaped(out, c);
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

std::string EscapeTarget(std::string_view target) {
  std::string out;
  for (unsigned char c : target) {
    if (c <= ' ' || c == 0x7F) {
      AppendEscaped(out, c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace pmr::net
