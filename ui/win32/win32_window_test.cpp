// The Win32 window as real windows under Wine: its menus, layout, loop, timers, boxes, tray
// and panes. The panes are plain child windows that behave like the browser control where
// the window depends on it (before-navigate fired inside Navigate, keyboard first look).

#include "ui/win32/win32_window.h"

#include <commctrl.h>
#include <gtest/gtest.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "ui/testing/window_contract.h"
#include "ui/testing/form_menu.h"
#include "ui/win32/testing/recording_pane.h"

namespace pmr::ui::win32 {
namespace {

using namespace std::chrono_literals;
using testing::g_navigate_depth;
using testing::g_navigate_max_depth;
using testing::PaneOf;
using testing::RecordingPane;
using testing::RunBounded;
using testing::TestOptions;

struct Win32Backend {
  static std::string Unavailable() { return ""; }
  static std::unique_ptr<MainWindow> Make() {
    return std::make_unique<Win32MainWindow>(TestOptions());
  }
};

struct FoundWindow {
  std::wstring class_name, caption;
  HWND found = nullptr;
};

// A top-level window of `thread` with this class and caption; polls until `limit`.
HWND FindThreadWindow(DWORD thread, const std::wstring& class_name, const std::wstring& caption,
                      std::chrono::milliseconds limit = 5s) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    FoundWindow search{class_name, caption, nullptr};
    EnumThreadWindows(
        thread,
        [](HWND candidate, LPARAM data) -> BOOL {
          auto* want = reinterpret_cast<FoundWindow*>(data);
          wchar_t name[64] = {};
          wchar_t text[256] = {};
          GetClassNameW(candidate, name, 64);
          GetWindowTextW(candidate, text, 256);
          if (want->class_name == name && want->caption == text && IsWindowVisible(candidate)) {
            want->found = candidate;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) return search.found;
    std::this_thread::sleep_for(20ms);
  }
  return nullptr;
}

// Answers the next box of the UI thread with this caption from a thread of its own.
class BoxAnswerer {
 public:
  BoxAnswerer(DWORD ui_thread, std::wstring caption, int button, std::wstring new_text = L"")
      : thread_([=, this] {
          HWND box = FindThreadWindow(ui_thread, L"#32770", caption);
          if (box == nullptr) return;
          found = true;
          owner = GetWindow(box, GW_OWNER);
          if (!new_text.empty()) SetDlgItemTextW(box, 100, new_text.c_str());
          HWND control = GetDlgItem(box, button);
          PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                       reinterpret_cast<LPARAM>(control));
        }) {}
  ~BoxAnswerer() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

  std::atomic<bool> found{false};
  std::atomic<HWND> owner{nullptr};

 private:
  std::thread thread_;
};

using ui::testing::FormMenu;

void PostMenuClick(HWND hwnd, HMENU menu, int position) {
  UINT id = GetMenuItemID(menu, position);
  ASSERT_NE(id, static_cast<UINT>(-1));
  PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

// --- Window, menu, layout ---

TEST(Win32Window, TitleSizeMenusAndClicks) {
  Win32MainWindow window(TestOptions());
  window.SetTitle("青禾田识颜台");
  EXPECT_EQ(window.Title(), "青禾田识颜台");

  RECT frame{};
  GetWindowRect(window.NativeWindow(), &frame);
  EXPECT_EQ(frame.right - frame.left, kWindowWidth);
  EXPECT_EQ(frame.bottom - frame.top, kWindowHeight);
  int screen_w = GetSystemMetrics(SM_CXSCREEN);
  int screen_h = GetSystemMetrics(SM_CYSCREEN);
  EXPECT_NEAR(frame.left, (screen_w - kWindowWidth) / 2, 1);
  EXPECT_NEAR(frame.top, (screen_h - kWindowHeight) / 2, 1);

  std::vector<std::string> clicks;
  window.SetMenu(FormMenu(clicks));
  EXPECT_EQ(window.MenuBarCaptions(),
            (std::vector<std::string>{"积分", "考勤", "智校",
                                      "设置[识颜台设置 学校注册 | 格式化识颜台 | 退出]"}));

  // Clicks arrive as WM_COMMAND from the real menu handles; a throwing item is reported
  // and the loop goes on.
  HWND hwnd = window.NativeWindow();
  HMENU bar = GetMenu(hwnd);
  HMENU settings = GetSubMenu(bar, 3);
  ASSERT_NE(settings, nullptr);
  EXPECT_EQ(GetMenuItemCount(settings), 6);
  PostMenuClick(hwnd, bar, 1);
  PostMenuClick(hwnd, settings, 5);
  PostMenuClick(hwnd, settings, 0);
  window.Pump(200);
  EXPECT_EQ(clicks, (std::vector<std::string>{"N9", "N8", "N2"}));

  // A new menu replaces the old one, also while one of its items runs.
  std::vector<MenuItem> next;
  MenuItem rebuild;
  rebuild.caption = "重建";
  rebuild.on_click = [&] {
    window.SetMenu(FormMenu(clicks));
    throw std::runtime_error("after rebuilding");
  };
  next.push_back(rebuild);
  window.SetMenu(next);
  EXPECT_EQ(window.MenuBarCaptions(), std::vector<std::string>{"重建"});
  clicks.clear();
  PostMenuClick(hwnd, GetMenu(hwnd), 0);
  window.Pump(200);
  EXPECT_EQ(window.MenuBarCaptions().size(), 4u);
  PostMenuClick(hwnd, GetMenu(hwnd), 0);
  window.Pump(200);
  EXPECT_EQ(clicks, std::vector<std::string>{"N4"});
}

TEST(Win32Window, PanesFillPanelAndStatusPanels) {
  Win32MainWindow window(TestOptions());
  window.Show();
  window.Pump(100);
  HWND hwnd = window.NativeWindow();
  HWND status = window.StatusBarWindow();

  auto check_layout = [&] {
    RECT client{};
    GetClientRect(hwnd, &client);
    RECT bar{};
    GetWindowRect(status, &bar);
    int panel_height = (client.bottom - client.top) - (bar.bottom - bar.top);
    RECT left = window.PaneBounds(Pane::kLeft);
    RECT main = window.PaneBounds(Pane::kMain);
    EXPECT_EQ(left.left, 0);
    EXPECT_EQ(left.right - left.left, kLeftPaneWidth);
    EXPECT_EQ(main.left, kLeftPaneWidth);
    EXPECT_EQ(main.right, client.right);
    EXPECT_EQ(left.top, 0);
    EXPECT_EQ(main.top, 0);
    EXPECT_EQ(left.bottom, panel_height);
    EXPECT_EQ(main.bottom, panel_height);
    EXPECT_GT(panel_height, 0);
  };
  check_layout();
  EXPECT_EQ(window.PaneWidth(Pane::kLeft), kLeftPaneWidth);

  // The layout follows the window's size.
  SetWindowPos(hwnd, nullptr, 0, 0, 1000, 600, SWP_NOMOVE | SWP_NOZORDER);
  window.Pump(100);
  check_layout();
  EXPECT_LT(window.PaneWidth(Pane::kMain), 1000 - kLeftPaneWidth);

  int edges[4] = {};
  ASSERT_EQ(SendMessageW(status, SB_GETPARTS, 4, reinterpret_cast<LPARAM>(edges)), 3);
  EXPECT_EQ(std::vector<int>(edges, edges + 3), (std::vector<int>{300, 800, 1100}));
  window.SetStatus(1, "待上传 3");
  EXPECT_EQ(window.Status(1), "待上传 3");
  wchar_t text[64] = {};
  SendMessageW(status, SB_GETTEXTW, 1, reinterpret_cast<LPARAM>(text));
  EXPECT_EQ(std::wstring(text), L"待上传 3");
  EXPECT_THROW(window.SetStatus(3, "x"), Error);
  EXPECT_THROW(window.Status(-1), Error);

  // The memo is there but never shown.
  EXPECT_EQ(window.LogLines(), std::vector<std::string>{"Memo1"});
  window.AppendLog("a\r\nb");
  EXPECT_EQ(window.LogLines(), (std::vector<std::string>{"Memo1", "a", "b"}));
  HWND memo = GetDlgItem(hwnd, 11);
  ASSERT_NE(memo, nullptr);
  EXPECT_FALSE(IsWindowVisible(memo));
  for (std::size_t i = 3; i < kMemoMaxLines + 5; ++i) window.AppendLog(std::to_string(i));
  std::vector<std::string> lines = window.LogLines();
  ASSERT_EQ(lines.size(), kMemoMaxLines);
  EXPECT_EQ(lines.front(), "5");
  EXPECT_EQ(SendMessageW(memo, EM_GETLINECOUNT, 0, 0), static_cast<LRESULT>(kMemoMaxLines));
}

TEST(Win32Window, FactoryFailureIsAnError) {
  Win32WindowOptions throwing = TestOptions();
  throwing.pane_factory = [](HWND) -> std::unique_ptr<BrowserPane> { throw Error("no engine"); };
  EXPECT_THROW(Win32MainWindow{throwing}, Error);
  Win32WindowOptions empty = TestOptions();
  empty.pane_factory = [](HWND) -> std::unique_ptr<BrowserPane> { return nullptr; };
  EXPECT_THROW(Win32MainWindow{empty}, Error);
  EXPECT_THROW(Win32MainWindow{Win32WindowOptions{}}, Error);
}

// --- Loop ---

TEST(Win32Window, PumpTicksTimersAndLeavesPostsToRun) {
  Win32MainWindow window(TestOptions());
  bool posted = false;
  int ticks = 0;
  window.Post([&] { posted = true; });
  window.CreateTimer(20ms, [&] { ++ticks; }).Arm();
  window.Pump(300);
  EXPECT_FALSE(posted) << "closures posted before Run wait for it";
  EXPECT_EQ(ticks, 1);
}

// --- Modal boxes ---

TEST(Win32Window, InputBoxOkCancelAndQuit) {
  Win32MainWindow window(TestOptions());
  DWORD ui = GetCurrentThreadId();
  {
    BoxAnswerer answer(ui, L"设置IP地址", IDOK, L"192.168.1.20");
    EXPECT_EQ(window.InputBox("设置IP地址", "输入识颜台IP地址", "10.0.0.1"), "192.168.1.20");
    answer.Join();
    EXPECT_TRUE(answer.found);
    EXPECT_EQ(answer.owner, window.NativeWindow());
  }
  {
    BoxAnswerer answer(ui, L"操作确认", IDCANCEL, L"typed but cancelled");
    EXPECT_EQ(window.InputBox("操作确认", "输入操作码", "dflt"), "dflt");
    answer.Join();
    EXPECT_TRUE(answer.found);
  }

  // Inside the loop: posted closures and timers keep running while the box is open, and a
  // Quit from another thread ends the box with the default.
  std::string result = "unset";
  std::atomic<int> posted_ran{0};
  int ticks = 0;
  Timer& timer = window.CreateTimer(10ms, [&] { ++ticks; });
  std::thread helper([&] {
    HWND box = FindThreadWindow(ui, L"#32770", L"等待");
    if (box == nullptr) return;
    window.Post([&] {
      ++posted_ran;
      timer.Arm();
    });
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (posted_ran == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(200ms);
    window.Quit();
  });
  window.Post([&] { result = window.InputBox("等待", "p", "默认"); });
  ASSERT_TRUE(RunBounded(window));
  helper.join();
  EXPECT_EQ(result, "默认");
  EXPECT_EQ(posted_ran, 1);
  EXPECT_EQ(ticks, 1);
  // Ended: a new box returns at once.
  EXPECT_EQ(window.InputBox("x", "y", "z"), "z");
}

TEST(Win32Window, ConfirmBoxIsOwnedAndAnswered) {
  Win32MainWindow window(TestOptions());
  DWORD ui = GetCurrentThreadId();
  {
    BoxAnswerer answer(ui, L"确认", IDOK);
    EXPECT_TRUE(window.ConfirmBox("确认清除人脸机所有数据吗？", "确认"));
    answer.Join();
    EXPECT_TRUE(answer.found);
    EXPECT_EQ(answer.owner, window.NativeWindow());
  }
  {
    BoxAnswerer answer(ui, L"确认", IDCANCEL);
    EXPECT_FALSE(window.ConfirmBox("确认清除人脸机所有数据吗？", "确认"));
    answer.Join();
    EXPECT_TRUE(answer.found);
  }
  // Quit from a closure that runs inside the box ends it as cancelled.
  bool answer = true;
  std::thread helper([&] {
    if (FindThreadWindow(ui, L"#32770", L"退出") == nullptr) return;
    window.Post([&] { window.Quit(); });
  });
  window.Post([&] { answer = window.ConfirmBox("text", "退出"); });
  ASSERT_TRUE(RunBounded(window));
  helper.join();
  EXPECT_FALSE(answer);
}

// --- Tray, minimise, close ---

bool TrayIconPresent(HWND hwnd) {
  NOTIFYICONDATAA data{};
  data.cbSize = NOTIFYICONDATAA_V1_SIZE;
  data.hWnd = hwnd;
  data.uID = 0;
  return Shell_NotifyIconA(NIM_MODIFY, &data) != FALSE;
}

std::wstring FromChinese(const std::string& ansi) {
  wchar_t wide[128] = {};
  int n = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, ansi.data(), static_cast<int>(ansi.size()),
                              wide, 128);
  return std::wstring(wide, static_cast<std::size_t>(std::max(n, 0)));
}

TEST(Win32Window, TrayTipIsChineseAnsiCutAtWholeCharacters) {
  std::string tip = TrayTipText("青禾田勤星册");
  EXPECT_EQ(tip.size(), 12u);  // two bytes a character
  EXPECT_EQ(FromChinese(tip), L"青禾田勤星册");
  std::string long_tip;
  for (int i = 0; i < 40; ++i) long_tip += "册";
  std::string cut = TrayTipText("a" + long_tip);
  EXPECT_EQ(cut.size(), 63u);
  EXPECT_EQ(FromChinese(cut), L"a" + std::wstring(31, L'册'));
  EXPECT_EQ(TrayTipText(long_tip).size(), 62u);  // the 32nd character would not fit whole
}

TEST(Win32Window, TrayIconAndItsMessages) {
  Win32MainWindow window(TestOptions());
  HWND hwnd = window.NativeWindow();
  std::vector<TrayButton> clicks;
  window.SetTrayClickHandler([&](TrayButton button) { clicks.push_back(button); });
  EXPECT_FALSE(window.HasTrayIcon());
  window.AddTrayIcon("青禾田勤星册");
  window.AddTrayIcon("青禾田勤星册");
  EXPECT_TRUE(window.HasTrayIcon());
  EXPECT_TRUE(TrayIconPresent(hwnd));

  PostMessageW(hwnd, 0x4C8, 0, WM_MOUSEMOVE);
  PostMessageW(hwnd, 0x4C8, 0, WM_LBUTTONUP);
  PostMessageW(hwnd, 0x4C8, 0, WM_LBUTTONDBLCLK);
  PostMessageW(hwnd, 0x4C8, 0, WM_RBUTTONDOWN);
  PostMessageW(hwnd, 0x4C8, 0, WM_LBUTTONDOWN);
  window.Pump(200);
  EXPECT_EQ(clicks, (std::vector<TrayButton>{TrayButton::kOther, TrayButton::kLeft}));

  window.RemoveTrayIcon();
  window.RemoveTrayIcon();
  EXPECT_FALSE(window.HasTrayIcon());
  EXPECT_FALSE(TrayIconPresent(hwnd));
}

TEST(Win32Window, MinimiseAndCloseGoToTheirHandlers) {
  Win32MainWindow window(TestOptions());
  HWND hwnd = window.NativeWindow();
  window.Show();
  window.Pump(100);

  // Without a handler the window stays as it is.
  PostMessageW(hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  window.Pump(100);
  EXPECT_FALSE(IsIconic(hwnd));
  EXPECT_TRUE(window.IsVisible());

  int minimised = 0;
  window.SetMinimizeHandler([&] {
    ++minimised;
    window.AddTrayIcon("青禾田勤星册");
    window.Hide();
  });
  PostMessageW(hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  window.Pump(100);
  EXPECT_EQ(minimised, 1);
  EXPECT_FALSE(IsIconic(hwnd));
  EXPECT_FALSE(window.IsVisible());
  window.RemoveTrayIcon();
  window.Show();
  // The command is compared whole: with low bits set it is the platform's own minimise.
  PostMessageW(hwnd, WM_SYSCOMMAND, SC_MINIMIZE | 2, 0);
  window.Pump(200);
  EXPECT_EQ(minimised, 1);
  window.Restore();
  window.Pump(100);
  EXPECT_FALSE(IsIconic(hwnd));

  // The close from the system menu and WM_CLOSE reach the close handler; refused, the
  // loop goes on; allowed, the loop ends.
  int close_requests = 0;
  bool allow = false;
  window.SetCloseHandler([&](bool& allow_close) {
    EXPECT_TRUE(allow_close);
    ++close_requests;
    allow_close = allow;
  });
  std::atomic<bool> still_running{false};
  window.Post([&] {
    PostMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
    window.Post([&] {
      still_running = true;
      allow = true;
      PostMessageW(hwnd, WM_CLOSE, 0, 0);
    });
  });
  ASSERT_TRUE(RunBounded(window));
  EXPECT_EQ(close_requests, 3);
  EXPECT_TRUE(still_running);
  EXPECT_FALSE(window.IsVisible());
}

// --- Panes ---

TEST(Win32Window, PanesNavigateScriptAndSeeKeysFirst) {
  Win32MainWindow window(TestOptions());
  RecordingPane& main = PaneOf(window, Pane::kMain);
  RecordingPane& left = PaneOf(window, Pane::kLeft);
  EXPECT_EQ(left.Handle() != nullptr && GetParent(left.Handle()) == GetParent(main.Handle()), true);
  EXPECT_EQ(window.Location(Pane::kLeft), "");
  EXPECT_THROW(window.RunScript(Pane::kLeft, "ins(\"a\",\"b\",\"c\")"), ScriptError);

  // The left pane's handler sends some links to the main pane and keeps its own page.
  std::vector<std::string> asked;
  window.SetBeforeNavigateHandler(Pane::kLeft, [&](const std::string& url, bool& cancel) {
    asked.push_back(url);
    if (url.find("xgo") != std::string::npos) {
      window.Navigate(Pane::kMain, url);
      cancel = true;
    }
  });
  g_navigate_max_depth = 0;
  window.Navigate(Pane::kLeft, "http://portal/club/hlmbo_jdqface_now.html?sp=1");
  EXPECT_EQ(window.Location(Pane::kLeft), "http://portal/club/hlmbo_jdqface_now.html?sp=1");
  window.Navigate(Pane::kLeft, "http://portal/club/xgo.html?sp=1");
  EXPECT_EQ(window.Location(Pane::kLeft), "http://portal/club/hlmbo_jdqface_now.html?sp=1");
  EXPECT_EQ(asked.size(), 2u);
  EXPECT_TRUE(main.requested.empty()) << "not re-entered from inside the handler";
  window.Post([&] { window.Quit(); });
  ASSERT_TRUE(RunBounded(window));
  EXPECT_EQ(main.requested, std::vector<std::string>{"http://portal/club/xgo.html?sp=1"});
  EXPECT_EQ(window.Location(Pane::kMain), "http://portal/club/xgo.html?sp=1");
  EXPECT_EQ(g_navigate_max_depth, 1);

  window.RunScript(Pane::kLeft, "ins(\"fp1\",\"http://127.0.0.1:8091/a.jpg\",\"t\")");
  EXPECT_EQ(left.scripts,
            std::vector<std::string>{"ins(\"fp1\",\"http://127.0.0.1:8091/a.jpg\",\"t\")"});

  // Keyboard messages go to the focused pane first.
  window.Show();
  window.Pump(50);
  SetFocus(left.Handle());
  PostMessageW(left.Handle(), WM_KEYDOWN, VK_F5, 0);
  window.Pump(100);
  SetFocus(main.Handle());
  PostMessageW(main.Handle(), WM_KEYDOWN, VK_BACK, 0);
  window.Pump(100);
  EXPECT_EQ(left.keys, std::vector<int>{VK_F5});
  EXPECT_EQ(main.keys, std::vector<int>{VK_BACK});
  // Focus on the frame itself goes on to the main pane.
  SetFocus(window.NativeWindow());
  EXPECT_EQ(GetFocus(), main.Handle());
}

}  // namespace
}  // namespace pmr::ui::win32

namespace pmr::ui::testing {
INSTANTIATE_TYPED_TEST_SUITE_P(Win32, WindowContract, win32::Win32Backend);
}  // namespace pmr::ui::testing
