#include "base/worker_set.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace pmr {
namespace {

using namespace std::chrono_literals;

TEST(WorkerSetTest, RunsAtOnceAndShutsDown) {
  WorkerSet set;
  std::atomic<int> done{0};
  std::atomic<bool> release{false};
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(set.Start([&] {
      while (!release) std::this_thread::sleep_for(1ms);
      ++done;
    }));
  }
  EXPECT_TRUE(set.Start([] { throw 42; })) << "a throwing worker is contained";
  EXPECT_FALSE(set.WaitIdle(30ms)) << "all five run side by side, none has finished";
  release = true;
  EXPECT_TRUE(set.WaitIdle(5s));
  EXPECT_EQ(done.load(), 5);
  EXPECT_TRUE(set.Shutdown(1s));
  EXPECT_FALSE(set.Start([] {})) << "no work after shutdown";
}

TEST(WorkerSetTest, ShutdownReportsStragglers) {
  auto set = std::make_unique<WorkerSet>();
  std::atomic<bool> release{false};
  set->Start([&] {
    while (!release) std::this_thread::sleep_for(1ms);
  });
  EXPECT_FALSE(set->Shutdown(20ms));
  set.reset();  // the straggler holds nothing of the set's owner
  release = true;
  std::this_thread::sleep_for(20ms);
}

}  // namespace
}  // namespace pmr
