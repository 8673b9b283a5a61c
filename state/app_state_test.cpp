#include "state/app_state.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <thread>
#include <vector>

namespace pmr::state {
namespace {

namespace fs = std::filesystem;

TEST(AppStateTest, ConfigurationIsDroppedSafelyAfterRelease) {
  fs::path dir = fs::temp_directory_path() / ("pmr_state_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  AppState state;
  EXPECT_EQ(state.ReadConfig("SP"), "");  // before open
  EXPECT_FALSE(state.WriteConfig("HID", "x"));
  state.OpenConfig(dir / "pmrface.ini");
  ASSERT_TRUE(state.WriteConfig("HID", "h-1"));
  EXPECT_EQ(state.ReadConfig("hid"), "h-1");

  // A worker writing while exit releases the file: no crash, late writes dropped.
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    while (!stop) state.WriteConfig("HID", "h-2");
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  state.ReleaseConfig();
  stop = true;
  worker.join();
  EXPECT_FALSE(state.WriteConfig("HID", "h-3"));
  EXPECT_EQ(state.ReadConfig("HID"), "");
  EXPECT_EQ(IniFile(dir / "pmrface.ini").ReadString("JDQFACE", "HID", ""), "h-2");
  fs::remove_all(dir);
}

TEST(AppStateTest, ValuesAreWholeUnderConcurrentWriters) {
  AppState state;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&state, t] {
      for (int i = 0; i < 2000; ++i) {
        std::string v(64, static_cast<char>('a' + t));
        state.SetLastCardId(v);
        std::string got = state.LastCardId();
        ASSERT_EQ(got.size(), 64u);
        ASSERT_EQ(got.find_first_not_of(got[0]), std::string::npos) << "torn value";
        state.PicsWaiting++;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(state.PicsWaiting.load(), 8000);
}

}  // namespace
}  // namespace pmr::state
