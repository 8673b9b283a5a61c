// Single instance on POSIX: the lock, the wake-up socket and their clean-up, between objects of
// one process and between real processes.

#ifndef _WIN32

#include "app/single_instance.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>

namespace pmr::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Stands in for the UI thread's queue: wake-ups must arrive as posted closures, and they run
// only when the test (the "UI thread") takes them.
class UiQueue {
 public:
  SingleInstance::Poster Poster() {
    return [this](std::function<void()> fn) {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(fn));
      changed_.notify_all();
    };
  }
  // Runs the posted closures until `count` have run; false after the time-out.
  bool RunUntil(int count, std::chrono::milliseconds timeout = 5000ms) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (ran_ < count) {
      std::function<void()> fn;
      {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_until(lock, deadline, [this] { return !queue_.empty(); })) return false;
        fn = std::move(queue_.front());
        queue_.pop_front();
      }
      fn();
      ++ran_;
    }
    return true;
  }
  std::size_t Waiting() {
    std::lock_guard lock(mutex_);
    return queue_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> queue_;
  int ran_ = 0;
};

class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/pmr_si_XXXXXX";  // short: socket paths are limited
    ASSERT_NE(::mkdtemp(name), nullptr);
    folder_ = name;
  }
  void TearDown() override { fs::remove_all(folder_); }

  static bool Connectable(const fs::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
  }

  fs::path folder_;
  UiQueue ui_;
  int wakes_ = 0;
};

TEST_F(SingleInstanceTest, SecondInstanceWakesTheFirstThroughItsUiQueue) {
  SingleInstance first(folder_);
  ASSERT_FALSE(first.AlreadyRunning()) << first.problem();
  EXPECT_EQ(first.problem(), "");
  EXPECT_FALSE(first.WakeFirst());

  SingleInstance second(folder_);
  EXPECT_TRUE(second.AlreadyRunning());
  // Sent before the first listens: it waits, as a posted message waits in the queue.
  EXPECT_TRUE(second.WakeFirst());

  first.Listen(ui_.Poster(), [this] { ++wakes_; });
  ASSERT_TRUE(ui_.RunUntil(1));
  EXPECT_EQ(wakes_, 1);

  SingleInstance third(folder_);
  EXPECT_TRUE(third.AlreadyRunning());
  EXPECT_TRUE(third.WakeFirst());
  EXPECT_TRUE(third.WakeFirst());
  ASSERT_TRUE(ui_.RunUntil(3));
  EXPECT_EQ(wakes_, 3);
  struct stat st;
  ASSERT_EQ(::stat(folder_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(SingleInstanceTest, AnythingButTheWakeUpIsIgnored) {
  SingleInstance first(folder_);
  ASSERT_FALSE(first.AlreadyRunning());
  first.Listen(ui_.Poster(), [this] { ++wakes_; });
  auto send = [this](const std::string& bytes, bool wait_silent) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, (folder_ / "kvtxltrunning").c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
    if (wait_silent) std::this_thread::sleep_for(50ms);
    ::close(fd);
  };
  send("hello\n", false);
  send("kvtxltrunning", false);  // no line end
  send("kvtxltrunningkvtxltrunning\n", false);
  send("", true);  // connects and says nothing
  SingleInstance second(folder_);
  ASSERT_TRUE(second.WakeFirst());
  ASSERT_TRUE(ui_.RunUntil(1));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(ui_.Waiting(), 0u);
  EXPECT_EQ(wakes_, 1);
}

TEST_F(SingleInstanceTest, TheLockAndTheSocketGoWithTheFirstInstance) {
  {
    SingleInstance first(folder_);
    ASSERT_FALSE(first.AlreadyRunning());
    first.Listen(ui_.Poster(), [] {});
    EXPECT_TRUE(fs::exists(folder_ / "kvtxltrunning"));
  }
  EXPECT_FALSE(fs::exists(folder_ / "kvtxltrunning"));
  SingleInstance again(folder_);
  EXPECT_FALSE(again.AlreadyRunning()) << "the lock was released";
  again.Listen(ui_.Poster(), [this] { ++wakes_; });
  SingleInstance second(folder_);
  ASSERT_TRUE(second.WakeFirst());
  ASSERT_TRUE(ui_.RunUntil(1));
  EXPECT_EQ(wakes_, 1);
}

TEST_F(SingleInstanceTest, AStaleSocketFileDoesNotBlockANewFirstInstance) {
  // What a crashed first instance leaves: a socket file nobody listens on.
  {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, (folder_ / "kvtxltrunning").c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
  }
  ASSERT_FALSE(Connectable(folder_ / "kvtxltrunning"));
  SingleInstance first(folder_);
  ASSERT_FALSE(first.AlreadyRunning());
  EXPECT_EQ(first.problem(), "");
  EXPECT_TRUE(Connectable(folder_ / "kvtxltrunning"));
  first.Listen(ui_.Poster(), [this] { ++wakes_; });
  SingleInstance second(folder_);
  ASSERT_TRUE(second.WakeFirst());
  ASSERT_TRUE(ui_.RunUntil(1));
  EXPECT_EQ(wakes_, 1);
}

TEST_F(SingleInstanceTest, AFolderThatIsNotPrivatelyOursIsNotTrusted) {
  fs::path real = folder_ / "real";
  fs::create_directory(real);
  fs::path link = folder_ / "link";
  fs::create_directory_symlink(real, link);
  SingleInstance first(link);
  EXPECT_FALSE(first.AlreadyRunning());
  EXPECT_NE(first.problem(), "");
  EXPECT_FALSE(first.WakeFirst());
  EXPECT_FALSE(fs::exists(real / "kvtxlt"));

  if (::geteuid() == 0) {  // only root can hand a folder to someone else
    fs::path foreign = folder_ / "foreign";
    fs::create_directory(foreign);
    ASSERT_EQ(::chown(foreign.c_str(), 12345, 12345), 0);
    SingleInstance other(foreign);
    EXPECT_FALSE(other.AlreadyRunning());
    EXPECT_NE(other.problem().find("belongs to another user"), std::string::npos);
  }
}

TEST_F(SingleInstanceTest, DefaultFolderIsTheRuntimeFolderOrAPrivateOneInTmp) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  std::string saved_value = saved ? saved : "";
  std::string fallback = "/tmp/pmrface-" + std::to_string(::getuid());
  ::setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
  EXPECT_EQ(SingleInstance::DefaultFolder(), folder_);
  {
    SingleInstance first;
    EXPECT_FALSE(first.AlreadyRunning()) << first.problem();
    EXPECT_TRUE(fs::exists(folder_ / "kvtxlt"));
    SingleInstance second;
    EXPECT_TRUE(second.AlreadyRunning());
  }
  ::setenv("XDG_RUNTIME_DIR", "relative/run", 1);
  EXPECT_EQ(SingleInstance::DefaultFolder(), fallback);
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(SingleInstance::DefaultFolder(), fallback);
  if (saved) ::setenv("XDG_RUNTIME_DIR", saved_value.c_str(), 1);
}

// Waits for one byte on `fd`; false after the time-out.
bool ReadByte(int fd, char& byte, int timeout_ms = 5000) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeout_ms) == 1 && ::read(fd, &byte, 1) == 1;
}

int WaitExit(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(SingleInstanceTest, TwoProcessesSecondWakesFirstAndExitsZero) {
  SingleInstance first(folder_);  // made before the fork, while this process has one thread
  ASSERT_FALSE(first.AlreadyRunning());
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    SingleInstance second(folder_);
    bool ok = second.AlreadyRunning() && second.WakeFirst();
    ::_exit(ok ? 0 : 1);
  }
  first.Listen(ui_.Poster(), [this] { ++wakes_; });
  EXPECT_EQ(WaitExit(child), 0);
  ASSERT_TRUE(ui_.RunUntil(1));
  EXPECT_EQ(wakes_, 1);
}

TEST_F(SingleInstanceTest, AFirstProcessThatDiesLeavesNothingThatBlocksTheNextStart) {
  int ready[2], woken[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(woken), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The first instance; it dies without clean-up once it was woken.
    SingleInstance first(folder_);
    if (first.AlreadyRunning()) ::_exit(1);
    UiQueue ui;
    first.Listen(ui.Poster(), [&] { (void)!::write(woken[1], "w", 1); });
    (void)!::write(ready[1], "r", 1);
    ::_exit(ui.RunUntil(1) ? 0 : 2);
  }
  char byte;
  ASSERT_TRUE(ReadByte(ready[0], byte));
  {
    SingleInstance second(folder_);
    EXPECT_TRUE(second.AlreadyRunning());
    EXPECT_TRUE(second.WakeFirst());
  }
  EXPECT_TRUE(ReadByte(woken[0], byte));
  EXPECT_EQ(WaitExit(child), 0);
  EXPECT_TRUE(fs::exists(folder_ / "kvtxltrunning")) << "left behind by the dead process";

  SingleInstance next(folder_);
  EXPECT_FALSE(next.AlreadyRunning()) << "the kernel released the dead process's lock";
  next.Listen(ui_.Poster(), [this] { ++wakes_; });
  SingleInstance later(folder_);
  ASSERT_TRUE(later.WakeFirst());
  ASSERT_TRUE(ui_.RunUntil(1));
  EXPECT_EQ(wakes_, 1);
  for (int fd : {ready[0], ready[1], woken[0], woken[1]}) ::close(fd);
}

}  // namespace
}  // namespace pmr::app

#endif  // _WIN32
