#include "gateway/ftp_download.h"

#include <atomic>
#include <fstream>
#include <random>
#include <system_error>

#include "base/file_path.h"

namespace pmr::gateway {
namespace {

constexpr std::size_t kMaxFileNameChars = 999;

void Log(const LogSink& log, const std::string& line) {
  if (log) log(line);
}

// The first `count` characters of UTF-8 text (a character is a lead byte and its followers).
std::string FirstChars(const std::string& text, std::size_t count) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool follower = (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
    if (!follower && chars++ == count) return text.substr(0, i);
  }
  return text;
}

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

// A name that stays inside the picture folder on every platform: no separators, no parent
// step, no drive or stream colon, no control characters.
bool IsSafeFileName(const std::string& name) {
  if (name.empty() || name == "." || name.find("..") != std::string::npos) return false;
  for (char c : name) {
    if (c == '/' || c == '\\' || c == ':' || IsControl(c)) return false;
  }
  return true;
}

std::string Printable(const std::string& text) {
  std::string shown = text;
  for (char& c : shown) {
    if (IsControl(c)) c = '?';
  }
  return shown;
}

uint16_t ParsePort(const std::string& text) {
  bool digits = !text.empty() && text.size() <= 10;
  for (char c : text) digits = digits && c >= '0' && c <= '9';
  if (!digits) throw pmr::Error("'" + text + "' is not a valid integer value");
  long long port = std::stoll(text);
  if (port < 1 || port > 65535) throw pmr::Error("Port " + text + " is out of range");
  return static_cast<uint16_t>(port);
}

// The file a retrieval writes to: a unique hidden name in the picture folder, removed unless
// it was committed over the target.
class TemporaryPicture {
 public:
  explicit TemporaryPicture(const std::filesystem::path& folder) {
    static std::atomic<unsigned long long> counter{0};
    static const unsigned long long run = [] {
      std::random_device random;
      return (static_cast<unsigned long long>(random()) << 32) ^ random();
    }();
    path_ = folder / (".ftp-" + std::to_string(run) + "-" + std::to_string(++counter) + ".part");
    stream_.open(path_, std::ios::binary | std::ios::trunc);
  }
  ~TemporaryPicture() {
    if (committed_) return;
    stream_.close();
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  TemporaryPicture(const TemporaryPicture&) = delete;
  TemporaryPicture& operator=(const TemporaryPicture&) = delete;

  bool is_open() const { return stream_.is_open(); }
  std::ostream& stream() { return stream_; }

  // Replaces `target` with the written file; false (and the target untouched) on failure.
  bool CommitAs(const std::filesystem::path& target) {
    stream_.close();
    if (stream_.fail()) return false;
    std::error_code error;
    std::filesystem::rename(path_, target, error);
    committed_ = !error;
    return committed_;
  }

 private:
  std::filesystem::path path_;
  std::ofstream stream_;
  bool committed_ = false;
};

// The host's marker, for exactly as long as this object lives.
class BusyMarker {
 public:
  BusyMarker(FtpBusyHosts& hosts, std::string host) : hosts_(hosts), host_(std::move(host)) {
    hosts_.AddMarker(host_);
  }
  ~BusyMarker() {
    try {
      hosts_.RemoveMarker(host_);
    } catch (...) {
      // Only an allocation can fail here; a destructor must not raise.
    }
  }
  BusyMarker(const BusyMarker&) = delete;
  BusyMarker& operator=(const BusyMarker&) = delete;

 private:
  FtpBusyHosts& hosts_;
  std::string host_;
};

std::string FetchInto(const std::string& url, const std::filesystem::path& picture_folder,
                      FtpBusyHosts& busy_hosts, const LogSink& log,
                      const net::FtpTimeouts& timeouts) {
  if (url.empty()) return "";
  std::size_t slash = url.rfind('/');
  std::string name =
      FirstChars(slash == std::string::npos ? url : url.substr(slash + 1), kMaxFileNameChars);
  if (!IsSafeFileName(name)) {
    Log(log, "FtpDownLoad:Refused picture file name: " + Printable(name));
    return "";
  }
  TemporaryPicture temporary(picture_folder);
  if (!temporary.is_open()) return "";

  FtpParams params;
  GetFTPParams(url, params, log);
  BusyMarker marker(busy_hosts, params.host);

  bool fetched = false;
  {
    net::TFTPClient client;
    client.set_timeouts(timeouts);
    try {
      client.set_username("anonymous");
      client.set_password(params.user.empty() ? std::string() : params.password);
      client.set_host(params.host);
      client.set_port(ParsePort(params.port));
      client.Connect();
      if (client.Connected()) {
        client.ChangeDir(params.path);
        (void)client.Size(name);
        try {
          // A transfer the server reports aborted is as incomplete as a broken one.
          fetched = client.Get(name, temporary.stream());
        } catch (const std::exception&) {
          // A failed fetch is not logged; it only stores nothing.
        }
        client.Disconnect();
      }
    } catch (const std::exception& e) {
      Log(log, std::string("FtpDownLoad:") + e.what());
    }
  }
  if (fetched && temporary.CommitAs(picture_folder / PathFromUtf8(name))) return name;
  return "";
}

}  // namespace

std::string WithBusyMarker(const std::string& text, const std::string& host) {
  return text + "(" + host + ")";
}

std::string WithoutBusyMarker(const std::string& text, const std::string& host) {
  std::string marker = "(" + host + ")";
  std::size_t at = text.find(marker);
  if (at == std::string::npos) return text;
  return text.substr(0, at) + text.substr(at + marker.size());
}

void FtpBusyHostList::AddMarker(const std::string& host) {
  std::lock_guard<std::mutex> lock(mutex_);
  text_ = WithBusyMarker(text_, host);
}

void FtpBusyHostList::RemoveMarker(const std::string& host) {
  std::lock_guard<std::mutex> lock(mutex_);
  text_ = WithoutBusyMarker(text_, host);
}

std::string FtpBusyHostList::Text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

void GetFTPParams(const std::string& url, FtpParams& params, const LogSink& log) {
  params = FtpParams();
  try {
    for (char c : url) {
      // Such a URL is no picture address, and its parts would end up in FTP commands.
      if (IsControl(c)) throw pmr::Error("the URL contains a control character");
    }
    std::string rest = url;
    std::string authority;
    std::size_t scheme_end = url.find("://");
    if (scheme_end != std::string::npos) {
      params.protocol = url.substr(0, scheme_end);
      rest = url.substr(scheme_end + 3);
      std::size_t path_start = rest.find('/');
      authority = rest.substr(0, path_start);
      rest = path_start == std::string::npos ? std::string() : rest.substr(path_start);
    }
    std::string host_port = authority;
    std::string user_info;
    bool has_user_info = false;
    if (std::size_t at = authority.rfind('@'); at != std::string::npos) {
      has_user_info = true;
      user_info = authority.substr(0, at);
      host_port = authority.substr(at + 1);
    }
    std::size_t colon = host_port.rfind(':');
    params.host = host_port.substr(0, colon);
    if (has_user_info) {
      std::size_t separator = user_info.find(':');
      params.user = user_info.substr(0, separator);
      if (separator != std::string::npos) params.password = user_info.substr(separator + 1);
    }
    params.port = colon == std::string::npos ? std::string() : host_port.substr(colon + 1);
    if (params.port.empty()) params.port = "21";
    std::size_t last_slash = rest.rfind('/');
    params.path = last_slash == std::string::npos ? std::string() : rest.substr(0, last_slash + 1);
    if (params.path.empty() || params.path.front() != '/') params.path.insert(0, "/");
  } catch (const std::exception& e) {
    // Control characters would start forged lines in the log.
    Log(log, "GetFTPParams:" + Printable(url) + "," + e.what());
  }
}

std::string FtpDownLoad(const std::string& url, const std::filesystem::path& picture_folder,
                        FtpBusyHosts& busy_hosts, const LogSink& log,
                        const net::FtpTimeouts& timeouts) {
  try {
    return FetchInto(url, picture_folder, busy_hosts, log, timeouts);
  } catch (...) {
    // Only resource exhaustion reaches here; the caller is told that nothing was stored.
    return "";
  }
}

}  // namespace pmr::gateway
