#include <windows.h>

#include <future>
#include <string>
#include <thread>

#include "app/single_instance.h"

namespace pmr::app {
namespace {

constexpr const char* kMutexName = "kvtxlt";
constexpr const char* kMessageName = "kvtxltrunning";
constexpr const char* kWindowClass = "pmrface.SingleInstance";

}  // namespace

struct SingleInstance::Impl {
  UINT message = 0;  // the same number in every process of the desktop
  HANDLE mutex = nullptr;
  bool already_running = false;
  std::string problem;
  HWND window = nullptr;  // hidden top-level window: broadcasts reach only those
  // The window lives on a thread of its own, so that wake-ups arrive whatever loop the UI
  // backend runs; they reach the app only through `post`.
  std::thread pump;
  Poster post;
  std::function<void()> on_wake;

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    if (msg == WM_NCCREATE) {
      auto* create = reinterpret_cast<CREATESTRUCTA*>(lparam);
      ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<Impl*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (self != nullptr && self->message != 0 && msg == self->message) {
      try {
        if (self->post && self->on_wake) self->post(self->on_wake);
      } catch (...) {
        // Nothing may leave a window procedure.
      }
      return 0;
    }
    if (msg == WM_DESTROY) ::PostQuitMessage(0);
    return ::DefWindowProcA(hwnd, msg, wparam, lparam);
  }
};

std::filesystem::path SingleInstance::DefaultFolder() { return {}; }

SingleInstance::SingleInstance(std::filesystem::path /*folder*/) : impl_(std::make_unique<Impl>()) {
  Impl& s = *impl_;
  s.message = ::RegisterWindowMessageA(kMessageName);
  s.mutex = ::CreateMutexA(nullptr, TRUE, kMutexName);
  DWORD error = ::GetLastError();  // read at once: any other call may change it
  if (error == ERROR_ALREADY_EXISTS) {
    s.already_running = true;  // the handle is valid but not owned
  } else if (s.mutex == nullptr) {
    s.problem = "cannot create the instance mutex: error " + std::to_string(error);
  }
}

SingleInstance::~SingleInstance() {
  Impl& s = *impl_;
  if (s.pump.joinable()) {
    if (s.window != nullptr) ::PostMessageA(s.window, WM_CLOSE, 0, 0);
    s.pump.join();
  }
  if (s.mutex != nullptr) {
    if (!s.already_running) ::ReleaseMutex(s.mutex);
    ::CloseHandle(s.mutex);
  }
}

bool SingleInstance::AlreadyRunning() const { return impl_->already_running; }

const std::string& SingleInstance::problem() const { return impl_->problem; }

bool SingleInstance::WakeFirst() {
  Impl& s = *impl_;
  if (!s.already_running || s.message == 0) return false;
  return ::PostMessageA(HWND_BROADCAST, s.message, 0, 0) != 0;
}

void SingleInstance::Listen(Poster post, std::function<void()> on_wake) {
  Impl& s = *impl_;
  if (s.already_running || s.window != nullptr || s.message == 0 || !post || !on_wake) return;
  s.post = std::move(post);
  s.on_wake = std::move(on_wake);
  std::promise<std::string> started;
  std::future<std::string> result = started.get_future();
  s.pump = std::thread([&s, &started] {
    HINSTANCE instance = ::GetModuleHandleA(nullptr);
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = &Impl::WindowProc;
    window_class.hInstance = instance;
    window_class.lpszClassName = kWindowClass;
    if (::RegisterClassA(&window_class) == 0) {
      DWORD error = ::GetLastError();
      if (error != ERROR_CLASS_ALREADY_EXISTS) {
        started.set_value("cannot register the wake-up window: error " + std::to_string(error));
        return;
      }
    }
    // A pop-up that is never shown: a top-level window, unlike a message-only one.
    HWND window = ::CreateWindowExA(WS_EX_TOOLWINDOW, kWindowClass, "", WS_POPUP, 0, 0, 0, 0,
                                    nullptr, nullptr, instance, &s);
    if (window == nullptr) {
      started.set_value("cannot create the wake-up window: error " +
                        std::to_string(::GetLastError()));
      return;
    }
    s.window = window;
    started.set_value({});
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) ::DispatchMessageA(&msg);
  });
  s.problem = result.get();
}

}  // namespace pmr::app
