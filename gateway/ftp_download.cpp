#include "gateway/ftp_download.h"

#include <atomic>
#include <fstream>
#include <optional>
#include <streambuf>
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

// Keeps what the server sends in memory, up to a limit; past it the write fails, which
// ends the transfer.
class CappedBuffer final : public std::streambuf {
 public:
  CappedBuffer(std::string& bytes, std::size_t limit) : bytes_(bytes), limit_(limit) {}
  bool overrun() const { return overrun_; }

 protected:
  std::streamsize xsputn(const char* data, std::streamsize count) override {
    const auto n = static_cast<std::size_t>(count);
    if (n > limit_ - std::min(limit_, bytes_.size())) {
      overrun_ = true;
      return 0;
    }
    bytes_.append(data, n);
    return count;
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char one = traits_type::to_char_type(c);
    return xsputn(&one, 1) == 1 ? c : traits_type::eof();
  }

 private:
  std::string& bytes_;
  const std::size_t limit_;
  bool overrun_ = false;
};

// Puts the picture in place through a unique hidden name in the folder, so a reader never
// sees half a picture and a failure never destroys an earlier one. `written` sees the whole
// file before it takes the picture's name.
bool StorePicture(const std::filesystem::path& folder, const std::string& name,
                  const std::string& bytes, const FtpFetchOptions::Written& written) {
  static std::atomic<unsigned long long> counter{0};
  static const unsigned long long run = [] {
    std::random_device random;
    return (static_cast<unsigned long long>(random()) << 32) ^ random();
  }();
  const std::filesystem::path temporary =
      folder / (".ftp-" + std::to_string(run) + "-" + std::to_string(++counter) + ".part");
  std::error_code error;
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out.fail()) {
      if (written) written(temporary, name, bytes);
      std::filesystem::rename(temporary, folder / PathFromUtf8(name), error);
      if (!error) return true;
    }
  }
  std::filesystem::remove(temporary, error);
  return false;
}

FetchedPicture FetchInto(const std::string& url, const std::filesystem::path& picture_folder,
                         FtpBusyHosts& busy_hosts, const LogSink& log,
                         const FtpFetchOptions& options) {
  if (url.empty()) return {};
  std::size_t slash = url.rfind('/');
  std::string name =
      FirstChars(slash == std::string::npos ? url : url.substr(slash + 1), kMaxFileNameChars);
  if (!IsSafePictureName(name)) {
    Log(log, "FtpDownLoad:Refused picture file name: " + Printable(name));
    return {};
  }
  // Nothing can be stored without the folder; find that out before the terminal is asked.
  std::error_code folder_error;
  if (!std::filesystem::is_directory(picture_folder, folder_error)) return {};

  FtpParams params;
  GetFTPParams(url, params, log);
  std::optional<BusyMarker> marker;
  if (!options.marker_held) marker.emplace(busy_hosts, params.host);

  FetchedPicture picture;
  bool fetched = false;
  {
    net::TFTPClient client;
    client.set_timeouts(options.timeouts);
    try {
      client.set_username("anonymous");
      client.set_password(params.user.empty() ? std::string() : params.password);
      client.set_host(params.host);
      client.set_port(ParsePort(params.port));
      client.Connect();
      if (client.Connected()) {
        client.ChangeDir(params.path);
        (void)client.Size(name);
        CappedBuffer buffer(picture.bytes, options.max_bytes);
        std::ostream destination(&buffer);
        try {
          // A transfer the server reports aborted is as incomplete as a broken one.
          fetched = client.Get(name, destination);
          if (!fetched) Log(options.detail, "FtpDownLoad: RETR " + Printable(name) +
                                                ": the server reported the transfer aborted");
        } catch (const std::exception& e) {
          // The memo keeps a failed fetch silent; the log file says why.
          Log(options.detail,
              buffer.overrun()
                  ? "FtpDownLoad: RETR " + Printable(name) + ": larger than " +
                        std::to_string(options.max_bytes) + " bytes, not stored"
                  : "FtpDownLoad: RETR " + Printable(name) + " failed: " + e.what());
        }
        client.Disconnect();
      }
    } catch (const std::exception& e) {
      Log(log, std::string("FtpDownLoad:") + e.what());
    }
  }
  if (!fetched) return {};
  if (!StorePicture(picture_folder, name, picture.bytes, options.written)) {
    Log(options.detail, "FtpDownLoad: " + Printable(name) + " cannot be written to " +
                            PathToUtf8(picture_folder));
    return {};
  }
  picture.name = std::move(name);
  return picture;
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

bool IsSafePictureName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    if (c == '/' || c == '\\' || c == ':' || IsControl(c)) return false;
  }
  return true;
}

BusyMarker::BusyMarker(FtpBusyHosts& hosts, std::string host, bool already_added)
    : hosts_(hosts), host_(std::move(host)) {
  if (!already_added) hosts_.AddMarker(host_);
}

BusyMarker::~BusyMarker() {
  try {
    hosts_.RemoveMarker(host_);
  } catch (...) {
    // Only an allocation can fail here; a destructor must not raise.
  }
}

bool FtpBusyHostList::AddMarkerUnlessBusy(const std::string& busy_marker, const std::string& host,
                                          std::string& busy_text) {
  MutexLock lock(mutex_);
  if (text_.find(busy_marker) != std::string::npos) {
    busy_text = text_;
    return false;
  }
  text_ = WithBusyMarker(text_, host);
  return true;
}

void FtpBusyHostList::AddMarker(const std::string& host) {
  MutexLock lock(mutex_);
  text_ = WithBusyMarker(text_, host);
}

void FtpBusyHostList::RemoveMarker(const std::string& host) {
  MutexLock lock(mutex_);
  text_ = WithoutBusyMarker(text_, host);
}

std::string FtpBusyHostList::Text() const {
  MutexLock lock(mutex_);
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

FetchedPicture FtpFetchPicture(const std::string& url, const std::filesystem::path& picture_folder,
                               FtpBusyHosts& busy_hosts, const LogSink& log,
                               const FtpFetchOptions& options) {
  try {
    return FetchInto(url, picture_folder, busy_hosts, log, options);
  } catch (...) {
    // Only resource exhaustion reaches here; the caller is told that nothing was stored.
    return {};
  }
}

std::string FtpDownLoad(const std::string& url, const std::filesystem::path& picture_folder,
                        FtpBusyHosts& busy_hosts, const LogSink& log,
                        const net::FtpTimeouts& timeouts) {
  FtpFetchOptions options;
  options.timeouts = timeouts;
  return FtpFetchPicture(url, picture_folder, busy_hosts, log, options).name;
}

}  // namespace pmr::gateway
