#include "terminal/terminal_api.h"

namespace pmr::terminal {
namespace {

void AppendJsonString(std::string& out, std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  out += '"';
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  out += '"';
}

}  // namespace

std::string TerminalUrl(std::string_view address, std::string_view path) {
  std::string url = "http://";
  url += address;
  url += ":8090";
  url += path;
  return url;
}

std::string PersonRecord(std::string_view id, std::string_view name) {
  std::string out = "{\"id\":";
  AppendJsonString(out, id);
  out += ",\"idcardNum\":\"\",\"name\":";
  AppendJsonString(out, name);
  out += '}';
  return out;
}

std::string CallbackUrl(std::string_view own_address) {
  std::string url = "http://";
  url += own_address;
  url += ":8090/index.html";
  return url;
}

}  // namespace pmr::terminal
