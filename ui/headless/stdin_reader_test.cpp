// The reader of standard input with a real pipe as standard input (POSIX descriptors).

#ifndef _WIN32

#include "ui/headless/stdin_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "ui/headless/headless_window.h"
#include "ui/headless/test_support.h"

namespace pmr::ui::headless {
namespace {

using namespace std::chrono_literals;

// Standard input is a real pipe here; the end of input must not end the loop.
TEST(StdinCommandsTest, CommandsArriveFromStandardInputAndItsEndIsHarmless) {
  int saved = ::dup(STDIN_FILENO);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::dup2(fds[0], STDIN_FILENO), STDIN_FILENO);
  ::close(fds[0]);
  testing::Output output;
  {
    HeadlessWindow window({.output = output.Sink(), .read_stdin = true});
    int pings = 0;
    window.SetActivateHandler([&] { ++pings; });
    std::string input = "activate\r\nwhat\n" + std::string(LineSplitter::kMaxLine + 1, 'a') +
                        "\nactivate";  // the last line has no line end
    std::thread feeder([&] {
      ASSERT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
      ::close(fds[1]);
      // After the end of input the loop still runs commands given in-process.
      std::this_thread::sleep_for(50ms);
      window.Command("location main");
      ASSERT_TRUE(output.WaitFor("location[main]: ", 5s));
      window.Post([&] { window.Quit(); });
    });
    testing::Watchdog watchdog(window);
    window.Run();
    feeder.join();
    EXPECT_EQ(pings, 2);
  }
  ::dup2(saved, STDIN_FILENO);
  ::close(saved);
  EXPECT_TRUE(output.Has("error: unknown command: what"));
  EXPECT_TRUE(output.Has("error: command line longer than 65536 bytes ignored"));
}

TEST(StdinCommandsTest, TheReaderStopsWhileWaitingForInput) {
  int saved = ::dup(STDIN_FILENO);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::dup2(fds[0], STDIN_FILENO), STDIN_FILENO);
  ::close(fds[0]);
  auto started = std::chrono::steady_clock::now();
  {
    StdinReader reader([](std::string) {}, [](const std::string&) {});
    std::this_thread::sleep_for(20ms);
  }  // the writing end is still open: the reader is blocked until told to stop
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  ::close(fds[1]);
  ::dup2(saved, STDIN_FILENO);
  ::close(saved);
}

}  // namespace
}  // namespace pmr::ui::headless

#endif  // _WIN32
