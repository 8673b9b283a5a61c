#include "gateway/upload_worker.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "gateway/testing/gateway_fakes.h"
#include "net/base64.h"

namespace pmr::gateway {
namespace {

using testing::FakePortal;
using testing::RecordingWindow;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

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

  fs::path Picture(const std::string& name, std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
    return dir_ / name;
  }

  TPAThread Worker(const std::string& host, const fs::path& file, const std::string& pid) {
    TPAThread w(UploadContext{&state_, &window_, host});
    w.PicFile = file.string();
    w.Pid = pid;
    w.TakeTime = "2020-09-13 20:26:40";
    return w;
  }

  fs::path dir_;
  app::AppState state_;
  RecordingWindow window_;
};

TEST_F(UploadWorkerTest, ThreePicturesAreUploadedWithTheirFieldsInOrder) {
  FakePortal portal;
  UploadWorkers workers;
  state_.PicsWaiting = 3;
  for (int i = 0; i < 3; ++i) {
    workers.Start(Worker(portal.host(), Picture("p" + std::to_string(i) + ".jpg", 5000 + i),
                         i == 2 ? "fpSTRANGERBABY" : "fp" + std::to_string(i)));
  }
  ASSERT_TRUE(workers.WaitIdle(20s));

  EXPECT_EQ(state_.PicsWaiting.load(), 0);
  EXPECT_EQ(state_.PicsUploaded.load(), 3);
  EXPECT_EQ(window_.status(1), "0张图片等待上传...");
  EXPECT_EQ(window_.status(2), "3张图片已上传...");
  auto uploads = portal.uploads();
  ASSERT_EQ(uploads.size(), 3u);
  for (const auto& doc : portal.documents()) EXPECT_EQ(doc, "/fgate/jdq_upload.html");
  std::vector<std::string> pids;
  for (const auto& fields : uploads) {
    // The form body ends in "&", so the server's parameter list ends in an empty line.
    ASSERT_EQ(fields.size(), 5u);
    EXPECT_EQ(fields[4], "");
    EXPECT_EQ(fields[0], "sp=SP01");
    ASSERT_EQ(fields[1].rfind("picbase64=", 0), 0u);
    EXPECT_EQ(fields[3], "taketime=2020-09-13 20:26:40");
    // The picture arrives whole: decode it and find which file it was.
    std::string bytes = net::DecodeText(fields[1].substr(10));
    EXPECT_GE(bytes.size(), 5000u);
    EXPECT_LE(bytes.size(), 5002u);
    pids.push_back(fields[2]);
  }
  std::sort(pids.begin(), pids.end());
  EXPECT_EQ(pids, (std::vector<std::string>{"pid=fp0", "pid=fp1", "pid=fpSTRANGERBABY"}));
  for (const auto& line : window_.log()) EXPECT_EQ(line, "127.0.0.5:上传成功");
}

TEST_F(UploadWorkerTest, ErrorReplyKeepsThePictureWaiting) {
  FakePortal portal(500);
  UploadWorkers workers;
  state_.PicsWaiting = 1;
  workers.Start(Worker(portal.host(), Picture("a.jpg", 10), "fp1"));
  ASSERT_TRUE(workers.WaitIdle(20s));
  EXPECT_EQ(state_.PicsWaiting.load(), 1);
  EXPECT_EQ(state_.PicsUploaded.load(), 0);
  EXPECT_EQ(window_.log(), std::vector<std::string>{"http://" + portal.host() +
                                                    "/fgate/jdq_upload.html...错误！"});
  EXPECT_EQ(window_.status(1), "1张图片等待上传...");
}

TEST_F(UploadWorkerTest, EmptyPictureIsPostedAndMissingOneIsNot) {
  FakePortal portal;
  UploadWorkers workers;
  workers.Start(Worker(portal.host(), Picture("empty.jpg", 0), "fp1"));
  workers.Start(Worker(portal.host(), dir_ / "absent.jpg", "fp2"));
  ASSERT_TRUE(workers.WaitIdle(20s));
  auto uploads = portal.uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0][1], "picbase64=");
  EXPECT_EQ(window_.log().size(), 1u) << "a missing picture logs nothing";
}

TEST_F(UploadWorkerTest, AtMostFourRunAtOnceAndTheRestFollow) {
  FakePortal portal(200, 150ms);
  UploadWorkers workers;
  for (int i = 0; i < 9; ++i) {
    workers.Start(Worker(portal.host(), Picture("q" + std::to_string(i) + ".jpg", 100), "fp"));
  }
  ASSERT_TRUE(workers.WaitIdle(30s));
  EXPECT_EQ(portal.uploads().size(), 9u);
  EXPECT_EQ(portal.max_in_flight(), 4);
  EXPECT_EQ(state_.PicsUploaded.load(), 9);
}

TEST_F(UploadWorkerTest, ShutdownDropsQueuedWorkers) {
  FakePortal portal(200, 300ms);
  auto workers = std::make_unique<UploadWorkers>(1);
  for (int i = 0; i < 5; ++i) {
    workers->Start(Worker(portal.host(), Picture("s" + std::to_string(i) + ".jpg", 10), "fp"));
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(workers->Shutdown(5s));
  workers.reset();
  EXPECT_EQ(portal.uploads().size(), 1u);
}

}  // namespace
}  // namespace pmr::gateway
