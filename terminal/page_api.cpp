#include "terminal/page_api.h"

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>

#include "base/error.h"
#include "base/file_path.h"
#include "base/text.h"
#include "portal/panes.h"
#include "terminal/person_commands.h"

namespace pmr::terminal {
namespace {

namespace fs = std::filesystem;

// The line without its first `key`, the letter case ignored.
std::string RemoveFirst(const std::string& line, std::string_view key) {
  const std::string lower = AsciiLower(line);
  const auto at = lower.find(key);
  if (at == std::string::npos) return line;
  return line.substr(0, at) + line.substr(at + key.size());
}

// Pages send the name as UTF-8 or, from older pages, in code page 936.
std::string AsText(const std::string& bytes) {
  return IsWellFormedUtf8(bytes) ? bytes : Cp936ToUtf8(bytes);
}

std::string ScriptCall(std::string_view function, std::string_view argument) {
  std::string body(function);
  body += "('";
  body += portal::EscapeScriptString(argument);
  body += "')";
  return Utf8ToCp936(body);
}

bool IsInside(const fs::path& folder, const fs::path& file) {
  std::error_code ec;
  const fs::path base = fs::canonical(folder, ec);
  if (ec) return false;
  const fs::path real = fs::canonical(file, ec);
  if (ec) return false;
  auto b = base.begin();
  auto r = real.begin();
  for (; b != base.end(); ++b, ++r) {
    if (r == real.end() || *r != *b) return false;
  }
  return r != real.end();
}

// A request without Host (an old client) is served; else the header must name this service
// itself: a page whose DNS name rebinds to 127.0.0.1 still sends its own name here.
bool HostAllowed(const net::THTTPRequestInfo& request, int port) {
  if (!request.RawHeaders.HasName("Host")) return true;
  const std::string suffix = ":" + std::to_string(port);
  return EqualsIgnoreCaseAscii(request.Host, "127.0.0.1" + suffix) ||
         EqualsIgnoreCaseAscii(request.Host, "localhost" + suffix);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool IsRefusedDeleteId(std::string_view id) {
  std::string_view text = TrimBlanks(id);
  if (text.empty()) return true;
  std::size_t at = 0;
  bool negative = false;
  for (; at < text.size() && (text[at] == '+' || text[at] == '-'); ++at) {
    negative |= text[at] == '-';
  }
  if (!negative) return false;
  // A type suffix that some number parsers take.
  if (std::string_view("dDfFlL").find(text.back()) != std::string_view::npos) text.remove_suffix(1);
  // The mantissa is 1 when it has exactly one non-zero digit, a 1, whose place the point and
  // the exponent move to the units.
  long long digits = 0;
  long long integer_digits = -1;  // digits before the point; -1 until the point or the end
  long long one_at = -1;
  bool other_digit = false;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (IsDigit(c)) {
      if (c == '1' && one_at < 0) {
        one_at = digits;
      } else if (c != '0') {
        other_digit = true;
      }
      ++digits;
    } else if (c == '.' && integer_digits < 0) {
      integer_digits = digits;
    } else {
      break;
    }
  }
  if (integer_digits < 0) integer_digits = digits;
  if (digits == 0 || one_at < 0 || other_digit) return false;
  long long exponent = 0;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    const bool minus = at < text.size() && text[at] == '-';
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    if (at == text.size()) return false;
    for (; at < text.size() && IsDigit(text[at]); ++at) {
      // Beyond any request's length, the place can no longer reach the units.
      exponent = std::min(exponent * 10 + (text[at] - '0'), 1LL << 40);
    }
    if (minus) exponent = -exponent;
  }
  return at == text.size() && one_at == integer_digits - 1 + exponent;
}

fs::path PictureFile(const fs::path& folder, std::string_view document) {
  if (document.empty() || document.front() != '/') return {};
  const std::string_view relative = document.substr(1);
  if (relative.empty()) return {};
  fs::path result = folder;
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = relative.find('/', start);
    if (end == std::string_view::npos) end = relative.size();
    const std::string_view segment = relative.substr(start, end - start);
    if (segment.empty() || segment == "." || segment == "..") return {};
    if (segment.find_first_of(std::string_view("\\:\0", 3)) != std::string_view::npos) return {};
    result /= fs::path(std::string(segment));
    start = end + 1;
  }
  std::error_code ec;
  if (!fs::is_regular_file(result, ec) || !IsInside(folder, result)) return {};
  return result;
}

void PageApiCommandGet(const PageApiContext& context, const net::THTTPRequestInfo& request,
                       net::THTTPResponseInfo& response) {
  response.CustomHeaders.Add("Access-Control-Allow-Origin:*");
  response.CustomHeaders.Add("Access-Control-Allow-Methods:*");
  if (!HostAllowed(request, context.page_port)) {
    context.log.LogDetail("page API: refused a request for the host \"" + AsText(request.Host) +
                          "\"");
    response.SetResponseNo(403);
    response.ContentLength = 0;
    return;
  }

  std::string document = request.Document;
  context.log.Log(AsText(document));

  std::string pid;
  std::string name;
  for (std::size_t i = 0; i < request.Params.size(); ++i) {
    const std::string& line = request.Params[i];
    context.log.Log(std::to_string(i) + "----" + AsText(line));
    if (line.find("pid=") != std::string::npos) pid = RemoveFirst(line, "pid=");
    if (line.find("name=") != std::string::npos) name = AsText(RemoveFirst(line, "name="));
  }

  // The page's root is the picture folder's index.html.
  std::string file_document = document;
  if (document == "/") {
    document = "\\index.html";
    file_document = "/index.html";
  }

  const TerminalTarget target = CurrentTarget(context.state, context.terminal_port);
  auto reply = [&](std::string_view function, std::string_view result) {
    response.SetResponseNo(200);
    response.ContentText = ScriptCall(function, result);
  };
  if (document == "/takeimg") {
    reply("jdqfaceapi_takeimg", FaceTakeImg(target, context.log, pid, name));
  } else if (document == "/takecard") {
    reply("jdqfaceapi_takecard", FaceIcCardRegist(target, context.log, pid, name));
  } else if (document == "/update") {
    reply("jdqfaceapi_update",
          PersonUpdate(target, context.log, pid, name) ? kSuccessText : std::string_view());
  } else if (document == "/clearimg") {
    // The terminal clears itself for -1; only the guarded format menu may ask for that.
    if (IsRefusedDeleteId(pid)) {
      context.log.LogDetail("page API: /clearimg refused the id \"" + AsText(pid) + "\"");
      reply("jdqfaceapi_clearimg", kFailureText);
    } else {
      reply("jdqfaceapi_clearimg", PersonDelete(target, context.log, pid));
    }
  }

  context.log.Log(AsText(PathToUtf8(context.picture_folder) + document));
  const fs::path file = PictureFile(context.picture_folder, file_document);
  if (file.empty()) return;
  auto stream = std::make_unique<std::ifstream>(file, std::ios::binary);
  if (!*stream) throw pmr::Error("Cannot open file \"" + PathToUtf8(file) + "\".");
  response.ContentStream = std::move(stream);
  response.ContentType = "image/jpg";
  response.SetResponseNo(200);
}

}  // namespace pmr::terminal
