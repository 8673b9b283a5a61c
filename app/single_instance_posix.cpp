#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "app/single_instance.h"

namespace pmr::app {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kLockName = "kvtxlt";
constexpr const char* kSocketName = "kvtxltrunning";
constexpr std::string_view kWakeMessage = "kvtxltrunning\n";
// A second start may come while the first holds the lock but does not listen yet.
constexpr auto kConnectPatience = std::chrono::seconds(2);
// How long a connected peer may take to say what it wants.
constexpr auto kReadPatience = std::chrono::seconds(1);

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// Opens `folder` as a folder that only this user can reach, or gives -1 and the reason.
int OpenPrivateFolder(const fs::path& folder, bool create, std::string& why) {
  if (create && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    why = ErrnoText("cannot create " + folder.string());
    return -1;
  }
  // No links: the folder itself must be ours, not something it points at.
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    why = ErrnoText("cannot open the folder " + folder.string());
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    why = ErrnoText("cannot examine " + folder.string());
  } else if (st.st_uid != ::geteuid()) {
    why = folder.string() + " belongs to another user";
  } else if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0) {
    why = ErrnoText("cannot make " + folder.string() + " private");
  } else {
    return fd;
  }
  ::close(fd);
  return -1;
}

bool FillAddress(const fs::path& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  return true;
}

fs::path FallbackFolder() { return "/tmp/pmrface-" + std::to_string(::getuid()); }

int MillisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

struct SingleInstance::Impl {
  fs::path folder;
  int folder_fd = -1;
  int lock_fd = -1;
  int listen_fd = -1;
  int stop_read = -1;
  int stop_write = -1;
  bool already_running = false;
  std::string problem;
  std::thread listener;
  Poster post;
  std::function<void()> on_wake;

  fs::path SocketPath() const { return folder / kSocketName; }

  void TakeLock() {
    lock_fd = ::openat(folder_fd, kLockName, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock_fd < 0) {
      problem = ErrnoText("cannot open the instance lock in " + folder.string());
      return;
    }
    int rc;
    do {
      rc = ::flock(lock_fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return;
    if (errno == EWOULDBLOCK) {
      already_running = true;
    } else {
      problem = ErrnoText("cannot take the instance lock in " + folder.string());
    }
    ::close(lock_fd);
    lock_fd = -1;
  }

  // Only the lock holder gets here, so a socket file left by a crashed holder is stale.
  void OpenEndpoint() {
    sockaddr_un address;
    if (!FillAddress(SocketPath(), address)) {
      problem = "the folder path is too long for a socket: " + folder.string();
      return;
    }
    if (::unlinkat(folder_fd, kSocketName, 0) != 0 && errno != ENOENT) {
      problem = ErrnoText("cannot remove the old " + SocketPath().string());
      return;
    }
    listen_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd < 0) {
      problem = ErrnoText("cannot make the wake-up socket");
      return;
    }
    if (::bind(listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_fd, 16) != 0) {
      problem = ErrnoText("cannot listen on " + SocketPath().string());
      ::close(listen_fd);
      listen_fd = -1;
    }
  }

  void Loop() {
    for (;;) {
      pollfd fds[2] = {{listen_fd, POLLIN, 0}, {stop_read, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      if ((fds[0].revents & POLLIN) == 0) continue;
      int conn = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (conn < 0) continue;
      bool wake = IsWakeUp(conn);
      ::close(conn);
      if (wake) {
        try {
          post(on_wake);
        } catch (...) {
          // The loop may have ended; the wake-up has nobody to reach.
        }
      }
    }
  }

  // A wake-up comes from this user and says exactly the message; anything else is ignored.
  bool IsWakeUp(int conn) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(conn, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::geteuid()) {
      return false;
    }
    std::string got;
    auto deadline = Clock::now() + kReadPatience;
    while (got.size() <= kWakeMessage.size() && got.find('\n') == std::string::npos) {
      pollfd fds[2] = {{conn, POLLIN, 0}, {stop_read, POLLIN, 0}};
      int n = ::poll(fds, 2, MillisLeft(deadline));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || fds[1].revents != 0) return false;
      char buffer[64];
      ssize_t r = ::read(conn, buffer, sizeof buffer);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      got.append(buffer, static_cast<std::size_t>(r));
    }
    return got == kWakeMessage;
  }
};

fs::path SingleInstance::DefaultFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return runtime;
  return FallbackFolder();
}

SingleInstance::SingleInstance(fs::path folder) : impl_(std::make_unique<Impl>()) {
  Impl& s = *impl_;
  if (!folder.empty()) {
    s.folder = std::move(folder);
    s.folder_fd = OpenPrivateFolder(s.folder, true, s.problem);
  } else {
    s.folder = DefaultFolder();
    // The runtime folder exists already and is not ours to create.
    bool fallback = s.folder == FallbackFolder();
    s.folder_fd = OpenPrivateFolder(s.folder, fallback, s.problem);
    if (s.folder_fd < 0 && !fallback) {
      s.folder = FallbackFolder();
      s.problem.clear();
      s.folder_fd = OpenPrivateFolder(s.folder, true, s.problem);
    }
  }
  if (s.folder_fd < 0) return;  // runs as the first instance, alone
  s.TakeLock();
  if (s.lock_fd >= 0) s.OpenEndpoint();
}

SingleInstance::~SingleInstance() {
  Impl& s = *impl_;
  if (s.listener.joinable()) {
    char byte = 0;
    while (::write(s.stop_write, &byte, 1) < 0 && errno == EINTR) {
    }
    s.listener.join();
  }
  if (s.stop_read >= 0) ::close(s.stop_read);
  if (s.stop_write >= 0) ::close(s.stop_write);
  if (s.listen_fd >= 0) {
    ::close(s.listen_fd);
    ::unlinkat(s.folder_fd, kSocketName, 0);  // before the lock goes: it is still ours
  }
  if (s.lock_fd >= 0) ::close(s.lock_fd);
  if (s.folder_fd >= 0) ::close(s.folder_fd);
}

bool SingleInstance::AlreadyRunning() const { return impl_->already_running; }

const std::string& SingleInstance::problem() const { return impl_->problem; }

bool SingleInstance::WakeFirst() {
  Impl& s = *impl_;
  if (!s.already_running) return false;
  sockaddr_un address;
  if (!FillAddress(s.SocketPath(), address)) return false;
  auto deadline = Clock::now() + kConnectPatience;
  for (;;) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      ssize_t sent = ::send(fd, kWakeMessage.data(), kWakeMessage.size(), MSG_NOSIGNAL);
      ::close(fd);
      return sent == static_cast<ssize_t>(kWakeMessage.size());
    }
    int error = errno;
    ::close(fd);
    if ((error != ENOENT && error != ECONNREFUSED && error != EINTR && error != EAGAIN) ||
        Clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void SingleInstance::Listen(Poster post, std::function<void()> on_wake) {
  Impl& s = *impl_;
  if (s.listen_fd < 0 || s.listener.joinable() || !post || !on_wake) return;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    s.problem = ErrnoText("cannot take wake-ups");
    return;
  }
  s.stop_read = fds[0];
  s.stop_write = fds[1];
  s.post = std::move(post);
  s.on_wake = std::move(on_wake);
  s.listener = std::thread([&s] { s.Loop(); });
}

}  // namespace pmr::app
