#pragma once

// The port to the window framework and the browser control: what the bridge needs of its one
// main window and nothing more. Backends (headless, Win32, GTK) implement MainWindow.
//
// Threads: the UI thread is the thread that created the window; Run() must be called there.
// Post, Invoke, Quit and the Timer operations may be called from any thread. Every other
// operation belongs to the UI thread; other threads reach it through Post. Callbacks (menu
// items, timer ticks, events, posted closures) run on the UI thread. An exception that escapes
// a callback is shown by the backend's default error report and the loop goes on.
// Ownership: the window owns its timers; it must outlive every thread that may still call it.

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/error.h"

namespace pmr::ui {

// A script could not be run in a pane: no document yet, or the page's script failed.
class ScriptError : public Error {
 public:
  using Error::Error;
};

// The window's fixed layout, which every backend follows.
inline constexpr int kWindowWidth = 1366;
inline constexpr int kWindowHeight = 784;
inline constexpr int kLeftPaneWidth = 312;
inline constexpr int kMemoHeight = 48;
inline constexpr int kStatusPanelCount = 3;
inline constexpr std::array<int, kStatusPanelCount> kStatusPanelWidths = {300, 500, 300};
// The log memo keeps this many of its latest lines.
inline constexpr std::size_t kMemoMaxLines = 10000;

// The two browser panes.
enum class Pane {
  kMain,  // WebBrowser1, fills the window
  kLeft,  // WebBrowser2, the live list on the left
};

enum class TrayButton { kLeft, kOther };

// One entry of the menu bar or of a submenu. A separator has no caption, name or action.
struct MenuItem {
  std::string caption;
  std::string name;  // component name, e.g. "N2"
  std::function<void()> on_click;
  std::vector<MenuItem> children;  // non-empty: a submenu
  bool separator = false;

  static MenuItem Separator() {
    MenuItem item;
    item.separator = true;
    return item;
  }
};

// Finds an item (not a separator) whose name equals `key`, else one whose caption does,
// searching the whole tree in order. Null when none matches.
const MenuItem* FindMenuItem(const std::vector<MenuItem>& items, const std::string& key);

// A one-shot timer: after Arm() it ticks once, on the UI thread, `interval` later.
// Thread-safe: Arm, Disarm, SetInterval and Armed may be called from any thread.
class Timer {
 public:
  virtual ~Timer() = default;
  // Arming an armed timer does not restart it.
  virtual void Arm() = 0;
  virtual void Disarm() = 0;
  // Applies from the next arming; an armed timer keeps its deadline.
  virtual void SetInterval(std::chrono::milliseconds interval) = 0;
  virtual bool Armed() const = 0;
};

class MainWindow {
 public:
  MainWindow() = default;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;
  virtual ~MainWindow() = default;

  // --- Loop (any thread unless said otherwise) ---

  // Shows the window, then runs the loop on the UI thread until Quit() or an allowed close.
  // Runs once; a later call returns at once.
  virtual void Run() = 0;
  // Ends the loop after the callback that runs now. Queued closures are dropped, open modal
  // boxes return as cancelled, waiting Invoke calls return empty.
  virtual void Quit() = 0;
  // Runs `fn` on the UI thread after everything posted before it. Closures posted before
  // Run() wait for it; once the loop is ending or has ended they are dropped.
  virtual void Post(std::function<void()> fn) = 0;

  // Runs `fn` on the UI thread and waits for its result. On the UI thread itself it runs
  // inline. Gives an empty optional at once when the loop is ending or has ended (also to a
  // caller already waiting). An exception thrown by `fn` is rethrown to the caller.
  template <typename F>
  auto Invoke(F&& fn) -> std::optional<std::invoke_result_t<F&>> {
    using R = std::invoke_result_t<F&>;
    static_assert(!std::is_void_v<R> && !std::is_reference_v<R>,
                  "Invoke gives a value; use Post for effects");
    std::optional<R> result;
    if (!RunOnUiThread([&result, &fn] { result.emplace(fn()); })) return std::nullopt;
    return result;
  }

  // True on the UI thread.
  virtual bool OnUiThread() const = 0;

  // --- Window (UI thread) ---

  virtual void SetTitle(const std::string& title) = 0;
  virtual std::string Title() const = 0;
  virtual void Show() = 0;
  virtual void Hide() = 0;
  // Back to the normal state: neither minimised nor maximised.
  virtual void Restore() = 0;
  virtual void BringToFront() = 0;
  virtual void Focus() = 0;
  virtual bool IsVisible() const = 0;
  // A close request as if the user closed the window: the close handler decides; when it
  // allows the close, the window closes and the loop ends.
  virtual void Close() = 0;

  // Replaces the menu bar.
  virtual void SetMenu(std::vector<MenuItem> items) = 0;

  // The hidden log memo. It starts with the single line "Memo1" and keeps the last
  // kMemoMaxLines lines. A text with line breaks becomes several lines.
  virtual void AppendLog(const std::string& line) = 0;
  virtual std::vector<std::string> LogLines() const = 0;

  // Status panels 0..kStatusPanelCount-1; another index throws pmr::Error.
  virtual void SetStatus(int panel, const std::string& text) = 0;
  virtual std::string Status(int panel) const = 0;

  // A new timer, disarmed; it lives as long as the window.
  virtual Timer& CreateTimer(std::chrono::milliseconds interval, std::function<void()> on_tick) = 0;

  // Modal boxes: they block the calling handler while the loop keeps running timers and
  // posted closures. OK gives the edited text, Cancel (or the loop ending) the default.
  virtual std::string InputBox(const std::string& caption, const std::string& prompt,
                               const std::string& default_text) = 0;
  // OK/Cancel box with the information icon, owned by the window; true for OK.
  virtual bool ConfirmBox(const std::string& text, const std::string& caption) = 0;

  // Notification-area icon. Adding a present icon or removing an absent one does nothing;
  // a platform failure is ignored.
  virtual void AddTrayIcon(const std::string& tip) = 0;
  virtual void RemoveTrayIcon() = 0;
  virtual bool HasTrayIcon() const = 0;

  // --- Events the app handles (set on the UI thread; run on it) ---

  // The user asked to minimise. Without a handler the window stays as it is.
  virtual void SetMinimizeHandler(std::function<void()> handler) = 0;
  // The user (or Close()) asked to close; `allow_close` is true on entry.
  virtual void SetCloseHandler(std::function<void(bool& allow_close)> handler) = 0;
  // A click on the notification-area icon.
  virtual void SetTrayClickHandler(std::function<void(TrayButton)> handler) = 0;
  // Another start of the program asked this one to come forward.
  virtual void SetActivateHandler(std::function<void()> handler) = 0;

  // --- Browser panes (UI thread) ---

  virtual void Navigate(Pane pane, const std::string& url) = 0;
  // The address of the page the pane shows; empty before its first navigation.
  virtual std::string Location(Pane pane) const = 0;
  // Runs JavaScript in the pane's document window; throws ScriptError on failure.
  virtual void RunScript(Pane pane, const std::string& code) = 0;
  // Called before every navigation of the pane, frames included; setting `cancel` keeps
  // the pane where it is.
  virtual void SetBeforeNavigateHandler(
      Pane pane, std::function<void(const std::string& url, bool& cancel)> handler) = 0;

 protected:
  // Runs `fn` on the UI thread and waits; false when it was dropped because the loop is
  // ending or has ended. Rethrows what `fn` throws. Inline on the UI thread. When it returns,
  // `fn` has finished or will never start, so `fn` may refer to the caller's frame.
  virtual bool RunOnUiThread(std::function<void()> fn) = 0;
};

}  // namespace pmr::ui
