#pragma once

// Fetching a recognition picture from the face terminal's FTP server into the picture folder.
// FtpDownLoad never raises and may run on several threads at once (one client and one
// temporary file per call); the busy-host markers are the only state the calls share.

#include <filesystem>
#include <functional>
#include <string>

#include "base/mutex.h"
#include "net/ftp_client.h"

namespace pmr::gateway {

using LogSink = std::function<void(const std::string& line)>;

// The markers "(" + host + ")" of the retrievals in progress, in the order they began.
// Implementations are thread-safe.
class FtpBusyHosts {
 public:
  virtual ~FtpBusyHosts() = default;
  virtual void AddMarker(const std::string& host) = 0;
  // Removes the marker of one retrieval for `host`; those of others for it stay.
  virtual void RemoveMarker(const std::string& host) = 0;
  virtual std::string Text() const = 0;
  // In one step: when `busy_marker` stands in the text, adds nothing, gives the text in
  // `busy_text` and false; otherwise adds the marker for `host` and gives true.
  virtual bool AddMarkerUnlessBusy(const std::string& busy_marker, const std::string& host,
                                   std::string& busy_text) = 0;
  bool Contains(const std::string& marker) const {
    return Text().find(marker) != std::string::npos;
  }
};

// The marker text rules, for a holder that keeps the text under its own lock.
std::string WithBusyMarker(const std::string& text, const std::string& host);
std::string WithoutBusyMarker(const std::string& text, const std::string& host);

// Keeps the text under a mutex of its own.
class FtpBusyHostList final : public FtpBusyHosts {
 public:
  void AddMarker(const std::string& host) override;
  void RemoveMarker(const std::string& host) override;
  std::string Text() const override;
  bool AddMarkerUnlessBusy(const std::string& busy_marker, const std::string& host,
                           std::string& busy_text) override;

 private:
  mutable Mutex mutex_;
  std::string text_ GUARDED_BY(mutex_);
};

// The six parts of an FTP URL; port "21" when the URL names none, path "/" when it has none.
struct FtpParams {
  std::string protocol;
  std::string user;
  std::string password;
  std::string host;
  std::string port;
  std::string path;
};

// Splits `url` into `params` (cleared first). A URL that cannot be split is logged as
// "GetFTPParams:" + url + "," + reason and leaves the parts not yet filled empty.
void GetFTPParams(const std::string& url, FtpParams& params, const LogSink& log);

// The host's marker in a busy list for as long as this object lives.
class BusyMarker {
 public:
  // Adds the marker, unless `already_added` says that AddMarkerUnlessBusy did.
  BusyMarker(FtpBusyHosts& hosts, std::string host, bool already_added = false);
  ~BusyMarker();
  BusyMarker(const BusyMarker&) = delete;
  BusyMarker& operator=(const BusyMarker&) = delete;

 private:
  FtpBusyHosts& hosts_;
  std::string host_;
};

// A name stays inside the picture folder on every platform: not empty, not "." or "..", no
// separator, no drive or stream colon, no control character. ".." inside a name is harmless.
bool IsSafePictureName(const std::string& name);

// A picture larger than this is not stored: it cannot be one, and it would cost the PC's memory.
inline constexpr std::size_t kMaxPictureBytes = 32u << 20;

struct FtpFetchOptions {
  net::FtpTimeouts timeouts;
  std::size_t max_bytes = kMaxPictureBytes;
  // The caller holds the host's marker for the whole fetch (see AddMarkerUnlessBusy).
  bool marker_held = false;
  // Gets the lines that say why a fetch stored nothing where the log memo keeps silent.
  LogSink detail;
  // Called with the fetched file, written whole under its temporary name, the picture's name
  // and its bytes, just before the file takes that name (which a later picture may take over).
  using Written = std::function<void(const std::filesystem::path& file, const std::string& name,
                                     const std::string& bytes)>;
  Written written;
};

struct FetchedPicture {
  std::string name;   // empty when nothing was stored
  std::string bytes;  // what was stored, as it came
};

// Fetches the picture that `url` names into `picture_folder` under its file name (the URL
// after its last "/") and gives that name back with the picture's bytes, or an empty name
// when nothing was stored. The file is written under a temporary name and renamed into place
// only when the whole transfer succeeded, so a failure leaves no partial file and keeps an
// earlier picture of the same name. A name that would leave the folder is refused, and so is
// a transfer beyond `max_bytes`. The host's marker stands in `busy_hosts` while it runs.
FetchedPicture FtpFetchPicture(const std::string& url, const std::filesystem::path& picture_folder,
                               FtpBusyHosts& busy_hosts, const LogSink& log,
                               const FtpFetchOptions& options);

// The same, giving only the stored name.
std::string FtpDownLoad(const std::string& url, const std::filesystem::path& picture_folder,
                        FtpBusyHosts& busy_hosts, const LogSink& log,
                        const net::FtpTimeouts& timeouts = {});

}  // namespace pmr::gateway
