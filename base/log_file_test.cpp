#include "base/log_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "base/file_path.h"

namespace pmr {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

const std::string kNl(LogFile::kNewline);

DateTime At(int year, int month, int day, int hour, int minute, int second, int ms = 0) {
  return DateTime::FromFields({year, month, day, hour, minute, second, ms});
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("pmr_log_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  static void WriteRaw(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = text.find(kNl, at)) != std::string::npos;
         at = end + kNl.size()) {
      lines.push_back(text.substr(at, end - at));
    }
    return lines;
  }

  fs::path dir_;
};

TEST_F(LogFileTest, LinesBeforeAndAfterOpenGoToTheFileOfTheirDay) {
  FixedClock clock(At(2024, 3, 9, 23, 59, 58, 7));
  LogFile log(clock);
  log.Write("before open");
  EXPECT_FALSE(log.Flush(20ms)) << "kept until there is a folder";
  clock.AdvanceSeconds(1.5);
  log.Write("a\nb\r\nc\rd");
  const fs::path folder = dir_ / PathFromUtf8("日志") / "log";  // missing, with its parent
  log.Open(folder);
  ASSERT_TRUE(log.Flush(5s));
  clock.AdvanceSeconds(0.5);
  log.Write("next day");
  ASSERT_TRUE(log.Flush(5s));

  EXPECT_EQ(Read(folder / "pmrface-2024-03-09.log"),
            "2024-03-09 23:59:58.007 before open" + kNl +  //
                "2024-03-09 23:59:59.507 a" + kNl + "\tb" + kNl + "\tc" + kNl + "\td" + kNl);
  EXPECT_EQ(Read(folder / "pmrface-2024-03-10.log"), "2024-03-10 00:00:00.007 next day" + kNl);
}

TEST_F(LogFileTest, OpenRemovesOnlyOurFilesOfDaysPastTheKeep) {
  const std::vector<std::string> removed = {"pmrface-2024-02-29.log", "pmrface-2023-12-31.log"};
  const std::vector<std::string> kept = {"pmrface-2024-03-01.log",      // 30 days before
                                         "pmrface-2024-03-31.log",      // today
                                         "pmrface-2024-05-01.log",      // ahead of a clock set back
                                         "pmrface-2024-13-01.log",      // no such day
                                         "pmrface-2020-1-01.log",       // not the exact form
                                         "pmrface-2020-01-01.log.bak",  //
                                         "other-2020-01-01.log"};
  for (const auto& name : removed) WriteRaw(dir_ / name, "x");
  for (const auto& name : kept) WriteRaw(dir_ / name, "x");
  fs::create_directories(dir_ / "pmrface-2020-01-02.log");

  FixedClock clock(At(2024, 3, 31, 0, 0, 1));
  LogFile log(clock);
  log.Open(dir_);

  for (const auto& name : removed) EXPECT_FALSE(fs::exists(dir_ / name)) << name;
  for (const auto& name : kept) EXPECT_TRUE(fs::exists(dir_ / name)) << name;
  EXPECT_TRUE(fs::is_directory(dir_ / "pmrface-2020-01-02.log")) << "folders are left alone";
}

TEST_F(LogFileTest, DailyCapWritesOneNoticeAndDropsTheRestOfTheDay) {
  LogFileOptions options;
  options.daily_cap_bytes = 300;
  FixedClock clock(At(2024, 5, 1, 8, 0, 10));
  std::string notice;
  {
    LogFile log(clock, options);
    log.Open(dir_);
    for (int i = 0; i < 20; ++i) {
      log.Write("line " + std::to_string(10 + i));
      clock.AdvanceSeconds(1);
    }
    ASSERT_TRUE(log.Flush(5s));
    clock.Set(At(2024, 5, 2, 0, 0, 0));
    log.Write("next day");
    ASSERT_TRUE(log.Flush(5s));

    const std::string day1 = Read(dir_ / "pmrface-2024-05-01.log");
    EXPECT_LE(day1.size(), 300u);
    const std::vector<std::string> lines = Lines(day1);
    ASSERT_GE(lines.size(), 2u);
    ASSERT_LT(lines.size(), 20u);
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
      EXPECT_EQ(lines[i], "2024-05-01 08:00:" + std::to_string(10 + i) + ".000 line " +
                              std::to_string(10 + i));
    }
    notice = lines.back();
    EXPECT_EQ(notice.substr(0, 24),
              "2024-05-01 08:00:" + std::to_string(9 + lines.size()) + ".000 ")
        << "in place of the first line that did not fit";
    EXPECT_THAT(notice, HasSubstr("daily cap"));
    EXPECT_EQ(Read(dir_ / "pmrface-2024-05-02.log"), "2024-05-02 00:00:00.000 next day" + kNl);
  }

  // A file from an earlier run of the day that leaves room for the notice only.
  const std::string earlier(300 - notice.size() - kNl.size(), 'x');
  WriteRaw(dir_ / "pmrface-2024-05-03.log", earlier);
  clock.Set(At(2024, 5, 3, 9, 30, 0));
  LogFile log(clock, options);
  log.Open(dir_);
  log.Write("too much");
  log.Write("still too much");
  ASSERT_TRUE(log.Flush(5s));
  EXPECT_EQ(Read(dir_ / "pmrface-2024-05-03.log"),
            earlier + "2024-05-03 09:30:00.000" + notice.substr(23) + kNl);
}

TEST_F(LogFileTest, DiskFaultsNeverRaiseAndLaterLinesAreRetried) {
  FixedClock clock(At(2024, 6, 1, 12, 0, 0));
  const fs::path blocker = dir_ / "blocker";
  const fs::path folder = blocker / "log";
  WriteRaw(blocker, "a file where a folder belongs");
  const auto destroys_promptly = [](std::unique_ptr<LogFile> log) {
    const auto start = std::chrono::steady_clock::now();
    log.reset();
    return std::chrono::steady_clock::now() - start < 500ms;
  };
  auto log = std::make_unique<LogFile>(clock);
  log->Write("never opened");
  EXPECT_TRUE(destroys_promptly(std::move(log)));
  log = std::make_unique<LogFile>(clock);
  EXPECT_NO_THROW({
    log->Open(folder);
    for (int i = 0; i < 100; ++i) log->Write("refused");
  });
  EXPECT_TRUE(destroys_promptly(std::move(log)));

  log = std::make_unique<LogFile>(clock);
  log->Open(folder);
  log->Write("lost");
  EXPECT_TRUE(log->Flush(5s)) << "refused lines count as done";
  fs::remove(blocker);
  log->Write("after the folder could be made");
  ASSERT_TRUE(log->Flush(5s));
  EXPECT_EQ(Read(folder / "pmrface-2024-06-01.log"),
            "2024-06-01 12:00:00.000 after the folder could be made" + kNl);

  if (fs::exists("/dev/full")) {  // a disk that takes the open but fails every write
    const fs::path next_day = folder / "pmrface-2024-06-02.log";
    fs::create_symlink("/dev/full", next_day);
    clock.Set(At(2024, 6, 2, 0, 0, 0));
    EXPECT_NO_THROW(log->Write("lost as well"));
    EXPECT_TRUE(log->Flush(5s));
    fs::remove(next_day);
    log->Write("written again");
    ASSERT_TRUE(log->Flush(5s));
    EXPECT_EQ(Read(next_day), "2024-06-02 00:00:00.000 written again" + kNl);
  }
}

TEST_F(LogFileTest, LinesBeyondTheQueueBoundAreCountedAndReported) {
  LogFileOptions options;
  options.max_pending_bytes = 3 * (24 + 6 + kNl.size());  // three lines of six characters
  FixedClock clock(At(2024, 7, 1, 9, 0, 0));
  LogFile log(clock, options);
  for (int i = 0; i < 5; ++i) {
    log.Write("line " + std::to_string(i));
    clock.AdvanceSeconds(1);
  }
  log.Open(dir_);
  ASSERT_TRUE(log.Flush(5s));
  log.Write("line 5");
  ASSERT_TRUE(log.Flush(5s));

  const std::vector<std::string> lines = Lines(Read(dir_ / "pmrface-2024-07-01.log"));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_THAT(lines[0], HasSubstr("2024-07-01 09:00:03.000 2 log lines dropped"))
      << "stamped when the dropping began, once";
  EXPECT_EQ(lines[1], "2024-07-01 09:00:00.000 line 0");
  EXPECT_EQ(lines[3], "2024-07-01 09:00:02.000 line 2");
  EXPECT_EQ(lines[4], "2024-07-01 09:00:05.000 line 5");
}

}  // namespace
}  // namespace pmr
