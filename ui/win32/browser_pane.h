#pragma once

// One embedded browser in the Win32 window. The window owns its panes and talks to them only
// through this interface, so another engine (WebView2 on a real Windows PC) can be added
// beside the IE control without touching the window.
//
// All calls belong to the window's UI thread.

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

namespace pmr::ui::win32 {

class BrowserPane {
 public:
  BrowserPane() = default;
  BrowserPane(const BrowserPane&) = delete;
  BrowserPane& operator=(const BrowserPane&) = delete;
  virtual ~BrowserPane() = default;

  // Places the pane in its parent's client area.
  virtual void SetBounds(const RECT& bounds) = 0;
  virtual void Navigate(const std::string& url) = 0;
  // The address of the shown page; empty before the first navigation.
  virtual std::string Location() const = 0;
  // Runs JavaScript in the document's window; throws ui::ScriptError on failure (no
  // document yet, or the page refused or failed the script).
  virtual void RunScript(const std::string& code) = 0;
  // Called before every navigation, frames included; setting `cancel` keeps the pane where
  // it is. It may run inside Navigate, so a handler that navigates must post that navigation.
  virtual void SetBeforeNavigate(std::function<void(const std::string& url, bool& cancel)> handler) = 0;
  // Gives the pane's control the first look at a keyboard message from the message loop;
  // true when the control used it.
  virtual bool TranslateAccelerator(MSG& msg) = 0;
  // The child window the pane draws in; null when the engine has none.
  virtual HWND Handle() const = 0;
};

// Makes a pane with a factory, so that tests can put their own pane in the window.
using BrowserPaneFactory = std::function<std::unique_ptr<BrowserPane>(HWND parent)>;

// The IE WebBrowser control, hosted as an OLE object in a child of `parent`.
// Throws pmr::Error when the control cannot be created.
std::unique_ptr<BrowserPane> CreateIeBrowserPane(HWND parent);

}  // namespace pmr::ui::win32
