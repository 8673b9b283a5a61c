#pragma once

// Fetching a recognition picture from the face terminal's FTP server into the picture folder.
// FtpDownLoad never raises and may run on several threads at once (one client and one
// temporary file per call); the busy-host markers are the only state the calls share.

#include <filesystem>
#include <functional>
#include <mutex>
#include <string>

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

 private:
  mutable std::mutex mutex_;
  std::string text_;
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

// Fetches the picture that `url` names into `picture_folder` under its file name (the URL
// after its last "/") and gives that name back, or the empty text when nothing was stored.
// The file is written under a temporary name and renamed into place only when the whole
// transfer succeeded, so a failure leaves no partial file and keeps an earlier picture of the
// same name. A file name that would leave the folder is refused. The host's marker stands in
// `busy_hosts` while the retrieval runs.
std::string FtpDownLoad(const std::string& url, const std::filesystem::path& picture_folder,
                        FtpBusyHosts& busy_hosts, const LogSink& log,
                        const net::FtpTimeouts& timeouts = {});

}  // namespace pmr::gateway
