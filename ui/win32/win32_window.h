#pragma once

// The Windows window: a top-level window with the menu bar, Panel1 holding the two browser
// panes, the hidden log memo and a status bar of three panels, plus the notification-area
// icon. Everything goes through the wide (W) functions; texts are UTF-8 up to the Win32 call.
//
// Posted closures and Invoke calls wait in the window's dispatcher. A single private message wakes
// the window procedure, one closure per message, so modal loops (message boxes, the input
// box) run them too. Timers are window timers, set and killed on the UI thread only; arming
// from another thread posts a message that sets the timer on the UI thread.
//
// Log lines and status texts are also written to standard output ("log: LINE",
// "status[N]: TEXT"), the same diagnostics stream the other windows give.
//
// Thread-safety as the port says. Create the window on the thread that will run the loop.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "ui/win32/browser_pane.h"
#include "ui/window.h"

namespace pmr::ui::win32 {

// The notification-area icon's callback message.
inline constexpr UINT kTrayCallbackMessage = WM_USER + 200;

// The tip as the notification area takes it: ANSI text in code page 936, at most 63 bytes,
// cut before a character that would not fit whole.
std::string TrayTipText(const std::string& utf8_tip);

struct Win32WindowOptions {
  BrowserPaneFactory pane_factory;  // makes both panes; required
  bool echo = true;                 // log and status lines to standard output
};

// Makes standard output and error usable in a GUI program started with redirected handles
// (a pipe or a file): the C streams are tied to the inherited handles and flushed per line.
void AttachStandardStreams();

class Win32MainWindow : public MainWindow {
 public:
  // Throws pmr::Error when the window or a pane cannot be created.
  explicit Win32MainWindow(Win32WindowOptions options);
  ~Win32MainWindow() override;

  // For tests (UI thread): the window's state as a user sees it.
  std::vector<std::string> MenuBarCaptions() const;  // "设置[识颜台设置 学校注册 | ...]"
  RECT PaneBounds(Pane pane) const;                  // in Panel1's client coordinates
  int PaneWidth(Pane pane) const;
  HWND NativeWindow() const;
  HWND StatusBarWindow() const;
  BrowserPane& PaneObject(Pane pane) const;
  // Dispatches messages for about `ms` milliseconds (UI thread, outside Run too). Posted
  // closures still wait for Run.
  void Pump(int ms);

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

 public:
  struct Impl;  // opaque; public so the window procedures can reach it

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace pmr::ui::win32
