#include "ui/win32/win32_window.h"

#include <commctrl.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <thread>

#include "base/error.h"
#include "ui/diagnostics.h"
#include "ui/dispatcher.h"
#include "ui/log_memo.h"

namespace pmr::ui::win32 {
namespace {

// Private messages of the main window.
constexpr UINT kWakeMessage = WM_APP + 1;  // one queued closure is due
constexpr UINT kQuitMessage = WM_APP + 2;  // Quit() from another thread
constexpr UINT kArmMessage = WM_APP + 3;   // wParam: index of a timer armed off the UI thread
constexpr UINT_PTR kTimerIdBase = 100;     // window timer id = base + index
constexpr UINT kMenuIdBase = 1000;         // menu command id = base + action index
constexpr int kPanelId = 10;
constexpr int kMemoId = 11;
constexpr int kStatusId = 12;
constexpr int kInputEditId = 100;
constexpr int kInputPromptId = 101;

const wchar_t kWindowClass[] = L"PmrFaceMainWindow";
const wchar_t kPanelClass[] = L"PmrFacePanel";

const char* PaneName(Pane pane) { return pane == Pane::kMain ? "main" : "left"; }
int PaneIndex(Pane pane) { return pane == Pane::kMain ? 0 : 1; }

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

std::string Narrow(const std::wstring& text, UINT code_page = CP_UTF8) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

std::string WindowText(HWND hwnd) {
  int length = GetWindowTextLengthW(hwnd);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  int got = GetWindowTextW(hwnd, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(std::max(got, 0)));
  return Narrow(text);
}

std::string LastErrorText(const char* what) {
  return std::string("ui: ") + what + " failed (error " + std::to_string(GetLastError()) + ")";
}

// Window timers bound to a window that belongs to another thread are not refused by Wine;
// such a mistake would tick nowhere, so it ends the program at once.
void RequireUiThread(bool on_ui_thread, const char* operation) {
  if (!on_ui_thread) {
    std::fprintf(stderr, "pmrface: %s called off the UI thread\n", operation);
    std::fflush(stderr);
    std::abort();
  }
}

}  // namespace

// What other threads share with the UI thread.
struct Core {
  std::mutex mutex;     // guards hwnd; taken after the dispatcher's lock, never before
  HWND hwnd = nullptr;  // null once the window is gone
  // One wake-up message at a time, one closure per message, so modal loops run them too.
  Dispatcher dispatcher{[this] {
    std::lock_guard lock(mutex);
    return hwnd != nullptr && PostMessageW(hwnd, kWakeMessage, 0, 0);
  }};
};

class Win32Timer : public Timer {
 public:
  Win32Timer(std::shared_ptr<Core> core, std::size_t index, std::chrono::milliseconds interval,
             std::function<void()> on_tick)
      : tick(std::move(on_tick)),
        core_(std::move(core)),
        index_(index),
        interval_(Clamp(interval)) {}

  void Arm() override {
    std::lock_guard lock(mutex_);
    if (armed_) return;
    armed_ = true;
    if (core_->dispatcher.OnUiThread()) {
      SetOnUi();
      return;
    }
    std::lock_guard core_lock(core_->mutex);
    if (core_->hwnd != nullptr) PostMessageW(core_->hwnd, kArmMessage, index_, 0);
  }
  void Disarm() override {
    std::lock_guard lock(mutex_);
    armed_ = false;
    // Off the UI thread the window timer stays; its tick finds the timer disarmed.
    if (core_->dispatcher.OnUiThread()) KillOnUi();
  }
  void SetInterval(std::chrono::milliseconds interval) override {
    std::lock_guard lock(mutex_);
    interval_ = Clamp(interval);
  }
  bool Armed() const override {
    std::lock_guard lock(mutex_);
    return armed_;
  }

  // UI thread: the posted arming arrived.
  void OnArmMessage() {
    std::lock_guard lock(mutex_);
    if (armed_ && !set_) SetOnUi();
  }
  // UI thread: the window timer went off; true when the tick is to run.
  bool OnTimerMessage() {
    std::lock_guard lock(mutex_);
    KillOnUi();
    if (!armed_) return false;
    armed_ = false;  // a tick disarms first
    return true;
  }
  void Stop() {
    std::lock_guard lock(mutex_);
    armed_ = false;
    KillOnUi();
  }

  const std::function<void()> tick;

 private:
  static std::chrono::milliseconds Clamp(std::chrono::milliseconds interval) {
    return std::max(interval, std::chrono::milliseconds(0));
  }
  UINT_PTR Id() const { return kTimerIdBase + index_; }
  HWND Window() {
    std::lock_guard core_lock(core_->mutex);
    return core_->hwnd;
  }
  void SetOnUi() {  // mutex_ held
    RequireUiThread(core_->dispatcher.OnUiThread(), "SetTimer");
    HWND hwnd = Window();
    if (hwnd == nullptr) return;
    set_ =
        SetTimer(hwnd, Id(), static_cast<UINT>(std::min<long long>(interval_.count(), 0x7FFFFFFF)),
                 nullptr) != 0;
  }
  void KillOnUi() {  // mutex_ held
    RequireUiThread(core_->dispatcher.OnUiThread(), "KillTimer");
    if (!set_) return;
    if (HWND hwnd = Window()) KillTimer(hwnd, Id());
    set_ = false;
  }

  const std::shared_ptr<Core> core_;
  const std::size_t index_;
  mutable std::mutex mutex_;
  std::chrono::milliseconds interval_;
  bool armed_ = false;
  bool set_ = false;  // a window timer runs (UI thread's view)
};

struct InputBoxState;

struct Win32MainWindow::Impl {
  Impl(Win32MainWindow& owner, Win32WindowOptions opts) : self(owner), options(std::move(opts)) {}

  Win32MainWindow& self;
  Win32WindowOptions options;
  std::shared_ptr<Core> core = std::make_shared<Core>();
  std::vector<std::unique_ptr<Win32Timer>> timers;

  HWND hwnd = nullptr;
  HWND panel = nullptr;
  HWND memo_edit = nullptr;
  HWND status_bar = nullptr;
  HICON icon = nullptr;
  HMENU menu_bar = nullptr;
  std::unique_ptr<BrowserPane> panes[2];
  std::function<void(const std::string&, bool&)> before_navigate[2];
  int in_before_navigate = 0;
  HWND saved_focus = nullptr;  // the control that had the focus when the window went inactive

  std::string status[kStatusPanelCount];
  LogMemo memo;
  std::vector<std::function<void()>> menu_actions;
  std::vector<HWND> input_boxes;  // open input boxes, innermost last
  int open_boxes = 0;             // input and message boxes
  bool has_tray_icon = false;
  bool shown_once = false;

  std::function<void()> on_minimize;
  std::function<void(bool&)> on_close;
  std::function<void(TrayButton)> on_tray_click;
  std::function<void()> on_activate;

  void Emit(const std::string& line) {
    if (options.echo) WriteDiagnosticLine(line);
  }

  void CheckUiThread(const char* operation) const { core->dispatcher.CheckUiThread(operation); }

  // The default error report, also on standard error.
  void RunGuarded(const std::function<void()>& fn) {
    RunReportingErrors(fn, [this](const std::string& error) {
      std::fprintf(stderr, "pmrface: %s\n", error.c_str());
      std::fflush(stderr);
      Emit(error);
    });
  }

  bool Quitting() { return core->dispatcher.Quitting(); }

  // UI thread, after Quit: every open box returns as cancelled.
  void EndLoops() {
    for (HWND box : input_boxes) EndDialog(box, IDCANCEL);
    if (open_boxes > static_cast<int>(input_boxes.size())) {
      EnumThreadWindows(
          GetCurrentThreadId(),
          [](HWND candidate, LPARAM data) -> BOOL {
            wchar_t name[16] = {};
            GetClassNameW(candidate, name, 16);
            if (wcscmp(name, L"#32770") == 0 &&
                GetWindow(candidate, GW_OWNER) == reinterpret_cast<HWND>(data)) {
              PostMessageW(candidate, WM_COMMAND, IDCANCEL, 0);
            }
            return TRUE;
          },
          reinterpret_cast<LPARAM>(hwnd));
    }
  }

  void RunOneQueued() {
    if (std::function<void()> work = core->dispatcher.TakeNext()) RunGuarded(work);
  }

  void Layout() {
    if (hwnd == nullptr || status_bar == nullptr) return;
    RECT client{};
    GetClientRect(hwnd, &client);
    SendMessageW(status_bar, WM_SIZE, 0, 0);
    RECT bar{};
    GetWindowRect(status_bar, &bar);
    int bar_height = IsWindowVisible(status_bar) ? static_cast<int>(bar.bottom - bar.top) : 0;
    int width = static_cast<int>(client.right - client.left);
    int height = std::max(0, static_cast<int>(client.bottom - client.top) - bar_height);
    // The memo is hidden; it keeps its place above the status bar all the same.
    MoveWindow(memo_edit, 0, std::max(0, height - kMemoHeight), width, kMemoHeight, FALSE);
    MoveWindow(panel, 0, 0, width, height, TRUE);
    int left_width = std::min(kLeftPaneWidth, width);
    if (panes[PaneIndex(Pane::kLeft)]) {
      panes[PaneIndex(Pane::kLeft)]->SetBounds(RECT{0, 0, left_width, height});
    }
    if (panes[PaneIndex(Pane::kMain)]) {
      panes[PaneIndex(Pane::kMain)]->SetBounds(RECT{left_width, 0, width, height});
    }
  }

  void BuildMenu(HMENU menu, const std::vector<MenuItem>& items) {
    for (const MenuItem& item : items) {
      if (item.separator) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        continue;
      }
      std::wstring caption = Widen(item.caption);
      if (!item.children.empty()) {
        HMENU sub = CreatePopupMenu();
        BuildMenu(sub, item.children);
        AppendMenuW(menu, MF_STRING | MF_POPUP, reinterpret_cast<UINT_PTR>(sub), caption.c_str());
        continue;
      }
      UINT id = kMenuIdBase + static_cast<UINT>(menu_actions.size());
      menu_actions.push_back(item.on_click);
      AppendMenuW(menu, MF_STRING, id, caption.c_str());
    }
  }

  void OnMenuCommand(UINT id) {
    if (id < kMenuIdBase || id - kMenuIdBase >= menu_actions.size()) return;
    // A copy: the click may rebuild the menu.
    std::function<void()> click = menu_actions[id - kMenuIdBase];
    RunGuarded(click);
  }

  void OnTrayMessage(LPARAM mouse) {
    TrayButton button;
    switch (static_cast<UINT>(mouse)) {
      case WM_LBUTTONDOWN:
        button = TrayButton::kLeft;
        break;
      case WM_RBUTTONDOWN:
      case WM_MBUTTONDOWN:
        button = TrayButton::kOther;
        break;
      default:
        return;  // moves, releases and double clicks
    }
    if (auto handler = on_tray_click) RunGuarded([&] { handler(button); });
  }

  // The handler a pane calls before each of its navigations.
  void OnBeforeNavigate(Pane pane, const std::string& url, bool& cancel) {
    ++in_before_navigate;
    // A copy: the handler may replace itself.
    if (auto handler = before_navigate[PaneIndex(pane)]) {
      RunGuarded([&] { handler(url, cancel); });
    }
    --in_before_navigate;
    Emit(std::string("navigate[") + PaneName(pane) + "]: " + url + (cancel ? " (cancelled)" : ""));
  }

  bool Notify(DWORD action, const std::string& tip) {
    NOTIFYICONDATAA data{};
    data.cbSize = NOTIFYICONDATAA_V1_SIZE;
    data.hWnd = hwnd;
    data.uID = 0;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = kTrayCallbackMessage;
    data.hIcon = icon;
    std::string ansi = TrayTipText(tip);
    std::copy_n(ansi.data(), std::min(ansi.size(), sizeof(data.szTip) - 1), data.szTip);
    return Shell_NotifyIconA(action, &data) != FALSE;
  }

  // Keyboard messages go first to the pane that has the focus.
  bool PaneTranslate(MSG& msg) {
    if (msg.message < WM_KEYFIRST || msg.message > WM_KEYLAST) return false;
    HWND focus = GetFocus();
    if (focus == nullptr) return false;
    for (auto& pane : panes) {
      if (!pane) continue;
      HWND handle = pane->Handle();
      if (handle != nullptr && (handle == focus || IsChild(handle, focus))) {
        return pane->TranslateAccelerator(msg);
      }
    }
    return false;
  }

  void Dispatch(MSG& msg) {
    if (PaneTranslate(msg)) return;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }

  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
};

namespace {

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    static_cast<Win32MainWindow::Impl*>(create->lpCreateParams)->hwnd = hwnd;
  }
  auto* impl = reinterpret_cast<Win32MainWindow::Impl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (impl == nullptr) return DefWindowProcW(hwnd, message, wparam, lparam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }
  return impl->Handle(message, wparam, lparam);
}

void RegisterClasses(HINSTANCE instance) {
  static const bool registered = [instance] {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    WNDCLASSEXW main{};
    main.cbSize = sizeof(main);
    main.style = CS_HREDRAW | CS_VREDRAW;
    main.lpfnWndProc = MainWindowProc;
    main.hInstance = instance;
    main.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    main.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    main.lpszClassName = kWindowClass;
    RegisterClassExW(&main);
    WNDCLASSEXW panel{};
    panel.cbSize = sizeof(panel);
    panel.lpfnWndProc = DefWindowProcW;
    panel.hInstance = instance;
    panel.hCursor = main.hCursor;
    panel.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    panel.lpszClassName = kPanelClass;
    RegisterClassExW(&panel);
    return true;
  }();
  (void)registered;
}

}  // namespace

LRESULT Win32MainWindow::Impl::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case kWakeMessage:
      RunOneQueued();
      return 0;
    case kQuitMessage:
      EndLoops();
      return 0;
    case kArmMessage:
      if (wparam < timers.size()) timers[wparam]->OnArmMessage();
      return 0;
    case WM_TIMER: {
      if (wparam < kTimerIdBase || wparam - kTimerIdBase >= timers.size()) break;
      Win32Timer& timer = *timers[wparam - kTimerIdBase];
      if (timer.OnTimerMessage() && !Quitting()) RunGuarded(timer.tick);
      return 0;
    }
    case WM_COMMAND:
      if (HIWORD(wparam) == 0 && lparam == 0) {
        OnMenuCommand(LOWORD(wparam));
        return 0;
      }
      break;
    case WM_SYSCOMMAND:
      // Only the plain minimise command; every other one, the close from the title bar
      // included, takes the default way.
      if (wparam == SC_MINIMIZE) {
        if (auto handler = on_minimize) RunGuarded(handler);
        return 0;
      }
      break;
    case kTrayCallbackMessage:
      OnTrayMessage(lparam);
      return 0;
    case WM_CLOSE:
      RunGuarded([this] { self.Close(); });
      return 0;
    case WM_SIZE:
      Layout();
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wparam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(hwnd, focus)) saved_focus = focus;
      }
      break;
    case WM_SETFOCUS: {
      // The keyboard belongs to a browser: back to the one that had it, else the main pane.
      HWND target = saved_focus;
      if (target == nullptr || !IsWindow(target) || !IsChild(hwnd, target)) {
        target = panes[PaneIndex(Pane::kMain)] ? panes[PaneIndex(Pane::kMain)]->Handle() : nullptr;
      }
      if (target != nullptr) SetFocus(target);
      return 0;
    }
    default:
      break;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

// --- Construction ---

std::string TrayTipText(const std::string& utf8_tip) {
  constexpr UINT kChineseCodePage = 936;
  constexpr std::size_t kLimit = 63;  // the record's 64 bytes with the terminating zero
  std::string ansi = Narrow(Widen(utf8_tip), kChineseCodePage);
  std::size_t length = 0;
  while (length < ansi.size()) {
    std::size_t step = IsDBCSLeadByteEx(kChineseCodePage, static_cast<BYTE>(ansi[length])) ? 2 : 1;
    if (length + step > kLimit) break;
    length += step;
  }
  ansi.resize(std::min(length, ansi.size()));
  return ansi;
}

void AttachStandardStreams() {
  struct Stream {
    DWORD which;
    FILE* file;
    int fd;
  };
  for (const Stream& stream :
       {Stream{STD_OUTPUT_HANDLE, stdout, 1}, Stream{STD_ERROR_HANDLE, stderr, 2}}) {
    HANDLE handle = GetStdHandle(stream.which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) continue;
    if (GetFileType(handle) == FILE_TYPE_UNKNOWN) continue;
    if (_get_osfhandle(stream.fd) != reinterpret_cast<intptr_t>(handle)) {
      // A GUI program's C runtime may not have taken the inherited handle.
      int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
      if (fd < 0) continue;
      if (fd != stream.fd) _dup2(fd, stream.fd);
    }
    std::setvbuf(stream.file, nullptr, _IONBF, 0);
  }
}

Win32MainWindow::Win32MainWindow(Win32WindowOptions options)
    : impl_(std::make_unique<Impl>(*this, std::move(options))) {
  Impl& impl = *impl_;
  if (!impl.options.pane_factory) throw Error("ui: the Win32 window needs a pane factory");
  HINSTANCE instance = GetModuleHandleW(nullptr);
  RegisterClasses(instance);
  impl.icon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  if (impl.icon == nullptr)
    impl.icon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));

  int x = std::max(0, (GetSystemMetrics(SM_CXSCREEN) - kWindowWidth) / 2);
  int y = std::max(0, (GetSystemMetrics(SM_CYSCREEN) - kWindowHeight) / 2);
  impl.hwnd = CreateWindowExW(0, kWindowClass, L"", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, x, y,
                              kWindowWidth, kWindowHeight, nullptr, nullptr, instance, &impl);
  if (impl.hwnd == nullptr) throw Error(LastErrorText("CreateWindowExW"));
  {
    std::lock_guard lock(impl.core->mutex);
    impl.core->hwnd = impl.hwnd;
  }
  try {
    SendMessageW(impl.hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(impl.icon));
    SendMessageW(impl.hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(impl.icon));
    impl.panel =
        CreateWindowExW(0, kPanelClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 0, 0,
                        impl.hwnd, reinterpret_cast<HMENU>(kPanelId), instance, nullptr);
    impl.memo_edit = CreateWindowExW(
        0, L"EDIT", L"",
        WS_CHILD | ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | WS_VSCROLL | ES_READONLY, 0, 0,
        0, 0, impl.hwnd, reinterpret_cast<HMENU>(kMemoId), instance, nullptr);
    impl.status_bar =
        CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0,
                        0, impl.hwnd, reinterpret_cast<HMENU>(kStatusId), instance, nullptr);
    if (impl.panel == nullptr || impl.memo_edit == nullptr || impl.status_bar == nullptr) {
      throw Error(LastErrorText("creating the window's controls"));
    }
    SendMessageW(impl.memo_edit, EM_SETLIMITTEXT, 0, 0);
    int edges[kStatusPanelCount];
    int right = 0;
    for (int i = 0; i < kStatusPanelCount; ++i) {
      right += kStatusPanelWidths[static_cast<std::size_t>(i)];
      edges[i] = right;
    }
    SendMessageW(impl.status_bar, SB_SETPARTS, kStatusPanelCount, reinterpret_cast<LPARAM>(edges));
    for (Pane pane : {Pane::kMain, Pane::kLeft}) {
      auto made = impl.options.pane_factory(impl.panel);
      if (!made) throw Error(std::string("ui: no ") + PaneName(pane) + " pane");
      made->SetBeforeNavigate([&impl, pane](const std::string& url, bool& cancel) {
        impl.OnBeforeNavigate(pane, url, cancel);
      });
      impl.panes[PaneIndex(pane)] = std::move(made);
    }
    std::wstring memo_text;
    for (const std::string& line : impl.memo.Lines()) {
      if (!memo_text.empty()) memo_text += L"\r\n";
      memo_text += Widen(line);
    }
    SetWindowTextW(impl.memo_edit, memo_text.c_str());
    impl.Layout();
  } catch (...) {
    for (auto& pane : impl.panes) pane.reset();
    {
      std::lock_guard lock(impl.core->mutex);
      impl.core->hwnd = nullptr;
    }
    DestroyWindow(impl.hwnd);
    throw;
  }
}

Win32MainWindow::~Win32MainWindow() {
  Impl& impl = *impl_;
  impl.core->dispatcher.Finish();
  for (auto& timer : impl.timers) timer->Stop();
  if (impl.has_tray_icon) impl.Notify(NIM_DELETE, "");
  for (auto& pane : impl.panes) pane.reset();
  {
    std::lock_guard lock(impl.core->mutex);
    impl.core->hwnd = nullptr;
  }
  HMENU menu = impl.menu_bar;
  DestroyWindow(impl.hwnd);
  if (menu != nullptr && IsMenu(menu)) DestroyMenu(menu);
}

// --- Loop ---

void Win32MainWindow::Run() {
  impl_->CheckUiThread("Run");
  if (!impl_->core->dispatcher.Start()) return;
  Show();
  MSG msg;
  while (!impl_->Quitting()) {
    BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(msg.wParam));  // someone else's loop end: let it through
      break;
    }
    if (got < 0) break;
    impl_->Dispatch(msg);
  }
  impl_->core->dispatcher.Finish();
}

void Win32MainWindow::Quit() {
  impl_->core->dispatcher.Quit();
  if (OnUiThread()) {
    impl_->EndLoops();
    return;
  }
  // Wakes the loop's GetMessage and ends the open boxes.
  std::lock_guard lock(impl_->core->mutex);
  if (impl_->core->hwnd != nullptr) PostMessageW(impl_->core->hwnd, kQuitMessage, 0, 0);
}

void Win32MainWindow::Post(std::function<void()> fn) {
  impl_->core->dispatcher.Post(std::move(fn));
}

bool Win32MainWindow::RunOnUiThread(std::function<void()> fn) {
  return impl_->core->dispatcher.Invoke(fn);
}

bool Win32MainWindow::OnUiThread() const { return impl_->core->dispatcher.OnUiThread(); }

void Win32MainWindow::Pump(int ms) {
  impl_->CheckUiThread("Pump");
  const DWORD start = GetTickCount();
  const DWORD span = static_cast<DWORD>(std::max(ms, 0));
  MSG msg;
  for (;;) {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));
        return;
      }
      impl_->Dispatch(msg);
    }
    DWORD passed = GetTickCount() - start;
    if (passed >= span) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, span - passed, QS_ALLINPUT);
  }
}

// --- Window ---

void Win32MainWindow::SetTitle(const std::string& title) {
  impl_->CheckUiThread("SetTitle");
  SetWindowTextW(impl_->hwnd, Widen(title).c_str());
  impl_->Emit("title: " + title);
}

std::string Win32MainWindow::Title() const {
  impl_->CheckUiThread("Title");
  return WindowText(impl_->hwnd);
}

void Win32MainWindow::Show() {
  impl_->CheckUiThread("Show");
  ShowWindow(impl_->hwnd, impl_->shown_once ? SW_SHOW : SW_SHOWNORMAL);
  impl_->shown_once = true;
  impl_->Emit("window: show");
}

void Win32MainWindow::Hide() {
  impl_->CheckUiThread("Hide");
  ShowWindow(impl_->hwnd, SW_HIDE);
  impl_->Emit("window: hide");
}

void Win32MainWindow::Restore() {
  impl_->CheckUiThread("Restore");
  if (IsIconic(impl_->hwnd) || IsZoomed(impl_->hwnd)) ShowWindow(impl_->hwnd, SW_RESTORE);
  impl_->Emit("window: restore");
}

void Win32MainWindow::BringToFront() {
  impl_->CheckUiThread("BringToFront");
  SetWindowPos(impl_->hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  SetForegroundWindow(impl_->hwnd);
  impl_->Emit("window: front");
}

void Win32MainWindow::Focus() {
  impl_->CheckUiThread("Focus");
  SetActiveWindow(impl_->hwnd);
  HWND target = impl_->panes[PaneIndex(Pane::kMain)]->Handle();
  SetFocus(target != nullptr ? target : impl_->hwnd);
  impl_->Emit("window: focus");
}

bool Win32MainWindow::IsVisible() const {
  impl_->CheckUiThread("IsVisible");
  return IsWindowVisible(impl_->hwnd) != FALSE;
}

void Win32MainWindow::Close() {
  impl_->CheckUiThread("Close");
  bool allow = true;
  if (auto handler = impl_->on_close) handler(allow);
  if (!allow) return;
  ShowWindow(impl_->hwnd, SW_HIDE);
  impl_->Emit("window: close");
  Quit();
}

void Win32MainWindow::SetMenu(std::vector<MenuItem> items) {
  impl_->CheckUiThread("SetMenu");
  HMENU old = impl_->menu_bar;
  impl_->menu_actions.clear();
  impl_->menu_bar = CreateMenu();
  impl_->BuildMenu(impl_->menu_bar, items);
  ::SetMenu(impl_->hwnd, impl_->menu_bar);
  if (old != nullptr) DestroyMenu(old);
  DrawMenuBar(impl_->hwnd);
}

namespace {

std::string DescribeItem(HMENU menu, int index);

void DescribeMenu(HMENU menu, std::string& out) {
  const int count = GetMenuItemCount(menu);
  for (int i = 0; i < count; ++i) {
    if (i > 0) out += ' ';
    out += DescribeItem(menu, i);
  }
}

// One item as a user reads it: "caption", "caption[its submenu]", or "|" for a separator.
std::string DescribeItem(HMENU menu, int index) {
  wchar_t caption[256] = {};
  MENUITEMINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = MIIM_FTYPE | MIIM_STRING | MIIM_SUBMENU;
  info.dwTypeData = caption;
  info.cch = 255;
  if (!GetMenuItemInfoW(menu, static_cast<UINT>(index), TRUE, &info)) return {};
  if (info.fType & MFT_SEPARATOR) return "|";
  std::string one = Narrow(caption);
  if (info.hSubMenu != nullptr) {
    one += '[';
    DescribeMenu(info.hSubMenu, one);
    one += ']';
  }
  return one;
}

}  // namespace

std::vector<std::string> Win32MainWindow::MenuBarCaptions() const {
  impl_->CheckUiThread("MenuBarCaptions");
  std::vector<std::string> captions;
  HMENU bar = GetMenu(impl_->hwnd);
  if (bar == nullptr) return captions;
  const int count = GetMenuItemCount(bar);
  for (int i = 0; i < count; ++i) captions.push_back(DescribeItem(bar, i));
  return captions;
}

RECT Win32MainWindow::PaneBounds(Pane pane) const {
  impl_->CheckUiThread("PaneBounds");
  RECT bounds{};
  HWND handle = impl_->panes[PaneIndex(pane)]->Handle();
  if (handle == nullptr) return bounds;
  GetWindowRect(handle, &bounds);
  MapWindowPoints(HWND_DESKTOP, impl_->panel, reinterpret_cast<POINT*>(&bounds), 2);
  return bounds;
}

int Win32MainWindow::PaneWidth(Pane pane) const {
  RECT bounds = PaneBounds(pane);
  return bounds.right - bounds.left;
}

HWND Win32MainWindow::NativeWindow() const { return impl_->hwnd; }
HWND Win32MainWindow::StatusBarWindow() const { return impl_->status_bar; }
BrowserPane& Win32MainWindow::PaneObject(Pane pane) const { return *impl_->panes[PaneIndex(pane)]; }

void Win32MainWindow::AppendLog(const std::string& line) {
  impl_->CheckUiThread("AppendLog");
  std::size_t before = impl_->memo.size();
  std::vector<std::string> added = impl_->memo.Append(line);
  // The edit control follows the memo: new lines at the end, the oldest ones dropped.
  std::size_t dropped = before + added.size() - impl_->memo.size();
  HWND edit = impl_->memo_edit;
  if (dropped > 0) {
    LRESULT cut = SendMessageW(edit, EM_LINEINDEX, dropped, 0);
    if (cut < 0) cut = GetWindowTextLengthW(edit);
    SendMessageW(edit, EM_SETSEL, 0, cut);
    SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
  }
  std::wstring text;
  for (const std::string& one : added) {
    text += L"\r\n";
    text += Widen(one);
  }
  int end = GetWindowTextLengthW(edit);
  SendMessageW(edit, EM_SETSEL, end, end);
  SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  for (const std::string& one : added) impl_->Emit("log: " + one);
}

std::vector<std::string> Win32MainWindow::LogLines() const {
  impl_->CheckUiThread("LogLines");
  return impl_->memo.Lines();
}

void Win32MainWindow::SetStatus(int panel, const std::string& text) {
  impl_->CheckUiThread("SetStatus");
  if (panel < 0 || panel >= kStatusPanelCount) {
    throw Error("ui: no status panel " + std::to_string(panel));
  }
  impl_->status[panel] = text;
  SendMessageW(impl_->status_bar, SB_SETTEXTW, static_cast<WPARAM>(panel),
               reinterpret_cast<LPARAM>(Widen(text).c_str()));
  impl_->Emit("status[" + std::to_string(panel) + "]: " + text);
}

std::string Win32MainWindow::Status(int panel) const {
  impl_->CheckUiThread("Status");
  if (panel < 0 || panel >= kStatusPanelCount) {
    throw Error("ui: no status panel " + std::to_string(panel));
  }
  return impl_->status[panel];
}

Timer& Win32MainWindow::CreateTimer(std::chrono::milliseconds interval,
                                    std::function<void()> on_tick) {
  impl_->CheckUiThread("CreateTimer");
  impl_->timers.push_back(std::make_unique<Win32Timer>(impl_->core, impl_->timers.size(), interval,
                                                       std::move(on_tick)));
  return *impl_->timers.back();
}

// --- Modal boxes ---

struct InputBoxState {
  Win32MainWindow::Impl* impl;
  std::wstring caption;
  std::wstring prompt;
  std::wstring text;
  bool ok = false;
};

namespace {

// Builds a dialog template in memory: a prompt, an edit line, OK and Cancel.
class DialogTemplate {
 public:
  void Header(DWORD style, WORD items, short cx, short cy, const std::wstring& caption) {
    Dword(style);
    Dword(0);  // extended style
    Word(items);
    Word(0);  // x
    Word(0);  // y
    Word(static_cast<WORD>(cx));
    Word(static_cast<WORD>(cy));
    Word(0);  // no menu
    Word(0);  // default class
    Text(caption);
    Word(9);  // point size (DS_SETFONT)
    Text(L"MS Shell Dlg");
  }
  void Item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD class_atom,
            const std::wstring& text) {
    Align();
    Dword(style | WS_CHILD | WS_VISIBLE);
    Dword(0);
    Word(static_cast<WORD>(x));
    Word(static_cast<WORD>(y));
    Word(static_cast<WORD>(cx));
    Word(static_cast<WORD>(cy));
    Word(id);
    Word(0xFFFF);
    Word(class_atom);
    Text(text);
    Word(0);  // no creation data
  }
  const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

 private:
  void Word(WORD value) { words_.push_back(value); }
  void Dword(DWORD value) {
    Word(LOWORD(value));
    Word(HIWORD(value));
  }
  void Text(const std::wstring& text) {
    for (wchar_t c : text) Word(static_cast<WORD>(c));
    Word(0);
  }
  void Align() {
    if (words_.size() % 2 != 0) Word(0);
  }
  std::vector<WORD> words_;  // WORD-aligned; the vector's storage is DWORD-aligned
};

constexpr WORD kButtonAtom = 0x0080;
constexpr WORD kEditAtom = 0x0081;
constexpr WORD kStaticAtom = 0x0082;

INT_PTR CALLBACK InputBoxProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* state = reinterpret_cast<InputBoxState*>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      state = reinterpret_cast<InputBoxState*>(lparam);
      SetWindowLongPtrW(dialog, DWLP_USER, lparam);
      state->impl->input_boxes.push_back(dialog);
      HWND edit = GetDlgItem(dialog, kInputEditId);
      SetWindowTextW(edit, state->text.c_str());
      SendMessageW(edit, EM_SETSEL, 0, -1);
      SetFocus(edit);
      if (state->impl->Quitting()) EndDialog(dialog, IDCANCEL);
      return FALSE;  // the focus is set
    }
    case WM_COMMAND:
      if (state == nullptr) return FALSE;
      if (LOWORD(wparam) == IDOK) {
        HWND edit = GetDlgItem(dialog, kInputEditId);
        int length = GetWindowTextLengthW(edit);
        std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
        int got = GetWindowTextW(edit, text.data(), length + 1);
        text.resize(static_cast<std::size_t>(std::max(got, 0)));
        state->text = text;
        state->ok = true;
        EndDialog(dialog, IDOK);
        return TRUE;
      }
      if (LOWORD(wparam) == IDCANCEL) {
        EndDialog(dialog, IDCANCEL);
        return TRUE;
      }
      return FALSE;
    case WM_DESTROY:
      if (state != nullptr) std::erase(state->impl->input_boxes, dialog);
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

std::string Win32MainWindow::InputBox(const std::string& caption, const std::string& prompt,
                                      const std::string& default_text) {
  impl_->CheckUiThread("InputBox");
  impl_->Emit("inputbox: \"" + caption + "\" \"" + prompt + "\" \"" + default_text + "\"");
  std::string result = default_text;
  if (!impl_->Quitting()) {
    InputBoxState state{impl_.get(), Widen(caption), Widen(prompt), Widen(default_text)};
    DialogTemplate dialog;
    dialog.Header(DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU, 4,
                  240, 72, state.caption);
    dialog.Item(SS_LEFT, 8, 8, 224, 12, kInputPromptId, kStaticAtom, state.prompt);
    dialog.Item(WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 8, 24, 224, 14, kInputEditId, kEditAtom,
                L"");
    dialog.Item(BS_DEFPUSHBUTTON | WS_TABSTOP, 124, 48, 50, 16, IDOK, kButtonAtom, L"确定");
    dialog.Item(BS_PUSHBUTTON | WS_TABSTOP, 182, 48, 50, 16, IDCANCEL, kButtonAtom, L"取消");
    ++impl_->open_boxes;
    INT_PTR answer = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), dialog.Get(), impl_->hwnd,
                                             InputBoxProc, reinterpret_cast<LPARAM>(&state));
    --impl_->open_boxes;
    if (answer == -1) {
      impl_->Emit("error: " + LastErrorText("DialogBoxIndirectParamW"));
    } else if (answer == IDOK && state.ok && !impl_->Quitting()) {
      result = Narrow(state.text);
    }
  }
  impl_->Emit("inputbox result: " + result);
  return result;
}

bool Win32MainWindow::ConfirmBox(const std::string& text, const std::string& caption) {
  impl_->CheckUiThread("ConfirmBox");
  impl_->Emit("confirmbox: \"" + caption + "\" \"" + text + "\"");
  bool ok = false;
  if (!impl_->Quitting()) {
    ++impl_->open_boxes;
    int answer = MessageBoxW(impl_->hwnd, Widen(text).c_str(), Widen(caption).c_str(),
                             MB_OKCANCEL | MB_ICONINFORMATION);
    --impl_->open_boxes;
    ok = answer == IDOK && !impl_->Quitting();
  }
  impl_->Emit(std::string("confirmbox result: ") + (ok ? "ok" : "cancel"));
  return ok;
}

// --- Tray ---

void Win32MainWindow::AddTrayIcon(const std::string& tip) {
  impl_->CheckUiThread("AddTrayIcon");
  if (impl_->has_tray_icon) return;
  impl_->has_tray_icon = true;
  impl_->Notify(NIM_ADD, tip);  // a failure is ignored: the window can still come back
  impl_->Emit("tray: add " + tip);
}

void Win32MainWindow::RemoveTrayIcon() {
  impl_->CheckUiThread("RemoveTrayIcon");
  if (!impl_->has_tray_icon) return;
  impl_->has_tray_icon = false;
  impl_->Notify(NIM_DELETE, "");
  impl_->Emit("tray: remove");
}

bool Win32MainWindow::HasTrayIcon() const {
  impl_->CheckUiThread("HasTrayIcon");
  return impl_->has_tray_icon;
}

void Win32MainWindow::SetMinimizeHandler(std::function<void()> handler) {
  impl_->CheckUiThread("SetMinimizeHandler");
  impl_->on_minimize = std::move(handler);
}

void Win32MainWindow::SetCloseHandler(std::function<void(bool&)> handler) {
  impl_->CheckUiThread("SetCloseHandler");
  impl_->on_close = std::move(handler);
}

void Win32MainWindow::SetTrayClickHandler(std::function<void(TrayButton)> handler) {
  impl_->CheckUiThread("SetTrayClickHandler");
  impl_->on_tray_click = std::move(handler);
}

void Win32MainWindow::SetActivateHandler(std::function<void()> handler) {
  impl_->CheckUiThread("SetActivateHandler");
  impl_->on_activate = std::move(handler);
}

// --- Panes ---

void Win32MainWindow::Navigate(Pane pane, const std::string& url) {
  impl_->CheckUiThread("Navigate");
  if (impl_->in_before_navigate > 0) {
    // A pane may fire its before-navigate handler inside Navigate: never re-enter it.
    Post([this, pane, url] { Navigate(pane, url); });
    return;
  }
  impl_->panes[PaneIndex(pane)]->Navigate(url);
}

std::string Win32MainWindow::Location(Pane pane) const {
  impl_->CheckUiThread("Location");
  return impl_->panes[PaneIndex(pane)]->Location();
}

void Win32MainWindow::RunScript(Pane pane, const std::string& code) {
  impl_->CheckUiThread("RunScript");
  std::string name = PaneName(pane);
  try {
    impl_->panes[PaneIndex(pane)]->RunScript(code);
  } catch (const ScriptError&) {
    impl_->Emit("script[" + name + "] failed: " + code);
    throw;
  }
  impl_->Emit("script[" + name + "]: " + code);
}

void Win32MainWindow::SetBeforeNavigateHandler(
    Pane pane, std::function<void(const std::string&, bool&)> handler) {
  impl_->CheckUiThread("SetBeforeNavigateHandler");
  impl_->before_navigate[PaneIndex(pane)] = std::move(handler);
}

}  // namespace pmr::ui::win32
