#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // CancelSynchronousIo
#endif
#include <windows.h>

#include <mutex>

#include "ui/headless/stdin_reader.h"

namespace pmr::ui::headless {
namespace {

// Shared with the reading thread, which may outlive the reader when a console read cannot be
// cancelled; `stopped` then keeps it from calling back into a destroyed owner.
struct State {
  std::mutex mutex;
  bool stopped = false;
  LineSplitter splitter;
  std::function<void(const std::string&)> on_error;

  State(std::function<void(std::string)> on_line, std::function<void(const std::string&)> err)
      : splitter(std::move(on_line), err), on_error(std::move(err)) {}

  void Loop() {
    HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    if (in == nullptr || in == INVALID_HANDLE_VALUE) return;
    char buffer[4096];
    for (;;) {
      DWORD got = 0;
      BOOL ok = ::ReadFile(in, buffer, sizeof buffer, &got, nullptr);
      DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
      std::lock_guard lock(mutex);
      if (stopped) return;
      if (!ok) {
        if (error == ERROR_OPERATION_ABORTED) continue;
        if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) {
          splitter.Finish();
        } else {
          on_error("standard input: error " + std::to_string(error));
        }
        return;
      }
      if (got == 0) {
        splitter.Finish();
        return;
      }
      splitter.Feed(std::string_view(buffer, got));
    }
  }
};

DWORD WINAPI ReaderMain(LPVOID param) {
  auto* owned = static_cast<std::shared_ptr<State>*>(param);
  std::shared_ptr<State> state = std::move(*owned);
  delete owned;
  state->Loop();
  return 0;
}

}  // namespace

struct StdinReader::Impl {
  std::shared_ptr<State> state;
  HANDLE thread = nullptr;
};

StdinReader::StdinReader(std::function<void(std::string)> on_line,
                         std::function<void(const std::string&)> on_error)
    : impl_(std::make_unique<Impl>()) {
  impl_->state = std::make_shared<State>(std::move(on_line), std::move(on_error));
  auto* param = new std::shared_ptr<State>(impl_->state);
  impl_->thread = ::CreateThread(nullptr, 0, ReaderMain, param, 0, nullptr);
  if (impl_->thread == nullptr) {
    delete param;
    impl_->state->on_error("cannot read standard input: error " + std::to_string(::GetLastError()));
  }
}

StdinReader::~StdinReader() {
  if (impl_->thread == nullptr) return;
  {
    std::lock_guard lock(impl_->state->mutex);
    impl_->state->stopped = true;
  }
  // Wake a blocked read; give up after a second and let the thread end on its own.
  for (int i = 0; i < 50; ++i) {
    ::CancelSynchronousIo(impl_->thread);
    if (::WaitForSingleObject(impl_->thread, 20) == WAIT_OBJECT_0) break;
  }
  ::CloseHandle(impl_->thread);
}

}  // namespace pmr::ui::headless
