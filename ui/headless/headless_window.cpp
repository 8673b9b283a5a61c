#include "ui/headless/headless_window.h"

#include <algorithm>
#include <cstdio>

#include "base/error.h"
#include "ui/diagnostics.h"
#include "ui/headless/stdin_reader.h"

namespace pmr::ui::headless {
namespace {

const char* PaneName(Pane pane) { return pane == Pane::kMain ? "main" : "left"; }

std::optional<Pane> ParsePane(const std::string& word) {
  if (word == "main") return Pane::kMain;
  if (word == "left") return Pane::kLeft;
  return std::nullopt;
}

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  std::size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

void DescribeMenu(const std::vector<MenuItem>& items, std::string& out) {
  bool first = true;
  for (const MenuItem& item : items) {
    if (!first) out += ' ';
    first = false;
    if (item.separator) {
      out += '|';
      continue;
    }
    out += item.caption + "=" + item.name;
    if (!item.children.empty()) {
      out += " [";
      DescribeMenu(item.children, out);
      out += ']';
    }
  }
}

}  // namespace

OutputSink StdoutSink() {
  return [](const std::string& line) {
    // Flushed when the loop goes idle (below): a burst of lines then leaves in one write.
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
  };
}

// Its state is guarded by the window's mutex, so the loop sees every change at once.
class HeadlessWindow::TimerImpl : public Timer {
 public:
  TimerImpl(HeadlessWindow& window, std::chrono::milliseconds interval,
            std::function<void()> on_tick)
      : tick(std::move(on_tick)), window_(window), interval_(Clamp(interval)) {}

  void Arm() override {
    MutexLock lock(window_.mutex_);
    if (armed) return;
    armed = true;
    deadline = Clock::now() + interval_;
    window_.woken_ = true;
    window_.wake_.NotifyAll();
  }
  void Disarm() override {
    MutexLock lock(window_.mutex_);
    armed = false;
  }
  void SetInterval(std::chrono::milliseconds interval) override {
    MutexLock lock(window_.mutex_);
    interval_ = Clamp(interval);
  }
  bool Armed() const override {
    MutexLock lock(window_.mutex_);
    return armed;
  }

  const std::function<void()> tick;
  bool armed = false;  // guarded by window_.mutex_
  Clock::time_point deadline;

 private:
  static std::chrono::milliseconds Clamp(std::chrono::milliseconds interval) {
    return std::max(interval, std::chrono::milliseconds(0));
  }

  HeadlessWindow& window_;
  std::chrono::milliseconds interval_;
};

struct HeadlessWindow::Box {
  bool answered = false;
  bool ok = false;
  std::string text;
};

HeadlessWindow::HeadlessWindow(HeadlessOptions options)
    : output_(options.output ? std::move(options.output) : StdoutSink()) {
  if (options.read_stdin) {
    stdin_reader_ = std::make_unique<StdinReader>(
        [this](std::string line) { Command(std::move(line)); },
        [this](const std::string& error) { Post([this, error] { Emit("error: " + error); }); });
  }
}

HeadlessWindow::~HeadlessWindow() {
  stdin_reader_.reset();
  dispatcher_.Finish();
}

// --- Loop ---

void HeadlessWindow::Run() {
  CheckUiThread("Run");
  if (!dispatcher_.Start()) return;
  Show();
  LoopUntil([] { return false; });
  dispatcher_.Finish();
  std::fflush(stdout);
}

void HeadlessWindow::LoopUntil(const std::function<bool()>& done) {
  for (;;) {
    if (done()) return;
    {
      MutexLock lock(mutex_);
      woken_ = false;  // what woke us is seen below
    }
    if (dispatcher_.Quitting()) return;
    const std::function<void()>* tick = nullptr;
    std::optional<Clock::time_point> next_deadline;
    {
      MutexLock lock(mutex_);
      TimerImpl* next = nullptr;
      for (const auto& timer : timers_) {
        if (timer->armed && (next == nullptr || timer->deadline < next->deadline)) {
          next = timer.get();
        }
      }
      // A due timer goes before posted work, so a stream of posts cannot starve it.
      if (next != nullptr && next->deadline <= Clock::now()) {
        next->armed = false;  // a tick disarms first
        tick = &next->tick;
      } else if (next != nullptr) {
        next_deadline = next->deadline;
      }
    }
    if (tick != nullptr) {
      RunCallback(*tick);
      continue;
    }
    if (std::function<void()> work = dispatcher_.TakeNext()) {
      RunCallback(work);
      continue;
    }
    std::fflush(stdout);
    MutexLock lock(mutex_);
    while (!woken_) {
      if (!next_deadline) {
        wake_.Wait(mutex_);
      } else if (!wake_.WaitUntil(mutex_, *next_deadline)) {
        break;
      }
    }
  }
}

void HeadlessWindow::RunCallback(const std::function<void()>& fn) {
  RunReportingErrors(fn, [this](const std::string& error) { Emit(error); });
}

bool HeadlessWindow::WakeLoop() {
  {
    MutexLock lock(mutex_);
    woken_ = true;
  }
  wake_.NotifyAll();
  return true;
}

void HeadlessWindow::Quit() {
  dispatcher_.Quit();
  WakeLoop();
}

void HeadlessWindow::Post(std::function<void()> fn) {
  dispatcher_.Post(std::move(fn));
  // Also before Run: a box open then runs what is posted.
  WakeLoop();
}

bool HeadlessWindow::RunOnUiThread(std::function<void()> fn) { return dispatcher_.Invoke(fn); }

bool HeadlessWindow::OnUiThread() const { return dispatcher_.OnUiThread(); }

void HeadlessWindow::CheckUiThread(const char* operation) const {
  dispatcher_.CheckUiThread(operation);
}

void HeadlessWindow::Emit(const std::string& line) {
  // One output line per event: line breaks inside a value are shown escaped.
  const std::string out = EscapeLineBreaks(line);
  MutexLock lock(output_mutex_);
  output_(out);
}

// --- Window ---

void HeadlessWindow::SetTitle(const std::string& title) {
  CheckUiThread("SetTitle");
  title_ = title;
  Emit("title: " + title);
}

std::string HeadlessWindow::Title() const {
  CheckUiThread("Title");
  return title_;
}

void HeadlessWindow::Show() {
  CheckUiThread("Show");
  visible_ = true;
  Emit("window: show");
}

void HeadlessWindow::Hide() {
  CheckUiThread("Hide");
  visible_ = false;
  Emit("window: hide");
}

void HeadlessWindow::Restore() {
  CheckUiThread("Restore");
  Emit("window: restore");
}

void HeadlessWindow::BringToFront() {
  CheckUiThread("BringToFront");
  Emit("window: front");
}

void HeadlessWindow::Focus() {
  CheckUiThread("Focus");
  Emit("window: focus");
}

bool HeadlessWindow::IsVisible() const {
  CheckUiThread("IsVisible");
  return visible_;
}

void HeadlessWindow::Close() {
  CheckUiThread("Close");
  bool allow = true;
  if (auto handler = on_close_) handler(allow);
  if (!allow) return;
  visible_ = false;
  Emit("window: close");
  Quit();
}

void HeadlessWindow::SetMenu(std::vector<MenuItem> items) {
  CheckUiThread("SetMenu");
  menu_ = std::move(items);
  std::string tree;
  DescribeMenu(menu_, tree);
  Emit("menu: " + tree);
}

void HeadlessWindow::AppendLog(const std::string& line) {
  CheckUiThread("AppendLog");
  for (const std::string& added : memo_.Append(line)) Emit("log: " + added);
}

std::vector<std::string> HeadlessWindow::LogLines() const {
  CheckUiThread("LogLines");
  return memo_.Lines();
}

void HeadlessWindow::SetStatus(int panel, const std::string& text) {
  CheckUiThread("SetStatus");
  if (panel < 0 || panel >= kStatusPanelCount) {
    throw Error("ui: no status panel " + std::to_string(panel));
  }
  status_[panel] = text;
  Emit("status[" + std::to_string(panel) + "]: " + text);
}

std::string HeadlessWindow::Status(int panel) const {
  CheckUiThread("Status");
  if (panel < 0 || panel >= kStatusPanelCount) {
    throw Error("ui: no status panel " + std::to_string(panel));
  }
  return status_[panel];
}

Timer& HeadlessWindow::CreateTimer(std::chrono::milliseconds interval,
                                   std::function<void()> on_tick) {
  auto timer = std::make_unique<TimerImpl>(*this, interval, std::move(on_tick));
  TimerImpl& ref = *timer;
  MutexLock lock(mutex_);
  timers_.push_back(std::move(timer));
  return ref;
}

// A modal box: the loop keeps running timers and posts until the box is answered.
void HeadlessWindow::WaitForAnswer(Box& box) {
  boxes_.push_back(&box);
  try {
    LoopUntil([&box] { return box.answered; });
  } catch (...) {
    boxes_.pop_back();
    throw;
  }
  boxes_.pop_back();
}

std::string HeadlessWindow::InputBox(const std::string& caption, const std::string& prompt,
                                     const std::string& default_text) {
  CheckUiThread("InputBox");
  Emit("inputbox: " + Quoted(caption) + " " + Quoted(prompt) + " " + Quoted(default_text));
  Box box;
  WaitForAnswer(box);
  std::string result = box.ok ? box.text : default_text;
  Emit("inputbox result: " + result);
  return result;
}

bool HeadlessWindow::ConfirmBox(const std::string& text, const std::string& caption) {
  CheckUiThread("ConfirmBox");
  Emit("confirmbox: " + Quoted(caption) + " " + Quoted(text));
  Box box;
  WaitForAnswer(box);
  Emit(std::string("confirmbox result: ") + (box.ok ? "ok" : "cancel"));
  return box.ok;
}

void HeadlessWindow::AnswerBox(bool ok, const std::string& text) {
  if (boxes_.empty()) {
    Emit("error: no box is open");
    return;
  }
  Box& box = *boxes_.back();
  box.answered = true;
  box.ok = ok;
  box.text = text;
}

void HeadlessWindow::AddTrayIcon(const std::string& tip) {
  CheckUiThread("AddTrayIcon");
  if (has_tray_icon_) return;
  has_tray_icon_ = true;
  Emit("tray: add " + tip);
}

void HeadlessWindow::RemoveTrayIcon() {
  CheckUiThread("RemoveTrayIcon");
  if (!has_tray_icon_) return;
  has_tray_icon_ = false;
  Emit("tray: remove");
}

bool HeadlessWindow::HasTrayIcon() const {
  CheckUiThread("HasTrayIcon");
  return has_tray_icon_;
}

void HeadlessWindow::SetMinimizeHandler(std::function<void()> handler) {
  CheckUiThread("SetMinimizeHandler");
  on_minimize_ = std::move(handler);
}

void HeadlessWindow::SetCloseHandler(std::function<void(bool&)> handler) {
  CheckUiThread("SetCloseHandler");
  on_close_ = std::move(handler);
}

void HeadlessWindow::SetTrayClickHandler(std::function<void(TrayButton)> handler) {
  CheckUiThread("SetTrayClickHandler");
  on_tray_click_ = std::move(handler);
}

void HeadlessWindow::SetActivateHandler(std::function<void()> handler) {
  CheckUiThread("SetActivateHandler");
  on_activate_ = std::move(handler);
}

// --- Panes ---

HeadlessWindow::PaneState& HeadlessWindow::PaneOf(Pane pane) {
  return panes_[pane == Pane::kMain ? 0 : 1];
}

const HeadlessWindow::PaneState& HeadlessWindow::PaneOf(Pane pane) const {
  return panes_[pane == Pane::kMain ? 0 : 1];
}

bool HeadlessWindow::BeforeNavigate(Pane pane, const std::string& url) {
  bool cancel = false;
  // A copy: the handler may replace itself.
  if (auto handler = PaneOf(pane).before_navigate) handler(url, cancel);
  return !cancel;
}

void HeadlessWindow::Navigate(Pane pane, const std::string& url) {
  CheckUiThread("Navigate");
  std::string prefix = std::string("navigate[") + PaneName(pane) + "]: ";
  if (!BeforeNavigate(pane, url)) {
    Emit(prefix + url + " (cancelled)");
    return;
  }
  PaneState& state = PaneOf(pane);
  state.location = url;
  state.navigations.push_back(url);
  Emit(prefix + url);
}

std::string HeadlessWindow::Location(Pane pane) const {
  CheckUiThread("Location");
  return PaneOf(pane).location;
}

void HeadlessWindow::RunScript(Pane pane, const std::string& code) {
  CheckUiThread("RunScript");
  PaneState& state = PaneOf(pane);
  std::string name = PaneName(pane);
  if (state.location.empty()) {
    Emit("script[" + name + "] failed: " + code);
    throw ScriptError("the " + name + " pane has no document");
  }
  state.scripts.push_back(code);
  Emit("script[" + name + "]: " + code);
}

void HeadlessWindow::SetBeforeNavigateHandler(
    Pane pane, std::function<void(const std::string&, bool&)> handler) {
  CheckUiThread("SetBeforeNavigateHandler");
  PaneOf(pane).before_navigate = std::move(handler);
}

std::vector<std::string> HeadlessWindow::Navigations(Pane pane) const {
  CheckUiThread("Navigations");
  return PaneOf(pane).navigations;
}

std::vector<std::string> HeadlessWindow::Scripts(Pane pane) const {
  CheckUiThread("Scripts");
  return PaneOf(pane).scripts;
}

// --- Commands ---

void HeadlessWindow::Command(std::string line) {
  Post([this, line = std::move(line)] { Execute(line); });
}

void HeadlessWindow::Execute(const std::string& line) {
  std::string verb = line;
  std::string rest;  // everything after the first blank, as typed
  if (std::size_t blank = line.find(' '); blank != std::string::npos) {
    verb = line.substr(0, blank);
    rest = line.substr(blank + 1);
  }
  verb = Trim(verb);
  if (!rest.empty() && rest.back() == '\r') rest.pop_back();
  std::string arg = Trim(rest);

  auto fail = [this](const std::string& why) { Emit("error: " + why); };
  // What the user could not reach: a hidden window, or a window behind a modal box.
  auto reachable = [&]() {
    if (!visible_) {
      fail(verb + ": the window is hidden");
      return false;
    }
    if (!boxes_.empty()) {
      fail(verb + ": a modal box is open");
      return false;
    }
    return true;
  };
  auto pane_and_url = [&](Pane& pane, std::string& url) {
    std::size_t blank = arg.find(' ');
    std::optional<Pane> parsed = ParsePane(arg.substr(0, blank));
    if (!parsed || blank == std::string::npos || Trim(arg.substr(blank + 1)).empty()) {
      fail(verb + " needs main|left and a URL");
      return false;
    }
    pane = *parsed;
    url = Trim(arg.substr(blank + 1));
    return true;
  };

  if (verb.empty()) return;
  if (verb == "menu") {
    if (arg.empty()) return fail("menu needs an item's name or caption");
    if (!reachable()) return;
    const MenuItem* item = FindMenuItem(menu_, arg);
    if (item == nullptr) return fail("no menu item " + arg);
    // A copy: the click may rebuild the menu and free the item.
    if (auto click = item->on_click) click();
  } else if (verb == "answer") {
    AnswerBox(true, rest);
  } else if (verb == "cancel") {
    AnswerBox(false, "");
  } else if (verb == "minimize") {
    if (!reachable()) return;
    if (auto handler = on_minimize_) handler();
  } else if (verb == "close") {
    if (!reachable()) return;
    Close();
  } else if (verb == "tray-click") {
    if (!has_tray_icon_) return fail("tray-click: no tray icon");
    TrayButton button;
    if (arg.empty() || arg == "left") {
      button = TrayButton::kLeft;
    } else if (arg == "right") {
      button = TrayButton::kOther;
    } else {
      return fail("tray-click takes left or right");
    }
    if (auto handler = on_tray_click_) handler(button);
  } else if (verb == "activate") {
    if (auto handler = on_activate_) handler();
  } else if (verb == "navigate") {
    Pane pane;
    std::string url;
    if (pane_and_url(pane, url)) Navigate(pane, url);
  } else if (verb == "frame") {
    Pane pane;
    std::string url;
    if (!pane_and_url(pane, url)) return;
    bool go = BeforeNavigate(pane, url);
    Emit(std::string("frame[") + PaneName(pane) + "]: " + url + (go ? "" : " (cancelled)"));
  } else if (verb == "location") {
    std::optional<Pane> pane = ParsePane(arg);
    if (!pane) return fail("location needs main or left");
    Emit(std::string("location[") + PaneName(*pane) + "]: " + PaneOf(*pane).location);
  } else if (verb == "log") {
    for (const std::string& memo_line : memo_.Lines()) Emit("memo: " + memo_line);
  } else {
    fail("unknown command: " + verb);
  }
}

}  // namespace pmr::ui::headless
