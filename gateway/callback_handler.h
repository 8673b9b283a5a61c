#pragma once

// The handler of the terminal's recognition callbacks and heart-beats on port 8090. It runs on
// the connection's thread: logs the message, works out person, kind, picture and time, turns
// the main pane to a freshly recognised pupil's points page, fetches the picture, hands it to
// an upload worker and to the left pane's live list, and answers the terminal.

#include <filesystem>
#include <string>

#include "base/datetime.h"
#include "gateway/ftp_download.h"
#include "gateway/upload_worker.h"
#include "net/http_message.h"
#include "state/app_state.h"
#include "state/effects.h"

namespace pmr::gateway {

// The window effects the handler needs beyond the log and status bar; thread-safe. The base is
// virtual so that one window serving the binding too keeps one set of effects.
class GatewayWindow : public virtual state::WindowEffects {
 public:
  // Navigates the main pane to `url` when the address it shows contains `mark`. The window
  // reads its address on its own thread, in the order of the effects; the caller goes on at
  // once (nothing waits when the window is gone).
  virtual void NavigateMainPaneIfShowing(std::string mark, std::string url) = 0;
  // Arms the one-shot timer that hands the last picture to the left pane.
  virtual void ArmLiveListTimer() = 0;
};

// Everything the handler reaches; every pointer outlives the server that calls the handler.
struct CallbackContext {
  state::AppState* state = nullptr;
  GatewayWindow* window = nullptr;
  FtpBusyHosts* busy_hosts = nullptr;
  UploadWorkers* uploads = nullptr;
  std::filesystem::path picture_folder;
  std::string portal_host;
  const Clock* clock = nullptr;
  DateTimeFormat date_format;
  net::FtpTimeouts ftp_timeouts;
};

inline constexpr const char* kCallbackReply = "{\"result\":1,\"success\":true}";
inline constexpr double kFreshSeconds = 10.0;

// Reads the terminal's `time` (milliseconds since 1970 UTC) as the event time; the current time
// when the text is not a whole number or lies outside the calendar.
DateTime EventTimeFromText(const std::string& text, const Clock& clock);

void HTTPServer1CommandGet(const CallbackContext& context,
                           const net::THTTPRequestInfo& ARequestInfo,
                           net::THTTPResponseInfo& AResponseInfo);

}  // namespace pmr::gateway
