// TForm1 on the Win32 window under Wine, with test panes in place of the browser control.

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/main/form.h"
#include "app/main/testing/loopback_form.h"
#include "ui/win32/testing/recording_pane.h"
#include "ui/win32/win32_window.h"

namespace pmr::ui::win32 {
namespace {

using namespace std::chrono_literals;
using testing::RunBounded;
using testing::TestOptions;

// The form's own handlers on this window: minimise and close hide into the tray, a left
// click on the icon and the wake-up bring the window back, only the exit item ends the loop.
TEST(Win32Window, FormHidesToTheTrayAndOnlyExitEnds) {
  namespace fs = std::filesystem;
  fs::path install =
      fs::temp_directory_path() / ("pmr_win32_form_" + std::to_string(GetCurrentProcessId()));
  fs::create_directories(install / "bin");
  Win32MainWindow window(TestOptions());
  app::FormOptions options =
      app::testing::LoopbackFormOptions(install, "pmrface.exe", "127.0.0.1:9");
  std::optional<app::TForm1> form(std::in_place, window, options);
  form->Timer1().Disarm();  // no binding
  form->FormCreate();
  EXPECT_EQ(window.Title(), app::kWindowTitle);
  ASSERT_EQ(window.MenuBarCaptions().size(), 4u);
  HWND hwnd = window.NativeWindow();

  auto state = [&](bool visible, bool tray) {
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
      auto now = window.Invoke([&] {
        return window.IsVisible() == visible && window.HasTrayIcon() == tray && !IsIconic(hwnd);
      });
      if (now.value_or(false)) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  };
  std::vector<bool> steps;
  std::thread user([&] {
    steps.push_back(state(true, false));
    PostMessageW(hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    steps.push_back(state(false, true));
    PostMessageW(hwnd, kTrayCallbackMessage, 0, WM_RBUTTONDOWN);
    PostMessageW(hwnd, kTrayCallbackMessage, 0, WM_LBUTTONDOWN);
    steps.push_back(state(true, false));
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
    steps.push_back(state(false, true));
    window.Post([&] { form->AppMessageHook(); });
    steps.push_back(state(true, false));
    HMENU settings = GetSubMenu(GetMenu(hwnd), 3);
    PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(GetMenuItemID(settings, 5), 0), 0);
  });
  bool ended = RunBounded(window, 30s);
  user.join();
  EXPECT_TRUE(ended) << "the exit item ends the loop";
  EXPECT_EQ(steps, std::vector<bool>(5, true));
  EXPECT_FALSE(window.IsVisible());
  form->Shutdown(500ms);
  form.reset();
  std::error_code ignored;
  fs::remove_all(install, ignored);
}

}  // namespace
}  // namespace pmr::ui::win32
