#pragma once

// TForm1: the main window's components and event handlers, wired to a ui::MainWindow backend.
// Construction starts the callback service (the window's components are created); FormCreate
// then installs, reads the configuration and prepares the picture folder. Handlers named after
// their component and event run on the UI thread unless their comment says otherwise.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/datetime.h"
#include "base/log_file.h"
#include "base/mutex.h"
#include "base/worker_set.h"
#include "gateway/callback_handler.h"
#include "gateway/ftp_download.h"
#include "gateway/outbox.h"
#include "gateway/upload_worker.h"
#include "net/http_server.h"
#include "state/app_state.h"
#include "terminal/binding.h"
#include "ui/window.h"

namespace pmr::app {

// Where the program runs and listens; the defaults are the standard ones.
struct FormOptions {
  std::vector<std::string> arguments;  // command line, without the program name
  std::filesystem::path program_file;  // the running program; empty: this process's
  std::string program_files;           // install root; empty: ProgramFilesFolder()
  bool use_program_files = true;       // false: never read the environment's root
  std::string callback_address;        // empty: PMRFACE_BIND_ADDRESS or every address
  uint16_t callback_port = 8090;
  int terminal_port = 8090;                   // the terminal's HTTP API
  uint16_t page_port = 8091;                  // the local page API, on 127.0.0.1 only
  std::string portal_host;                    // empty: PortalHost()
  const Clock* clock = nullptr;               // empty: the PC's clock
  std::optional<DateTimeFormat> date_format;  // empty: the PC's
  net::FtpTimeouts ftp_timeouts;
  gateway::OutboxLimits outbox_limits;
  gateway::RetryPolicy upload_retry;
  // Asks the firewall about the installed copy once start-up made it; empty:
  // FirewallAllowsInbound.
  std::function<std::optional<bool>(const std::string& program, std::string* problem)>
      firewall_check;
};

inline constexpr const char* kWindowTitle = "青禾田识颜台";
inline constexpr const char* kTrayTip = "青禾田勤星册";

class TForm1 final : private gateway::GatewayWindow, private terminal::BindingWindow {
 public:
  TForm1(ui::MainWindow& window, FormOptions options = {});
  ~TForm1() override;
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  void FormCreate();

  // Ends the services and waits at most `wait` in all for connections and workers; uploads are
  // never waited for (their jobs stay in the outbox). False when something still runs (the
  // caller then ends the process without waiting for it).
  bool Shutdown(std::chrono::milliseconds wait);

  // Writes the log file's queued lines, waiting at most `wait`.
  bool FlushLog(std::chrono::milliseconds wait) { return log_file_->Flush(wait); }

  state::AppState& State() { return state_; }
  const std::filesystem::path& PictureFolder() const { return picture_folder_; }
  const std::filesystem::path& AppFolder() const { return app_folder_; }
  uint16_t CallbackPort() const { return HTTPServer1.ListeningPort(); }
  uint16_t PagePort() const { return HTTPServer2.ListeningPort(); }
  ui::Timer& Timer1() { return *timer1_; }
  ui::Timer& Timer2() { return *timer2_; }
  ui::Timer& Timer4() { return *timer4_; }

  // Menu and timer handlers.
  void N2Click();
  void N6Click();
  void Timer1Timer();
  // Starts one binding run on a worker thread; safe from any thread. `by_retry`: started by
  // the retry after a failure.
  void StartBinding(bool by_retry = false);
  void N3Click();
  void N4Click();
  void N9Click();
  void N10Click();
  void N8Click();
  void Timer2Timer();
  void Timer4Timer();
  void WebBrowser2BeforeNavigate2(const std::string& url, bool& cancel);

  // Window lifecycle.
  void HandleSystemMinimize();
  void HandleTrayMessage(ui::TrayButton button);
  void AppMessageHook();
  void FormClose(bool& allow_close);

 private:
  // gateway::GatewayWindow, called from connection threads and workers.
  void Log(std::string line) override;
  void SetStatus(int panel, std::string text) override;
  void LogDetail(std::string line) override;
  void NavigateMainPaneIfShowing(std::string mark, std::string url) override;
  void ArmLiveListTimer() override;
  // terminal::BindingWindow.
  void ArmFirstPagesTimer() override;
  void RetryBindingAfter(int interval_ms) override;

  // The window effects of other threads queue here and reach the UI thread together: memo
  // lines and status texts wait up to kEffectBatchTime for more, so a burst of callbacks wakes
  // the UI thread a few times instead of for every line; any other effect takes the queue
  // along at once. One queue keeps the effects in the order of the calls.
  void QueueEffect(std::function<void()> effect, bool at_once);
  // UI thread.
  void RunQueuedEffects();
  std::vector<ui::MenuItem> BuildMenu();
  // Appends to the log memo on the UI thread, and to the log file.
  void Memo(const std::string& line);
  // One memo line when the firewall would keep the terminal from reaching `program`.
  void CheckFirewall(const std::string& program);

  ui::MainWindow& window_;
  FormOptions options_;
  std::unique_ptr<Clock> own_clock_;
  const Clock* clock_;
  DateTimeFormat date_format_;
  std::string portal_host_;
  std::filesystem::path program_folder_;
  std::filesystem::path app_folder_;
  std::filesystem::path picture_folder_;
  // Every memo line, time-stamped, and the lines the memo keeps silent, in kvt/log.
  std::unique_ptr<LogFile> log_file_;

  state::AppState state_;
  gateway::FtpBusyHostList ftp_busy_hosts_;
  std::unique_ptr<gateway::UploadWorkers> uploads_;
  gateway::CallbackContext callback_context_;

  WorkerSet binding_workers_;
  // One binding runs at a time; a start while one runs waits for it, so that a new terminal
  // address from the settings dialog is always bound.
  Mutex binding_run_;
  std::atomic<bool> binding_retry_armed_{false};
  std::atomic<bool> first_pages_opened_{false};

  ui::Timer* timer1_ = nullptr;
  ui::Timer* timer2_ = nullptr;
  ui::Timer* timer4_ = nullptr;
  ui::Timer* effects_timer_ = nullptr;
  Mutex effects_mutex_;
  std::vector<std::function<void()>> effects_ GUARDED_BY(effects_mutex_);

 public:
  // Declared last: destroyed first, so no handler outlives what it uses.
  net::THTTPServer HTTPServer1;
  net::THTTPServer HTTPServer2;
};

}  // namespace pmr::app
