// The headless loop as the threads of the bridge use it: timers armed from connection threads,
// closures posted from several threads, synchronous reads, and the end of the loop.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ui/headless/headless_window.h"
#include "ui/headless/test_support.h"

namespace pmr::ui::headless {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class EventLoopTest : public ::testing::Test {
 protected:
  testing::Output output_;
  HeadlessWindow window_{{.output = output_.Sink()}};
};

TEST_F(EventLoopTest, TimerArmedFromAnotherThreadTicksOnceOnTheUiThread) {
  std::thread::id tick_thread;
  int ticks = 0;
  bool armed_in_tick = true;
  Timer* timer = nullptr;
  timer = &window_.CreateTimer(20ms, [&] {
    ++ticks;
    tick_thread = std::this_thread::get_id();
    armed_in_tick = timer->Armed();
    // Give a second tick the chance to show up if the timer were periodic.
    window_.CreateTimer(100ms, [&] { window_.Quit(); }).Arm();
  });
  EXPECT_FALSE(timer->Armed());
  std::thread arming([&] { timer->Arm(); });
  testing::Watchdog watchdog(window_);
  window_.Run();
  arming.join();
  EXPECT_EQ(ticks, 1);
  EXPECT_EQ(tick_thread, std::this_thread::get_id());
  EXPECT_FALSE(armed_in_tick) << "a tick disarms its timer before it runs";
}

TEST_F(EventLoopTest, ArmingAnArmedTimerDoesNotRestartIt) {
  // Re-arming every few milliseconds would hold a restarting timer off for good.
  std::atomic<int> ticks{0};
  Timer& timer = window_.CreateTimer(150ms, [&] { ++ticks; });
  std::atomic<bool> stop{false};
  std::thread arming([&] {
    auto until = Clock::now() + 1000ms;
    while (Clock::now() < until && ticks < 2) {
      timer.Arm();
      std::this_thread::sleep_for(5ms);
    }
    window_.Post([&] { window_.Quit(); });
  });
  testing::Watchdog watchdog(window_);
  window_.Run();
  arming.join();
  EXPECT_GE(ticks.load(), 2);
}

TEST_F(EventLoopTest, DisarmAndIntervalChangeTakeEffect) {
  std::vector<std::string> order;
  Timer& cancelled = window_.CreateTimer(30ms, [&] { order.push_back("cancelled"); });
  Timer& slow = window_.CreateTimer(1ms, [&] { order.push_back("slow"); });
  Timer& kept = window_.CreateTimer(1000ms, [&] { order.push_back("kept"); });
  Timer& rearmed = window_.CreateTimer(1000ms, [&] { order.push_back("rearmed"); });
  Timer& end = window_.CreateTimer(250ms, [&] { window_.Quit(); });
  cancelled.Arm();
  cancelled.Disarm();
  slow.SetInterval(150ms);
  slow.Arm();
  kept.Arm();
  kept.SetInterval(1ms);  // an armed timer keeps its deadline
  rearmed.Arm();
  rearmed.SetInterval(1ms);
  rearmed.Disarm();
  rearmed.Arm();
  end.Arm();
  testing::Watchdog watchdog(window_);
  window_.Run();
  EXPECT_EQ(order, (std::vector<std::string>{"rearmed", "slow"}));
}

TEST_F(EventLoopTest, PostsRunInOrderPerThreadAndAllRun) {
  constexpr int kPerThread = 2000;
  std::vector<int> seen[2];
  std::thread posters[2];
  for (int t = 0; t < 2; ++t) {
    posters[t] = std::thread([&, t] {
      for (int i = 0; i < kPerThread; ++i) window_.Post([&, t, i] { seen[t].push_back(i); });
    });
  }
  std::thread closer([&] {
    for (auto& p : posters) p.join();
    window_.Post([&] { window_.Quit(); });  // after every other post
  });
  testing::Watchdog watchdog(window_);
  window_.Run();
  closer.join();
  for (int t = 0; t < 2; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<std::size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(seen[t][i], i);
  }
}

TEST_F(EventLoopTest, PostsBeforeRunWaitAndPostsAfterTheEndAreDropped) {
  std::vector<int> ran;
  window_.Post([&] { ran.push_back(1); });
  window_.Post([&] {
    ran.push_back(2);
    window_.Quit();
    window_.Post([&] { ran.push_back(99); });  // the loop is ending
  });
  window_.Post([&] { ran.push_back(3); });  // queued, dropped by the Quit
  testing::Watchdog watchdog(window_);
  window_.Run();

  auto token = std::make_shared<int>(0);
  window_.Post([token, &ran] { ran.push_back(100); });
  EXPECT_EQ(token.use_count(), 1) << "a dropped closure is released at once";
  window_.Run();  // runs once only
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

TEST_F(EventLoopTest, InvokeGivesTheValueFromAnotherThreadAndRunsInlineOnTheUiThread) {
  window_.Navigate(Pane::kMain, "http://127.0.0.1/club/index_jdq_s.html");
  // Before Run, on the UI thread: inline.
  EXPECT_EQ(window_.Invoke([&] { return window_.Location(Pane::kMain); }),
            "http://127.0.0.1/club/index_jdq_s.html");

  std::optional<std::string> from_thread;
  std::thread::id ran_on;
  bool rethrown = false;
  std::thread connection([&] {
    from_thread = window_.Invoke([&] {
      ran_on = std::this_thread::get_id();
      return window_.Location(Pane::kMain);
    });
    try {
      window_.Invoke([]() -> int { throw Error("boom"); });
    } catch (const Error& e) {
      rethrown = std::string(e.what()) == "boom";
    }
    window_.Post([&] { window_.Quit(); });
  });
  testing::Watchdog watchdog(window_);
  window_.Run();
  connection.join();
  EXPECT_EQ(from_thread, "http://127.0.0.1/club/index_jdq_s.html");
  EXPECT_EQ(ran_on, std::this_thread::get_id());
  EXPECT_TRUE(rethrown);
}

TEST_F(EventLoopTest, InvokeReturnsEmptyOnceTheLoopEndsEvenWhileWaiting) {
  std::atomic<bool> busy{false};
  std::optional<int> waited = 0;
  std::thread connection;
  window_.Post([&] {
    busy = true;
    // Hold the loop until the connection thread waits in Invoke, then end it.
    connection = std::thread([&] { waited = window_.Invoke([] { return 7; }); });
    std::this_thread::sleep_for(100ms);
    window_.Quit();
  });
  testing::Watchdog watchdog(window_);
  window_.Run();
  connection.join();
  EXPECT_TRUE(busy);
  EXPECT_EQ(waited, std::nullopt);

  // After the end: empty at once, from any thread.
  auto started = Clock::now();
  std::optional<int> late = 0;
  std::thread after([&] { late = window_.Invoke([] { return 8; }); });
  after.join();
  EXPECT_EQ(late, std::nullopt);
  EXPECT_LT(Clock::now() - started, 1s);
}

TEST_F(EventLoopTest, ExceptionsFromCallbacksAreReportedAndTheLoopGoesOn) {
  int after = 0;
  window_.Post([] { throw ScriptError("the left pane has no document"); });
  window_.CreateTimer(1ms, [] { throw std::runtime_error("tick failed"); }).Arm();
  window_
      .CreateTimer(50ms,
                   [&] {
                     ++after;
                     window_.Quit();
                   })
      .Arm();
  testing::Watchdog watchdog(window_);
  window_.Run();
  EXPECT_EQ(after, 1);
  EXPECT_TRUE(output_.Has("error: the left pane has no document"));
  EXPECT_TRUE(output_.Has("error: tick failed"));
}

TEST_F(EventLoopTest, UiOperationsRefuseOtherThreads) {
  std::string error;
  std::thread other([&] {
    try {
      window_.AppendLog("from a connection thread");
    } catch (const Error& e) {
      error = e.what();
    }
  });
  other.join();
  EXPECT_EQ(error, "ui: AppendLog called off the UI thread");
  EXPECT_EQ(window_.LogLines(), std::vector<std::string>{"Memo1"});
}

}  // namespace
}  // namespace pmr::ui::headless
