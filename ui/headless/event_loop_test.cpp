// The headless loop: the window contract every backend keeps, and the error lines it writes.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include "ui/headless/headless_window.h"
#include "ui/headless/test_support.h"
#include "ui/testing/window_contract.h"

namespace pmr::ui::headless {
namespace {

using namespace std::chrono_literals;

struct HeadlessBackend {
  static std::string Unavailable() { return ""; }
  static std::unique_ptr<MainWindow> Make() {
    return std::make_unique<HeadlessWindow>(HeadlessOptions{.output = [](const std::string&) {}});
  }
};

TEST(EventLoopTest, ExceptionsFromCallbacksAreReportedAndTheLoopGoesOn) {
  testing::Output output;
  HeadlessWindow window({.output = output.Sink()});
  int after = 0;
  window.Post([] { throw ScriptError("the left pane has no document"); });
  window.CreateTimer(1ms, [] { throw std::runtime_error("tick failed"); }).Arm();
  window
      .CreateTimer(50ms,
                   [&] {
                     ++after;
                     window.Quit();
                   })
      .Arm();
  testing::Watchdog watchdog(window);
  window.Run();
  EXPECT_EQ(after, 1);
  EXPECT_TRUE(output.Has("error: the left pane has no document"));
  EXPECT_TRUE(output.Has("error: tick failed"));
}

}  // namespace
}  // namespace pmr::ui::headless

namespace pmr::ui::testing {
INSTANTIATE_TYPED_TEST_SUITE_P(Headless, WindowContract, headless::HeadlessBackend);
}  // namespace pmr::ui::testing
