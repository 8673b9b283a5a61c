#pragma once

// What every MainWindow backend must do the same, written once: the loop's closures and
// their order, Invoke and the loop's end, timers, and the UI thread's own operations.
// A backend's test instantiates it with a type that makes its window:
//
//   struct MyBackend {
//     static std::string Unavailable();            // why it cannot run here; empty: it can
//     static std::unique_ptr<MainWindow> Make();   // on the thread that runs the test
//   };
//   INSTANTIATE_TYPED_TEST_SUITE_P(My, WindowContract, MyBackend);

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "ui/testing/watchdog.h"
#include "ui/window.h"

namespace pmr::ui::testing {

template <typename Backend>
class WindowContract : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string why = Backend::Unavailable(); !why.empty()) GTEST_SKIP() << why;
    window_ = Backend::Make();
  }

  // Waits (off the UI thread) until `done`, at most `limit`.
  template <typename F>
  static bool WaitUntil(F done, std::chrono::seconds limit = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  std::unique_ptr<MainWindow> window_;
};

TYPED_TEST_SUITE_P(WindowContract);

TYPED_TEST_P(WindowContract, PostsRunInOrderFromEveryThreadUntilTheLoopEnds) {
  MainWindow& window = *this->window_;
  constexpr int kPerThread = 500;
  std::vector<int> seen[2];
  std::vector<int> ui_side;
  // Before Run: they wait for it. The failing one is reported and the loop goes on.
  window.Post([&] { ui_side.push_back(1); });
  window.Post([] { throw std::runtime_error("a failing closure"); });
  window.Post([&] { ui_side.push_back(2); });
  std::thread posters[2];
  for (int t = 0; t < 2; ++t) {
    posters[t] = std::thread([&, t] {
      for (int i = 0; i < kPerThread; ++i) window.Post([&, t, i] { seen[t].push_back(i); });
    });
  }
  std::thread closer([&] {
    for (auto& poster : posters) poster.join();
    window.Post([&] {  // after every other post
      ui_side.push_back(3);
      window.Quit();
      window.Post([&] { ui_side.push_back(98); });  // the loop is ending
    });
    window.Post([&] { ui_side.push_back(99); });  // queued, dropped by the Quit
  });
  {
    Watchdog watchdog(window);
    window.Run();
  }
  closer.join();
  EXPECT_EQ(ui_side, (std::vector<int>{1, 2, 3}));
  for (int t = 0; t < 2; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<std::size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(seen[t][i], i);
  }

  // Ended: a post is released at once, unrun, and the loop does not start again.
  auto token = std::make_shared<int>(0);
  window.Post([token] { ++*token; });
  EXPECT_EQ(token.use_count(), 1);
  window.Run();
  EXPECT_EQ(*token, 0);

  // A window that goes with closures still queued releases them unrun.
  this->window_.reset();
  auto doomed = TypeParam::Make();
  doomed->Post([token] { ++*token; });
  EXPECT_EQ(token.use_count(), 2);
  doomed.reset();
  EXPECT_EQ(token.use_count(), 1);
  EXPECT_EQ(*token, 0);
}

TYPED_TEST_P(WindowContract, InvokeRunsOnTheUiThreadAndGivesItsValueOrItsException) {
  MainWindow& window = *this->window_;
  const std::thread::id ui_thread = std::this_thread::get_id();
  EXPECT_TRUE(window.OnUiThread());
  EXPECT_EQ(window.Invoke([] { return 7; }), 7);  // before Run, on the UI thread: inline

  std::vector<std::string> order;
  std::optional<int> value, inline_value;
  std::thread::id ran_on;
  bool caller_on_ui = true;
  std::string rethrown;
  std::thread caller([&] {
    caller_on_ui = window.OnUiThread();
    window.Post([&] {
      order.push_back("posted");
      // Inside the loop on the UI thread too; queued, it would wait for itself.
      inline_value = window.Invoke([] { return 5; });
    });
    value = window.Invoke([&] {
      order.push_back("invoked");
      ran_on = std::this_thread::get_id();
      return 42;
    });
    try {
      window.Invoke([]() -> int { throw Error("boom"); });
    } catch (const Error& e) {
      rethrown = e.what();
    }
    window.Post([&] { window.Quit(); });
  });
  {
    Watchdog watchdog(window);
    window.Run();
  }
  caller.join();
  EXPECT_FALSE(caller_on_ui);
  EXPECT_EQ(order, (std::vector<std::string>{"posted", "invoked"}));
  EXPECT_EQ(value, 42);
  EXPECT_EQ(ran_on, ui_thread);
  EXPECT_EQ(inline_value, 5);
  EXPECT_EQ(rethrown, "boom");
}

TYPED_TEST_P(WindowContract, InvokeGivesNothingWhenTheLoopEndsWhileItWaitsAndAfter) {
  MainWindow& window = *this->window_;
  std::atomic<bool> calling{false};
  std::atomic<bool> call_ran{false};
  std::atomic<bool> returned{false};
  bool returned_at_quit = false;
  std::optional<int> waited = 0;
  std::thread caller;
  window.Post([&] {
    // Holds the loop while the call waits behind this closure, then ends the loop.
    caller = std::thread([&] {
      calling = true;
      waited = window.Invoke([&] {
        call_ran = true;
        return 7;
      });
      returned = true;
    });
    TestFixture::WaitUntil([&] { return calling.load(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    window.Quit();
    // The waiting caller has its answer at the Quit, before this closure and the loop end.
    returned_at_quit = TestFixture::WaitUntil([&] { return returned.load(); });
  });
  {
    Watchdog watchdog(window);
    window.Run();
  }
  caller.join();
  EXPECT_TRUE(returned_at_quit);
  EXPECT_EQ(waited, std::nullopt);
  EXPECT_FALSE(call_ran);

  // After the end: empty at once.
  auto started = std::chrono::steady_clock::now();
  std::optional<int> late = 0;
  std::thread([&] { late = window.Invoke([] { return 8; }); }).join();
  EXPECT_EQ(late, std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
}

TYPED_TEST_P(WindowContract, TimersTickOnceOnTheUiThreadPerArming) {
  using std::chrono::milliseconds;
  MainWindow& window = *this->window_;
  std::atomic<int> once{0}, rearming{0}, restarted{0}, reset{0}, after_failure{0};
  std::atomic<bool> tick_on_ui{true}, armed_in_tick{false}, stray{false};
  Timer* own = nullptr;
  Timer& single = window.CreateTimer(milliseconds(20), [&] {
    ++once;
    tick_on_ui = window.OnUiThread();
  });
  own = &window.CreateTimer(milliseconds(20), [&] {
    if (own->Armed()) armed_in_tick = true;  // a tick disarms first
    if (++rearming < 3) own->Arm();          // again from its own tick
  });
  Timer& steady = window.CreateTimer(milliseconds(100), [&] { ++restarted; });
  Timer& failing = window.CreateTimer(milliseconds(1), [] { throw std::runtime_error("tick"); });
  Timer& after = window.CreateTimer(milliseconds(30), [&] { ++after_failure; });
  Timer& disarmed = window.CreateTimer(milliseconds(50), [&] { stray = true; });
  Timer& disarmed_off_ui = window.CreateTimer(milliseconds(150), [&] { stray = true; });
  Timer& kept = window.CreateTimer(milliseconds(60000), [&] { stray = true; });
  Timer& rearmed = window.CreateTimer(milliseconds(60000), [&] { ++reset; });

  EXPECT_FALSE(single.Armed());
  own->Arm();
  failing.Arm();
  after.Arm();
  disarmed.Arm();
  disarmed.Disarm();
  EXPECT_FALSE(disarmed.Armed());
  disarmed_off_ui.Arm();
  std::thread([&] { disarmed_off_ui.Disarm(); }).join();
  kept.Arm();
  kept.SetInterval(milliseconds(1));  // an armed timer keeps its deadline
  rearmed.Arm();
  rearmed.SetInterval(milliseconds(1));
  rearmed.Disarm();
  rearmed.Arm();  // the new interval applies from this arming
  std::thread other([&] {
    single.Arm();
    single.Arm();  // armed already: one tick
    EXPECT_TRUE(single.Armed());
    // Arming an armed timer does not restart it, or this would hold it off for good.
    TestFixture::WaitUntil([&] {
      steady.Arm();
      std::this_thread::sleep_for(milliseconds(5));
      return restarted >= 2;
    });
    TestFixture::WaitUntil([&] { return once + rearming + reset + after_failure >= 6 || stray; });
    std::this_thread::sleep_for(milliseconds(300));  // room for a tick too many
    window.Post([&] { window.Quit(); });
  });
  {
    Watchdog watchdog(window, std::chrono::seconds(20));
    window.Run();
  }
  other.join();
  EXPECT_EQ(once, 1);
  EXPECT_TRUE(tick_on_ui);
  EXPECT_FALSE(single.Armed());
  EXPECT_EQ(rearming, 3);
  EXPECT_FALSE(armed_in_tick);
  EXPECT_GE(restarted, 2);
  EXPECT_EQ(reset, 1);
  EXPECT_EQ(after_failure, 1) << "the loop goes on after a tick that threw";
  EXPECT_FALSE(stray) << "a disarmed timer, or one whose interval changed later, ticked";
  EXPECT_TRUE(kept.Armed());
}

TYPED_TEST_P(WindowContract, StatusAndMemoBelongToTheUiThread) {
  MainWindow& window = *this->window_;
  window.SetStatus(2, "3张图片已上传...");
  EXPECT_EQ(window.Status(2), "3张图片已上传...");
  EXPECT_EQ(window.Status(0), "");
  EXPECT_THROW(window.SetStatus(kStatusPanelCount, "x"), Error);
  EXPECT_THROW(window.Status(-1), Error);
  EXPECT_EQ(window.LogLines(), std::vector<std::string>{"Memo1"});
  window.AppendLog("a\r\nb");
  EXPECT_EQ(window.LogLines(), (std::vector<std::string>{"Memo1", "a", "b"}));

  std::string refused;
  std::thread([&] {
    try {
      window.AppendLog("from a connection thread");
    } catch (const Error& e) {
      refused = e.what();
    }
  }).join();
  EXPECT_EQ(refused, "ui: AppendLog called off the UI thread");
  EXPECT_EQ(window.LogLines().size(), 3u);
}

REGISTER_TYPED_TEST_SUITE_P(WindowContract, PostsRunInOrderFromEveryThreadUntilTheLoopEnds,
                            InvokeRunsOnTheUiThreadAndGivesItsValueOrItsException,
                            InvokeGivesNothingWhenTheLoopEndsWhileItWaitsAndAfter,
                            TimersTickOnceOnTheUiThreadPerArming, StatusAndMemoBelongToTheUiThread);

}  // namespace pmr::ui::testing
