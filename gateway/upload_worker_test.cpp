#include "gateway/upload_worker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "base/file_path.h"
#include "gateway/testing/gateway_fakes.h"
#include "net/base64.h"

namespace pmr::gateway {
namespace {

using testing::FakePortal;
using testing::RecordingWindow;
using ::testing::Contains;
using ::testing::HasSubstr;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string Bytes(std::size_t size, int seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed) & 0xFF);
  return bytes;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class UploadWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("pmr_upload_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    state_.SetSchoolSP("SP01");
    state_.SetFaceAddr("127.0.0.5");
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::unique_ptr<UploadWorkers> Workers(const std::string& host, OutboxLimits limits = {},
                                         std::size_t parallel = 4) {
    outbox_ = std::make_shared<Outbox>(dir_ / "outbox", limits);
    RetryPolicy quick{.first_pause = 40ms, .longest_pause = 150ms};
    return std::make_unique<UploadWorkers>(outbox_, UploadContext{&state_, &window_, host},
                                           parallel, quick);
  }

  // What the callback handler does with a stored picture.
  bool Send(UploadWorkers& workers, const std::string& name, const std::string& pid,
            const std::string& bytes) {
    std::optional<UploadJob> job = workers.Record(name, pid, "2020-09-13 20:26:40", bytes);
    if (!job) return false;
    state_.PicsWaiting++;
    workers.Start(std::move(*job));
    return true;
  }

  // pid -> pictures received for it.
  static std::multimap<std::string, std::string> Received(FakePortal& portal) {
    std::multimap<std::string, std::string> got;
    for (const auto& fields : portal.uploads()) {
      got.emplace(fields[2], net::DecodeText(fields[1].substr(10)));
    }
    return got;
  }

  std::vector<std::string> JobFiles() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_ / "outbox")) {
      if (e.is_regular_file()) names.push_back(e.path().filename().string());
    }
    return names;
  }

  fs::path dir_;
  state::AppState state_;
  RecordingWindow window_;
  std::shared_ptr<Outbox> outbox_;
};

TEST_F(UploadWorkerTest, PicturesTravelWithTheirFieldsAndLeaveTheOutbox) {
  FakePortal portal(200, 150ms);
  auto workers = Workers(portal.host());
  for (int i = 0; i < 9; ++i) {
    ASSERT_TRUE(Send(*workers, "p.jpg", i == 8 ? "fpSTRANGERBABY" : "fp" + std::to_string(i),
                     Bytes(5000 + i, i)));
  }
  ASSERT_TRUE(workers->WaitIdle(30s));

  EXPECT_EQ(portal.max_in_flight(), 4);
  EXPECT_EQ(state_.PicsWaiting.load(), 0);
  EXPECT_EQ(state_.PicsUploaded.load(), 9);
  EXPECT_EQ(window_.status(1), "0张图片等待上传...");
  EXPECT_EQ(window_.status(2), "9张图片已上传...");
  for (const auto& doc : portal.documents()) EXPECT_EQ(doc, "/fgate/jdq_upload.html");
  for (const auto& fields : portal.uploads()) {
    // The form body ends in "&", so the server's parameter list ends in an empty line.
    ASSERT_EQ(fields.size(), 5u);
    EXPECT_EQ(fields[0], "sp=SP01");
    EXPECT_EQ(fields[3], "taketime=2020-09-13 20:26:40");
    EXPECT_EQ(fields[4], "");
  }
  auto got = Received(portal);
  ASSERT_EQ(got.size(), 9u);
  for (int i = 0; i < 9; ++i) {
    auto it = got.find("pid=" + (i == 8 ? std::string("fpSTRANGERBABY") : "fp" + std::to_string(i)));
    ASSERT_NE(it, got.end());
    EXPECT_TRUE(it->second == Bytes(5000 + i, i)) << i;
  }
  for (const auto& line : window_.log()) EXPECT_EQ(line, "127.0.0.5:上传成功");
  EXPECT_TRUE(JobFiles().empty());
  EXPECT_EQ(outbox_->Count(), 0u);
  EXPECT_EQ(outbox_->Bytes(), 0u);
}

TEST_F(UploadWorkerTest, FailedUploadsAreRetriedUntilThePortalTakesThem) {
  FakePortal portal(500);
  auto workers = Workers(portal.host());
  ASSERT_TRUE(Send(*workers, "a.jpg", "fp1", "first"));
  ASSERT_TRUE(Send(*workers, "b.jpg", "fp2", ""));
  // Both keep failing, with growing pauses; the school code is read at each attempt.
  while (portal.requests() < 8) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(state_.PicsWaiting.load(), 2);
  EXPECT_EQ(window_.status(1), "2张图片等待上传...");
  state_.SetSchoolSP("SP02");
  portal.set_status(200);
  ASSERT_TRUE(workers->WaitIdle(20s));

  auto got = Received(portal);
  ASSERT_EQ(got.size(), 2u) << "each delivered exactly once";
  EXPECT_EQ(got.find("pid=fp1")->second, "first");
  EXPECT_EQ(got.find("pid=fp2")->second, "") << "an empty picture is posted empty";
  for (const auto& fields : portal.uploads()) EXPECT_EQ(fields[0], "sp=SP02");
  EXPECT_EQ(state_.PicsWaiting.load(), 0);
  EXPECT_EQ(state_.PicsUploaded.load(), 2);
  const std::string failed = "http://" + portal.host() + "/fgate/jdq_upload.html...错误！";
  const std::vector<std::string> log = window_.log();
  EXPECT_GE(std::count(log.begin(), log.end(), failed), 8);
  EXPECT_THAT(window_.details(),
              Contains(HasSubstr("upload: a.jpg for fp1 failed (HTTP/1.1 500")));
  EXPECT_THAT(window_.details(), Contains(HasSubstr("try 2 in 0 s")));
  EXPECT_TRUE(JobFiles().empty());
}

TEST_F(UploadWorkerTest, JobsOutliveAStopAndANewStartDeliversThemOnce) {
  std::map<std::string, std::string> sent;
  {
    FakePortal slow(200, 400ms);
    auto workers = Workers(slow.host(), {}, 1);
    for (int i = 0; i < 6; ++i) {
      sent["pid=fp" + std::to_string(i)] = Bytes(3000, i);
      ASSERT_TRUE(Send(*workers, "same.jpg", "fp" + std::to_string(i), Bytes(3000, i)));
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(workers->Shutdown(0ms)) << "one upload is in flight and is not waited for";
  }
  // A new run over the same folder: what was not delivered comes back, oldest first.
  state_.PicsWaiting = 0;
  FakePortal portal;
  auto workers = Workers(portal.host(), {}, 1);
  const std::size_t restored = workers->Restore();
  EXPECT_GE(restored, 5u);
  EXPECT_EQ(state_.PicsWaiting.load(), static_cast<int32_t>(restored));
  EXPECT_EQ(window_.status(1), std::to_string(restored) + "张图片等待上传...");
  ASSERT_TRUE(workers->WaitIdle(20s));
  std::vector<std::string> order;
  for (const auto& fields : portal.uploads()) {
    order.push_back(fields[2]);
    EXPECT_TRUE(net::DecodeText(fields[1].substr(10)) == sent[fields[2]]) << fields[2];
  }
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << "oldest first";
  EXPECT_EQ(std::set<std::string>(order.begin(), order.end()).size(), order.size());
  EXPECT_TRUE(JobFiles().empty());
}

TEST_F(UploadWorkerTest, DamagedOldAndUnfinishedJobsAtStart) {
  fs::create_directories(dir_ / "outbox");
  auto write = [&](const std::string& name, const std::string& data) {
    std::ofstream(dir_ / "outbox" / name, std::ios::binary) << data;
  };
  auto make = [](std::string name, std::string pid, int64_t created_ms) {
    UploadJob job;
    job.name = std::move(name);
    job.pid = std::move(pid);
    job.take_time = "t";
    job.created_ms = created_ms;
    return job;
  };
  auto job = [&](const std::string& id, const UploadJob& described, const std::string& picture) {
    write(id + ".job", EncodeJob(described, "picture"));
    write(id + ".jpg", picture);
  };
  job("j1", make("ok.jpg", "fp1", NowMs()), "picture");
  job("j2", make("flip.jpg", "fp2", NowMs()), "pixture");  // same length, wrong bytes
  job("j3", make("cut.jpg", "fp3", NowMs()), "pic");       // cut short by a power cut
  write("j4.job", "");
  write("j4.jpg", "x");
  job("j5", make("old.jpg", "fp5", NowMs() - 31LL * 86'400'000), "picture");
  write("j6.job.tmp", "half a description");
  write("j7.jpg", "a picture whose description was never written");
  write("notes.txt", "not ours");

  FakePortal portal;
  auto workers = Workers(portal.host());
  EXPECT_EQ(workers->Restore(), 2u);
  ASSERT_TRUE(workers->WaitIdle(20s));
  auto got = Received(portal);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got.begin()->second, "picture");
  EXPECT_EQ(state_.PicsWaiting.load(), 0) << "the damaged one no longer waits";
  EXPECT_EQ(JobFiles(), std::vector<std::string>{"notes.txt"});
  std::set<std::string> damaged;
  for (const auto& e : fs::directory_iterator(dir_ / "outbox" / "damaged")) {
    damaged.insert(e.path().filename().string());
  }
  EXPECT_EQ(damaged, (std::set<std::string>{"j2.job", "j2.jpg", "j3.job", "j3.jpg", "j4.job",
                                            "j4.jpg"}));
  auto details = window_.details();
  EXPECT_THAT(details, Contains(HasSubstr("j6.job.tmp removed")));
  EXPECT_THAT(details, Contains(HasSubstr("unfinished job j7 removed")));
  EXPECT_THAT(details, Contains(HasSubstr("old.jpg for fp5 dropped at start")));
  EXPECT_THAT(details, Contains(HasSubstr("flip.jpg for fp2 dropped: not a whole upload job")));
}

TEST_F(UploadWorkerTest, AFullOutboxRefusesAndSaysSo) {
  FakePortal portal(500);
  auto workers = Workers(portal.host(), OutboxLimits{.max_jobs = 2});
  EXPECT_TRUE(Send(*workers, "1.jpg", "fp1", "a"));
  EXPECT_TRUE(Send(*workers, "2.jpg", "fp2", "b"));
  EXPECT_FALSE(Send(*workers, "3.jpg", "fp3", "c"));
  EXPECT_THAT(window_.details(),
              Contains(HasSubstr("outbox: 3.jpg stays in the picture folder but is not queued")));
  EXPECT_EQ(JobFiles().size(), 4u) << "two jobs of two files each";
  // The failing uploads touch the window: they must be over before the test ends.
  EXPECT_TRUE(workers->Shutdown(10s));

  // The byte cap counts the same way, and a delivered job makes room again.
  auto small = Workers(portal.host(), OutboxLimits{.max_bytes = 400});
  EXPECT_FALSE(Send(*small, "big.jpg", "fp4", std::string(500, 'x')));
}

TEST_F(UploadWorkerTest, DirectUploadFromTheFileReadsItWhenItRuns) {
  FakePortal portal;
  std::ofstream(dir_ / "direct.jpg", std::ios::binary) << "bytes";
  TPAThread worker(UploadContext{&state_, &window_, portal.host()});
  worker.PicFile = PathToUtf8(dir_ / "direct.jpg");
  worker.Pid = "fp9";
  EXPECT_TRUE(worker.Execute().delivered);
  TPAThread missing(UploadContext{&state_, &window_, portal.host()});
  missing.PicFile = PathToUtf8(dir_ / "absent.jpg");
  EXPECT_FALSE(missing.Execute().delivered);
  EXPECT_EQ(portal.uploads().size(), 1u);
  EXPECT_EQ(window_.log().size(), 1u) << "a missing picture logs nothing";
}

}  // namespace
}  // namespace pmr::gateway
