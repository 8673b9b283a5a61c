#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "ui/headless/stdin_reader.h"

namespace pmr::ui::headless {

// The thread waits on standard input and on a pipe that the destructor writes to.
struct StdinReader::Impl {
  LineSplitter splitter;
  std::function<void(const std::string&)> on_error;
  int stop_read = -1;
  int stop_write = -1;
  std::thread thread;

  Impl(std::function<void(std::string)> on_line, std::function<void(const std::string&)> err)
      : splitter(std::move(on_line), err), on_error(std::move(err)) {}

  void Loop() {
    char buffer[4096];
    for (;;) {
      pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {stop_read, POLLIN, 0}};
      int n = ::poll(fds, 2, -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        on_error(std::string("standard input: ") + std::strerror(errno));
        return;
      }
      if (fds[1].revents != 0) return;
      if (fds[0].revents & POLLNVAL) return;  // no standard input at all
      ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        on_error(std::string("standard input: ") + std::strerror(errno));
        return;
      }
      if (got == 0) {
        splitter.Finish();
        return;
      }
      splitter.Feed(std::string_view(buffer, static_cast<std::size_t>(got)));
    }
  }
};

StdinReader::StdinReader(std::function<void(std::string)> on_line,
                         std::function<void(const std::string&)> on_error)
    : impl_(std::make_unique<Impl>(std::move(on_line), std::move(on_error))) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    impl_->on_error(std::string("cannot read standard input: ") + std::strerror(errno));
    return;
  }
  impl_->stop_read = fds[0];
  impl_->stop_write = fds[1];
  impl_->thread = std::thread([impl = impl_.get()] { impl->Loop(); });
}

StdinReader::~StdinReader() {
  if (impl_->thread.joinable()) {
    char byte = 0;
    while (::write(impl_->stop_write, &byte, 1) < 0 && errno == EINTR) {
    }
    impl_->thread.join();
  }
  if (impl_->stop_read >= 0) ::close(impl_->stop_read);
  if (impl_->stop_write >= 0) ::close(impl_->stop_write);
}

}  // namespace pmr::ui::headless
