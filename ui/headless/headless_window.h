#pragma once

// The window without a display: a real event loop on the UI thread (the dispatcher's closures
// and a timer schedule, waiting on a condition variable), output lines instead of
// widgets, and text commands instead of the mouse. Used by tests and by servers without a
// display; end-to-end tests drive the program through standard input and read its output.
//
// Output, one line each, flushed at once:
//   title: T | log: LINE | status[N]: T | menu: TREE | window: show|hide|restore|front|focus|close
//   tray: add TIP | tray: remove | navigate[main|left]: URL [(cancelled)] | frame[P]: URL ...
//   script[P]: CODE | script[P] failed: CODE | inputbox: "CAPTION" "PROMPT" "DEFAULT"
//   inputbox result: TEXT | confirmbox: "CAPTION" "TEXT" | confirmbox result: ok|cancel
//   location[P]: URL | memo: LINE | error: TEXT
// Commands, one a line (see Command): menu NAME, answer [TEXT], cancel, minimize, close,
// tray-click [right], activate, navigate PANE URL, frame PANE URL, location PANE, log.
//
// Thread-safety as the port says; Command may also be called from any thread.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "ui/dispatcher.h"
#include "ui/log_memo.h"
#include "ui/window.h"

namespace pmr::ui::headless {

class StdinReader;

// Receives each output line without its line end. Called on the UI thread, one call at a time.
using OutputSink = std::function<void(const std::string& line)>;

// Writes each line to standard output; the window flushes it whenever its loop goes idle or
// ends.
OutputSink StdoutSink();

struct HeadlessOptions {
  OutputSink output;        // empty: standard output
  bool read_stdin = false;  // read commands from standard input on a thread of its own
};

class HeadlessWindow : public MainWindow {
 public:
  explicit HeadlessWindow(HeadlessOptions options = {});
  ~HeadlessWindow() override;

  // Runs one command line on the UI thread, after what was posted before it (any thread).
  // Unknown or malformed commands give an "error:" line and are ignored.
  void Command(std::string line);

  // What the panes were asked to do, for tests (UI thread).
  std::vector<std::string> Navigations(Pane pane) const;  // not cancelled ones
  std::vector<std::string> Scripts(Pane pane) const;      // the ones that ran

  // MainWindow
  void Run() override;
  void Quit() override;
  void Post(std::function<void()> fn) override;
  bool OnUiThread() const override;
  void SetTitle(const std::string& title) override;
  std::string Title() const override;
  void Show() override;
  void Hide() override;
  void Restore() override;
  void BringToFront() override;
  void Focus() override;
  bool IsVisible() const override;
  void Close() override;
  void SetMenu(std::vector<MenuItem> items) override;
  void AppendLog(const std::string& line) override;
  std::vector<std::string> LogLines() const override;
  void SetStatus(int panel, const std::string& text) override;
  std::string Status(int panel) const override;
  Timer& CreateTimer(std::chrono::milliseconds interval, std::function<void()> on_tick) override;
  std::string InputBox(const std::string& caption, const std::string& prompt,
                       const std::string& default_text) override;
  bool ConfirmBox(const std::string& text, const std::string& caption) override;
  void AddTrayIcon(const std::string& tip) override;
  void RemoveTrayIcon() override;
  bool HasTrayIcon() const override;
  void SetMinimizeHandler(std::function<void()> handler) override;
  void SetCloseHandler(std::function<void(bool& allow_close)> handler) override;
  void SetTrayClickHandler(std::function<void(TrayButton)> handler) override;
  void SetActivateHandler(std::function<void()> handler) override;
  void Navigate(Pane pane, const std::string& url) override;
  std::string Location(Pane pane) const override;
  void RunScript(Pane pane, const std::string& code) override;
  void SetBeforeNavigateHandler(
      Pane pane, std::function<void(const std::string& url, bool& cancel)> handler) override;

 protected:
  bool RunOnUiThread(std::function<void()> fn) override;

 private:
  using Clock = std::chrono::steady_clock;
  class TimerImpl;
  struct Box;
  struct PaneState {
    std::string location;
    std::vector<std::string> navigations;
    std::vector<std::string> scripts;
    std::function<void(const std::string&, bool&)> before_navigate;
  };

  // Runs posted closures and due timers until `done` (checked on the UI thread) or Quit.
  void LoopUntil(const std::function<bool()>& done);
  void WaitForAnswer(Box& box);
  void RunCallback(const std::function<void()>& fn);
  // Any thread: the loop looks again at its queue, its timers and Quit.
  bool WakeLoop();
  void Execute(const std::string& line);
  void Emit(const std::string& line);
  void CheckUiThread(const char* operation) const;
  PaneState& PaneOf(Pane pane);
  const PaneState& PaneOf(Pane pane) const;
  // Fires the before-navigate handler; true when the navigation goes ahead.
  bool BeforeNavigate(Pane pane, const std::string& url);
  void AnswerBox(bool ok, const std::string& text);

  Mutex output_mutex_;
  OutputSink output_ GUARDED_BY(output_mutex_);

  // The loop's timers and wake-ups, shared with other threads. Taken after the dispatcher's
  // lock (its wake-up hook takes it), never before.
  mutable Mutex mutex_;
  CondVar wake_;  // the loop waits here
  std::vector<std::unique_ptr<TimerImpl>> timers_ GUARDED_BY(mutex_);
  bool woken_ GUARDED_BY(mutex_) = false;
  Dispatcher dispatcher_{[this] { return WakeLoop(); }};

  // UI thread only.
  std::string title_;
  bool visible_ = false;
  bool has_tray_icon_ = false;
  std::vector<MenuItem> menu_;
  LogMemo memo_;
  std::string status_[kStatusPanelCount];
  PaneState panes_[2];
  std::vector<Box*> boxes_;  // open modal boxes, innermost last
  std::function<void()> on_minimize_;
  std::function<void(bool&)> on_close_;
  std::function<void(TrayButton)> on_tray_click_;
  std::function<void()> on_activate_;

  std::unique_ptr<StdinReader> stdin_reader_;  // last: stopped first
};

}  // namespace pmr::ui::headless
