#pragma once

// The Linux desktop window: GTK 3 with two WebKit2GTK web views, a menu bar, a status bar of
// three labels and a notification-area icon (an AppIndicator when a session bus and a tray
// host are there; without one, hiding still works and a second start shows the window).
//
// Posted closures and Invoke calls wait in the window's dispatcher; an idle source on GLib's
// default main context runs them one at a time, in order, also while a modal box runs its
// own loop.
// Timers are GLib timeout sources on the same context; arming from another thread attaches
// the source there (GLib's context is thread-safe for that).
//
// Log lines and status texts are also written to standard output ("log: LINE",
// "status[N]: TEXT"), the same diagnostics stream the headless window gives.
//
// Thread-safety as the port says. Create the window after GtkAvailable() on the thread that
// will run the loop; only one such window per process.

#include <memory>
#include <string>

#include "ui/window.h"

namespace pmr::ui::gtk {

// Initialises GTK once; false when no display can be opened.
bool GtkAvailable();

struct GtkWindowOptions {
  bool echo = true;               // log and status lines to standard output
  bool use_tray = true;           // try the AppIndicator
  int script_timeout_ms = 10000;  // RunScript gives up (ScriptError) after this long
};

class GtkMainWindow : public MainWindow {
 public:
  explicit GtkMainWindow(GtkWindowOptions options = {});
  ~GtkMainWindow() override;

  // For tests (UI thread): the widgets' state as a user sees it.
  std::vector<std::string> MenuBarCaptions() const;  // "设置[识颜台设置 学校注册 | ...]"
  int PaneWidth(Pane pane) const;                    // allocated width in pixels
  bool TrayHostConnected() const;
  // Runs the tray menu's first item as a user's pick ("显示"); false without a tray menu.
  bool ActivateTrayMenu();
  // Processes pending GTK events for about `ms` milliseconds (UI thread, outside Run too).
  void Pump(int ms);
  void* NativeWindow() const;         // the GtkWindow*
  void* NativePane(Pane pane) const;  // the pane's WebKitWebView*

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

  // Runs a script and gives its result as text (UI thread); throws ScriptError.
  std::string EvaluateScript(Pane pane, const std::string& code);

 protected:
  bool RunOnUiThread(std::function<void()> fn) override;

 public:
  struct Impl;  // opaque; public so the GLib callbacks can reach it

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace pmr::ui::gtk
