#include "app/main/form.h"

#include <cstdlib>
#include <fstream>
#include <system_error>

#include "app/desktop_integration.h"
#include "app/files.h"
#include "app/firewall.h"
#include "base/file_path.h"
#include "net/socket.h"
#include "portal/panes.h"
#include "portal/portal.h"
#include "terminal/page_api.h"
#include "terminal/person_commands.h"
#include "terminal/terminal_api.h"

namespace pmr::app {
namespace fs = std::filesystem;

namespace {

// The platform ignores letter case in file names; on Linux one spelling serves every use.
constexpr const char* kPictureFolderName = "pic";
// Longest a memo line or status text waits for others to reach the UI thread with.
constexpr std::chrono::milliseconds kEffectBatchTime{10};

// The installation folder: the install root + "kvt"; a relative "kvt" when the root is empty.
fs::path AppFolderFor(const FormOptions& options) {
  const std::string root = options.program_files.empty() && options.use_program_files
                               ? ProgramFilesFolder()
                               : options.program_files;
  if (root.empty()) return fs::path("kvt");
  return PathFromUtf8(root) / "kvt";
}

std::string CallbackBindAddress(const FormOptions& options) {
  if (!options.callback_address.empty()) return options.callback_address;
  const char* bind = std::getenv("PMRFACE_BIND_ADDRESS");
  return bind ? bind : "";
}

}  // namespace

TForm1::TForm1(ui::MainWindow& window, FormOptions options)
    : window_(window),
      options_(std::move(options)),
      clock_(options_.clock),
      date_format_(options_.date_format.value_or(SystemDateTimeFormat())),
      portal_host_(options_.portal_host.empty() ? portal::PortalHost() : options_.portal_host),
      HTTPServer1(options_.callback_port),
      HTTPServer2(options_.page_port) {
  if (!clock_) {
    own_clock_ = std::make_unique<SystemClock>();
    clock_ = own_clock_.get();
  }
  fs::path program = options_.program_file.empty() ? RunningProgramFile() : options_.program_file;
  program_folder_ = program.parent_path();
  picture_folder_ = program_folder_ / kPictureFolderName;
  app_folder_ = AppFolderFor(options_);
  log_file_ = std::make_unique<LogFile>(*clock_);
  log_file_->Open(app_folder_ / "log");

  window_.SetTitle(kWindowTitle);
  window_.SetMenu(BuildMenu());
  timer1_ = &window_.CreateTimer(std::chrono::milliseconds(1000), [this] { Timer1Timer(); });
  timer2_ = &window_.CreateTimer(std::chrono::milliseconds(10), [this] { Timer2Timer(); });
  timer4_ = &window_.CreateTimer(std::chrono::milliseconds(100), [this] { Timer4Timer(); });
  effects_timer_ = &window_.CreateTimer(kEffectBatchTime, [this] { RunQueuedEffects(); });
  window_.SetBeforeNavigateHandler(ui::Pane::kLeft, [this](const std::string& url, bool& cancel) {
    WebBrowser2BeforeNavigate2(url, cancel);
  });
  window_.SetMinimizeHandler([this] { HandleSystemMinimize(); });
  window_.SetCloseHandler([this](bool& allow) { FormClose(allow); });
  window_.SetTrayClickHandler([this](ui::TrayButton b) { HandleTrayMessage(b); });

  // Pictures an earlier run could not deliver are queued before the first callback can come.
  uploads_ = std::make_unique<gateway::UploadWorkers>(
      std::make_shared<gateway::Outbox>(app_folder_ / "outbox", options_.outbox_limits),
      gateway::UploadContext{&state_, this, portal_host_}, 4, options_.upload_retry, /*held=*/true);
  uploads_->Restore();

  callback_context_.state = &state_;
  callback_context_.window = this;
  callback_context_.busy_hosts = &ftp_busy_hosts_;
  callback_context_.uploads = uploads_.get();
  callback_context_.picture_folder = picture_folder_;
  callback_context_.portal_host = portal_host_;
  callback_context_.clock = clock_;
  callback_context_.date_format = date_format_;
  callback_context_.ftp_timeouts = options_.ftp_timeouts;

  // The service listens while the window's components are created; a taken port ends the
  // creation with the server's error.
  HTTPServer1.Bindings.push_back({CallbackBindAddress(options_), options_.callback_port});
  HTTPServer1.OnCommandGet = [this](net::TPeerThread&, net::THTTPRequestInfo& request,
                                    net::THTTPResponseInfo& response) {
    gateway::HTTPServer1CommandGet(callback_context_, request, response);
  };
  HTTPServer1.SetActive(true);

  // The page API serves this PC's own pages only: loopback, never the school's network.
  HTTPServer2.Bindings.push_back({"127.0.0.1", options_.page_port});
  HTTPServer2.OnCommandGet = [this](net::TPeerThread&, net::THTTPRequestInfo& request,
                                    net::THTTPResponseInfo& response) {
    // The port bound (tests ask for any free one), which is what a page's Host header names.
    terminal::PageApiContext context{state_, *this, picture_folder_, options_.terminal_port,
                                     HTTPServer2.ListeningPort()};
    terminal::PageApiCommandGet(context, request, response);
  };
  HTTPServer2.SetActive(true);
  // Enabled at creation: the first binding one second after start.
  timer1_->Arm();
}

TForm1::~TForm1() { Shutdown(std::chrono::milliseconds(0)); }

bool TForm1::Shutdown(std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  auto left = [&] {
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now()));
  };
  bool clean = true;
  // Uploads first, with only a moment for idle workers to notice: one in flight is not waited
  // for (it may reach the portal twice after the next start), and nothing is lost.
  if (uploads_) clean = uploads_->Shutdown(std::min(left(), std::chrono::milliseconds(200)));
  for (net::THTTPServer* server : {&HTTPServer1, &HTTPServer2}) {
    try {
      server->TerminateWaitTime = static_cast<int>(left().count());
      server->SetActive(false);
    } catch (const std::exception&) {
      clean = false;
    }
  }
  clean = binding_workers_.Shutdown(left()) && clean;
  return clean;
}

void TForm1::FormCreate() {
  std::error_code error;
  fs::create_directories(app_folder_, error);

  const bool copied = CopyIfMissing(ProgramSourceName(), app_folder_ / InstalledProgramName());
  const fs::path installed = fs::absolute(app_folder_, error) / InstalledProgramName();
  const std::string target = PathToUtf8(installed);
  const std::string working_folder = PathToUtf8(installed.parent_path());
  PlaceDesktopShortcut(target, "", working_folder, ShortcutFileName());
  PlaceAutostartShortcut(target, "20", working_folder, ShortcutFileName());
  // Installed without the installer, so without its firewall rule.
  if (copied) CheckFirewall(target);

  state_.OpenConfig(app_folder_ / "pmrface.ini");
  state_.SetFaceAddr(state_.ReadConfig("FIPCAddr1"));
  state_.SetSchoolSP(state_.ReadConfig("SP"));
  state_.SetSchoolHID(state_.ReadConfig("HID"));
  state_.SetFacePass(std::string(terminal::kPassword));
  Memo("faceip:" + state_.FaceAddr() + ",pass=" + state_.FacePass());
  // The school code is known now (or as known as the configuration makes it).
  uploads_->Resume();

  fs::path installed_pictures = app_folder_ / kPictureFolderName;
  fs::create_directories(installed_pictures, error);
  DeleteOldFiles(installed_pictures, "*.*", 30, std::chrono::system_clock::now());
  // The running program's own picture folder, where fetched pictures go.
  fs::create_directories(picture_folder_, error);
  SetBrowserEmulation();

  window_.SetActivateHandler([this] { AppMessageHook(); });

  if (!options_.arguments.empty() && options_.arguments.front() == "-s") {
    window_.Post([this] { HandleSystemMinimize(); });
  }
}

std::vector<ui::MenuItem> TForm1::BuildMenu() {
  using ui::MenuItem;
  auto item = [](std::string caption, std::string name, std::function<void()> click) {
    MenuItem m;
    m.caption = std::move(caption);
    m.name = std::move(name);
    m.on_click = std::move(click);
    return m;
  };
  MenuItem settings = item("设置", "N1", nullptr);
  settings.children = {item("识颜台设置", "N2", [this] { N2Click(); }),
                       item("学校注册", "N3", [this] { N3Click(); }),
                       MenuItem::Separator(),
                       item("格式化识颜台", "N6", [this] { N6Click(); }),
                       MenuItem::Separator(),
                       item("退出", "N8", [this] { N8Click(); })};
  return {item("积分", "N4", [this] { N4Click(); }), item("考勤", "N9", [this] { N9Click(); }),
          item("智校", "N10", [this] { N10Click(); }), std::move(settings)};
}

void TForm1::N4Click() {
  window_.Navigate(ui::Pane::kMain,
                   portal::PointsPage(portal_host_, state_.SchoolSP(), state_.SchoolHID()));
}
void TForm1::N9Click() {
  window_.Navigate(ui::Pane::kMain, portal::AttendancePage(portal_host_, state_.SchoolSP()));
}
void TForm1::N10Click() {
  window_.Navigate(ui::Pane::kMain, portal::SmartSchoolPage(portal_host_, state_.SchoolSP()));
}
void TForm1::N3Click() {
  window_.Navigate(ui::Pane::kMain, portal::RegistrationPage(portal_host_, state_.SchoolHID()));
}

void TForm1::N8Click() {
  state_.ExitRequested = true;
  state_.ReleaseConfig();
  window_.Close();
}

void TForm1::Timer1Timer() {
  timer1_->Disarm();
  StartBinding(binding_retry_armed_.exchange(false));
}

void TForm1::StartBinding(bool by_retry) {
  terminal::BindingContext context{&state_, this, portal_host_, options_.terminal_port,
                                   [] { return net::OwnAddress(); }};
  context.open_first_pages = !by_retry || !first_pages_opened_;
  binding_workers_.Start([this, context] {
    MutexLock one_at_a_time(binding_run_);
    terminal::TPAThread2(context).Execute();
  });
}

void TForm1::N2Click() {
  const std::string configured = state_.ReadConfig("FIPCAddr1");
  std::string address = window_.InputBox("设置IP地址", "输入识颜台IP地址           ", configured);
  if (address.empty()) return;
  state_.SetFaceAddr(address);
  StartBinding();
}

void TForm1::N6Click() {
  if (!window_.ConfirmBox("确认清除人脸机所有数据吗？", "确认")) return;
  const std::string code = window_.InputBox("操作确认", "输入操作码           ", "");
  // Without a school code an empty entry would match: then nothing is cleared.
  const std::string sp = state_.SchoolSP();
  if (sp.empty() || code != sp) return;
  // Off the UI thread, so the window stays responsive while the terminal clears.
  terminal::TerminalTarget target = terminal::CurrentTarget(state_, options_.terminal_port);
  binding_workers_.Start(
      [this, target] { Log("格式化识颜台:" + terminal::PersonDeleteAll(target, *this)); });
}

void TForm1::Timer4Timer() {
  timer4_->Disarm();
  first_pages_opened_ = true;
  const std::string sp = state_.SchoolSP();
  if (!sp.empty()) {
    window_.Navigate(ui::Pane::kMain, portal::AttendancePage(portal_host_, sp));
  } else {
    window_.Navigate(ui::Pane::kMain, portal::RegistrationPage(portal_host_, state_.SchoolHID()));
  }
  window_.Navigate(ui::Pane::kLeft, portal::LiveListPage(portal_host_, sp));
}

void TForm1::Timer2Timer() {
  timer2_->Disarm();
  state::AppState::LastEvent last = state_.LastEventValues();
  try {
    window_.RunScript(ui::Pane::kLeft,
                      portal::InsScript(last.card_id, last.pic_url, last.event_time));
  } catch (const std::exception& e) {
    // A page without ins (or no page yet) is logged; a box would stop the operator's work.
    Memo(std::string("ins:") + e.what());
  }
}

void TForm1::WebBrowser2BeforeNavigate2(const std::string& url, bool& cancel) {
  portal::LeftPaneDecision decision = portal::DecideLeftPaneNavigation(url);
  for (const std::string& target : decision.main_navigations) {
    window_.Navigate(ui::Pane::kMain, target);
  }
  if (decision.cancel) cancel = true;
}

void TForm1::HandleSystemMinimize() {
  window_.AddTrayIcon(kTrayTip);
  window_.Hide();
}

void TForm1::HandleTrayMessage(ui::TrayButton button) {
  if (button != ui::TrayButton::kLeft) return;
  window_.RemoveTrayIcon();
  window_.Show();
}

void TForm1::AppMessageHook() {
  window_.Show();
  window_.Restore();
  window_.BringToFront();
  window_.Focus();
  window_.RemoveTrayIcon();
  window_.Show();
}

void TForm1::FormClose(bool& allow_close) {
  if (state_.ExitRequested) return;
  window_.Post([this] { HandleSystemMinimize(); });
  allow_close = false;
}

void TForm1::Memo(const std::string& line) {
  log_file_->Write(line);
  window_.AppendLog(line);
}

void TForm1::CheckFirewall(const std::string& program) {
  std::string problem;
  const std::optional<bool> allowed = options_.firewall_check
                                          ? options_.firewall_check(program, &problem)
                                          : FirewallAllowsInbound(program, &problem);
  if (allowed == false) {
    Memo(FirewallAdvice(program));
  } else if (!allowed && !problem.empty()) {
    // A policy nobody can read is no reason to alarm the operator.
    LogDetail("firewall: not checked: " + problem);
  }
}

void TForm1::QueueEffect(std::function<void()> effect, bool at_once) {
  bool first;
  {
    MutexLock lock(effects_mutex_);
    first = effects_.empty();
    effects_.push_back(std::move(effect));
  }
  if (at_once) {
    window_.Post([this] { RunQueuedEffects(); });
  } else if (first) {
    effects_timer_->Arm();
  }
}

void TForm1::RunQueuedEffects() {
  std::vector<std::function<void()>> effects;
  {
    MutexLock lock(effects_mutex_);
    effects.swap(effects_);
  }
  for (const auto& effect : effects) {
    try {
      effect();
    } catch (...) {
      // Reported by the window as its own closure's failure would be; the rest still runs.
      window_.Post([error = std::current_exception()] { std::rethrow_exception(error); });
    }
  }
}

void TForm1::Log(std::string line) {
  // Stamped when it happened, not when the UI thread gets to it.
  log_file_->Write(line);
  QueueEffect([this, line = std::move(line)] { window_.AppendLog(line); }, false);
}

void TForm1::LogDetail(std::string line) { log_file_->Write(std::move(line)); }

void TForm1::SetStatus(int panel, std::string text) {
  QueueEffect([this, panel, text = std::move(text)] { window_.SetStatus(panel, text); }, false);
}

void TForm1::NavigateMainPaneIfShowing(std::string mark, std::string url) {
  QueueEffect(
      [this, mark = std::move(mark), url = std::move(url)] {
        if (window_.Location(ui::Pane::kMain).find(mark) != std::string::npos) {
          window_.Navigate(ui::Pane::kMain, url);
        }
      },
      true);
}

void TForm1::ArmLiveListTimer() { timer2_->Arm(); }

void TForm1::ArmFirstPagesTimer() { timer4_->Arm(); }

void TForm1::RetryBindingAfter(int interval_ms) {
  binding_retry_armed_ = true;
  timer1_->SetInterval(std::chrono::milliseconds(interval_ms));
  timer1_->Arm();
}

}  // namespace pmr::app
