#include "tools/portal_sim/portal_sim.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>

#include "net/http_message.h"

namespace pmr::portal_sim {
namespace {

// The request target as sent, made safe for one log line.
std::string LogTarget(const net::THTTPRequestInfo& request) {
  std::string target = request.Document;
  const std::string& raw = request.RawHTTPCommand;
  const std::size_t a = raw.find(' ');
  if (a != std::string::npos) {
    const std::size_t b = raw.find(' ', a + 1);
    target = raw.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
  }
  if (target.size() > 300) target = target.substr(0, 300) + "...";
  for (char& c : target) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return target;
}

// Control bytes (and blanks, unless kept) as "?", so a value cannot split a line or a field.
std::string Printable(std::string text, bool keep_blanks = true) {
  for (char& c : text) {
    if ((c == ' ' && !keep_blanks) || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

std::string JsonString(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

bool ParseInt(const std::string& text, int& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

constexpr std::uint64_t kMillion = 1000000;

void Text(net::THTTPResponseInfo& response, int code, std::string body) {
  response.SetResponseNo(code);
  response.ContentType = "text/plain; charset=utf-8";
  response.ContentText = std::move(body);
}

}  // namespace

std::optional<double> ParseShare(std::string_view text) {
  double share = 0;
  auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), share, std::chars_format::fixed);
  if (ec != std::errc() || end != text.data() + text.size() || !(share >= 0 && share <= 1)) {
    return std::nullopt;
  }
  return share;
}

PortalSim::PortalSim(PortalSimOptions options, LogFn log)
    : options_(std::move(options)), log_(std::move(log)), store_(options_.store), server_(0) {
  SetFailShare(options_.fail_uploads);
  server_.Limits.max_body_bytes = 64u << 20;
  server_.OnCommandGet = [this](net::TPeerThread&, net::THTTPRequestInfo& request,
                                net::THTTPResponseInfo& response) { Handle(request, response); };
}

PortalSim::~PortalSim() { Stop(); }

void PortalSim::Start(const std::string& ip, std::uint16_t port) {
  {
    MutexLock lock(stop_mutex_);
    stopping_ = false;
  }
  server_.Bindings = {{ip, port}};
  server_.SetActive(true);
}

void PortalSim::Stop() {
  {
    MutexLock lock(stop_mutex_);
    stopping_ = true;
  }
  stop_changed_.NotifyAll();
  if (server_.Active()) server_.SetActive(false);
}

std::uint16_t PortalSim::Port() const { return server_.ListeningPort(); }

bool PortalSim::ApplySwitches(net::THTTPResponseInfo& response) {
  if (const int ms = hang_ms_.load(); ms > 0) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    MutexLock lock(stop_mutex_);
    while (!stopping_ && stop_changed_.WaitUntil(stop_mutex_, until)) {
    }
  }
  const int code = status_code_.load();
  if (code == 200) return false;
  ++failed_by_switch_;
  Text(response, code, "模拟故障 " + std::to_string(code));
  return true;
}

void PortalSim::SetFailShare(double share) {
  MutexLock lock(fail_mutex_);
  fail_millionths_ = static_cast<std::uint64_t>(std::llround(std::clamp(share, 0.0, 1.0) * 1e6));
  fail_requests_ = 0;
}

bool PortalSim::FailThisUpload() {
  MutexLock lock(fail_mutex_);
  if (fail_millionths_ == 0) return false;
  // Fails when the running sum of the share passes a whole number.
  const std::uint64_t before = fail_requests_ * fail_millionths_ / kMillion;
  ++fail_requests_;
  return fail_requests_ * fail_millionths_ / kMillion > before;
}

void PortalSim::Handle(net::THTTPRequestInfo& request, net::THTTPResponseInfo& response) {
  const std::string& doc = request.Document;
  const std::string line = request.Command + " " + LogTarget(request);
  if (doc == kIdentityPath || doc == kSchoolCodePath) {
    const bool is_hid = doc == kIdentityPath;
    if (ApplySwitches(response)) {
      log_(line + " -> " + std::to_string(response.ResponseNo) + " (switch)");
      return;
    }
    std::string body;
    if (is_hid) {
      ++gethid_;
      body = options_.hid;
    } else {
      ++getsp_;
      if (ParamValue(request.Params, "hid") == options_.hid) body = options_.sp;
    }
    Text(response, 200, body);
    log_(line + " -> 200 " + Printable(body));
    return;
  }
  if (doc == kUploadPath) {
    if (ApplySwitches(response)) {
      log_("upload -> " + std::to_string(response.ResponseNo) + " (switch)");
      return;
    }
    if (FailThisUpload()) {
      ++failed_uploads_;
      Text(response, 500, "fail");
      log_("upload -> 500 (fail share)");
      return;
    }
    Upload(request, response);
    return;
  }
  if (doc.rfind("/sim/", 0) == 0) {
    Switch(request, response);
    log_(line + " -> " + std::to_string(response.ResponseNo));
    return;
  }
  if (std::optional<std::string> page =
          RenderPage(doc, request.Params, {options_.hid, options_.sp})) {
    response.SetResponseNo(200);
    response.ContentType = "text/html; charset=utf-8";
    response.ContentText = std::move(*page);
  } else {
    Text(response, 404, "页面不存在");
  }
  log_(line + " -> " + std::to_string(response.ResponseNo));
}

void PortalSim::Upload(net::THTTPRequestInfo& request, net::THTTPResponseInfo& response) {
  auto reject = [&](const std::string& why, int code = 400) {
    ++rejected_;
    Text(response, code, "上传失败：" + why);
    log_("upload rejected (" + why + ") -> " + std::to_string(code));
  };
  if (request.Command != "POST") return reject("请用POST上传", 405);
  // The body is read as a form whatever the content type says.
  const std::vector<std::string> fields = net::DecodeParams(request.FormParams);
  for (const char* name : {"sp", "picbase64", "pid", "taketime"}) {
    if (!ParamValue(fields, name)) return reject(std::string("缺少字段 ") + name);
  }
  const std::string pid = *ParamValue(fields, "pid");
  const std::string taketime = *ParamValue(fields, "taketime");
  if (pid.empty()) return reject("pid为空");
  const std::string raw = *ParamValue(fields, "picbase64");
  std::string text;
  // A "+" sent without escaping arrives as a blank; MIME line breaks are no data.
  for (char c : raw) {
    if (c == ' ') {
      text += '+';
    } else if (c != '\r' && c != '\n') {
      text += c;
    }
  }
  const std::optional<std::string> picture = DecodeBase64Strict(text);
  if (!picture) return reject("picbase64不是有效的Base64");
  UploadRecord record;
  try {
    record = store_.Add(pid, taketime, *picture);
  } catch (const std::exception& e) {
    return reject(std::string("无法保存图片 ") + e.what(), 500);
  }
  Text(response, 200, "上传成功");
  log_("upload " + std::to_string(record.number) + " pid=" + Printable(pid, false) +
       " taketime=" + Printable(taketime) + " bytes=" + std::to_string(record.bytes) + " -> 200");
}

void PortalSim::Switch(net::THTTPRequestInfo& request, net::THTTPResponseInfo& response) {
  const std::string& doc = request.Document;
  if (doc == "/sim/status" || doc == "/sim/hang") {
    const bool status = doc == "/sim/status";
    const std::optional<std::string> value = ParamValue(request.Params, status ? "code" : "ms");
    int n = 0;
    if (!value || !ParseInt(*value, n) || (status && (n < 100 || n > 599)) ||
        (!status && (n < 0 || n > 600000))) {
      return Text(response, 400,
                  status ? "code 应为 100..599 的整数\n" : "ms 应为 0..600000 的整数\n");
    }
    (status ? status_code_ : hang_ms_).store(n);
    return Text(response, 200, std::string(status ? "status=" : "hang_ms=") + *value + "\n");
  }
  if (doc == "/sim/fail") {
    const std::optional<std::string> value = ParamValue(request.Params, "share");
    const std::optional<double> share = value ? ParseShare(*value) : std::nullopt;
    if (!share) return Text(response, 400, "share 应为 0..1 的小数\n");
    SetFailShare(*share);
    return Text(response, 200, "fail_share=" + *value + "\n");
  }
  if (doc == "/sim/stats") {
    response.SetResponseNo(200);
    response.ContentType = "application/json";
    response.ContentText = StatsJson();
    return;
  }
  if (doc == "/sim/uploads") return Text(response, 200, UploadsText());
  Text(response, 404, "没有这个开关\n");
}

std::string PortalSim::StatsJson() const {
  std::string pids;
  for (const auto& [pid, count] : store_.CountsByPid()) {
    if (!pids.empty()) pids += ',';
    pids += JsonString(pid) + ":" + std::to_string(count);
  }
  return "{\"uploads\":" + std::to_string(store_.Count()) +
         ",\"rejected\":" + std::to_string(rejected_.load()) +
         ",\"failed_by_switch\":" + std::to_string(failed_by_switch_.load()) +
         ",\"gethid\":" + std::to_string(gethid_.load()) +
         ",\"getsp\":" + std::to_string(getsp_.load()) + ",\"pids\":{" + pids +
         "},\"files\":" + std::to_string(store_.FilesInFolder()) +
         ",\"failed_uploads\":" + std::to_string(failed_uploads_.load()) + "}";
}

std::string PortalSim::UploadsText() const {
  std::string out;
  for (const UploadRecord& r : store_.Records()) {
    out += std::to_string(r.number) + " " + Printable(r.pid, false) + " " + Printable(r.taketime) +
           " " + std::to_string(r.bytes) + " " + Hex64(r.hash) + "\n";
  }
  return out;
}

}  // namespace pmr::portal_sim
