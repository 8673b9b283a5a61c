#include "tools/portal_sim/portal_sim.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "base/text.h"
#include "gateway/testing/gateway_fakes.h"
#include "gateway/upload_worker.h"
#include "net/base64.h"
#include "net/http_client.h"
#include "portal/portal.h"
#include "state/app_state.h"

namespace pmr::portal_sim {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Runs a shell command and gives its standard output.
std::string Shell(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

std::string Picture(std::size_t size, int seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed) & 0xFF);
  return bytes;
}

class PortalSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("pmr_psim_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "store");
    sim_ = std::make_unique<PortalSim>(PortalSimOptions{"HID-T", "SP-T", dir_ / "store"},
                                       [this](const std::string& line) {
                                         std::lock_guard lock(log_mutex_);
                                         log_.push_back(line);
                                       });
    sim_->Start("127.0.0.1", 0);
    host_ = "127.0.0.1:" + std::to_string(sim_->Port());
  }
  void TearDown() override {
    sim_.reset();
    fs::remove_all(dir_);
  }
  std::string Get(const std::string& path) {
    net::THTTPClient client;
    return client.Get("http://" + host_ + path);
  }
  std::vector<std::string> Log() {
    std::lock_guard lock(log_mutex_);
    return log_;
  }

  fs::path dir_;
  std::unique_ptr<PortalSim> sim_;
  std::string host_;
  std::mutex log_mutex_;
  std::vector<std::string> log_;
};

TEST_F(PortalSimTest, IdentityAndSchoolCodeCalls) {
  net::THTTPClient client;
  EXPECT_EQ(client.Get(portal::IssueIdentityUrl(host_)), "HID-T");
  EXPECT_EQ(client.Get(portal::SchoolCodeUrl(host_, "HID-T")), "SP-T");
  EXPECT_EQ(client.Get(portal::SchoolCodeUrl(host_, "HID-OTHER")), "");
  EXPECT_EQ(client.Get(portal::SchoolCodeUrl(host_, "")), "");
  EXPECT_EQ(Get("/sim/stats"),
            "{\"uploads\":0,\"rejected\":0,\"failed_by_switch\":0,\"gethid\":1,\"getsp\":3,"
            "\"pids\":{},\"files\":0,\"failed_uploads\":0}");
  const std::vector<std::string> log = Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0], "GET /wgate/wgate_gethid.asp -> 200 HID-T");
  EXPECT_EQ(log[1], "GET /wgate/pmr_getsp.html?hid=HID-T -> 200 SP-T");

  // The portal matches its data paths exactly: near misses are 404s and store nothing.
  for (const char* miss :
       {"/wgate/wgate_gethid.aspx", "/Wgate/wgate_gethid.asp", "/wgate/pmr_getsp.htm?hid=HID-T",
        "/fgate/jdq_upload.html/", "/fgate/jdq_upload.htm"}) {
    std::vector<std::string> form = {"sp=SP-T", "picbase64=TWFu", "pid=fp1", "taketime=t"};
    try {
      net::THTTPClient().Post("http://" + host_ + miss, form);
      ADD_FAILURE() << miss;
    } catch (const net::ProtocolError& e) {
      EXPECT_EQ(e.code(), 404) << miss;
    }
  }
  EXPECT_EQ(sim_->Uploads(), 0u);
}

// The bridge's own upload worker is what the stand-in must accept.
TEST_F(PortalSimTest, BridgeUploadsArriveByteExactOncePerPicture) {
  state::AppState state;
  state.SetSchoolSP("SP-T");
  state.SetFaceAddr("127.0.0.9");
  gateway::testing::RecordingWindow window;
  gateway::UploadWorkers workers(std::make_shared<gateway::Outbox>(dir_ / "outbox"),
                                 gateway::UploadContext{&state, &window, host_});
  std::vector<std::string> pictures;
  for (int i = 0; i < 6; ++i) {
    // Sizes that give every kind of "=" fill, an empty picture and a large one.
    const std::size_t size = i == 0 ? 0 : i == 5 ? 300000 : 1000 + static_cast<std::size_t>(i);
    pictures.push_back(Picture(size, i));
    auto job = workers.Record("p" + std::to_string(i) + ".jpg", i % 2 ? "fp1001" : "fpSTRANGERBABY",
                              "2026-12-09 12:00:0" + std::to_string(i), pictures.back());
    ASSERT_TRUE(job);
    workers.Start(std::move(*job));
  }
  ASSERT_TRUE(workers.WaitIdle(30s));
  EXPECT_EQ(state.PicsUploaded.load(), 6);
  for (const std::string& line : window.log()) EXPECT_EQ(line, "127.0.0.9:上传成功");

  // Every picture exactly once, matched by its capture time.
  std::istringstream lines(Get("/sim/uploads"));
  std::string line;
  std::set<int> seen;
  while (std::getline(lines, line)) {
    std::istringstream f(line);
    std::string n, pid, date, time, bytes, hash;
    f >> n >> pid >> date >> time >> bytes >> hash;
    const int i = time.back() - '0';
    ASSERT_TRUE(i >= 0 && i < 6) << line;
    EXPECT_TRUE(seen.insert(i).second) << line;
    EXPECT_EQ(pid, i % 2 ? "fp1001" : "fpSTRANGERBABY");
    EXPECT_EQ(bytes, std::to_string(pictures[i].size()));
    EXPECT_EQ(hash, Hex64(Fnv1a64(pictures[i])));
    std::ifstream in(dir_ / "store" / (n + "_" + pid + ".jpg"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), pictures[i]) << line;
  }
  EXPECT_EQ(seen.size(), 6u);
  const std::string stats = Get("/sim/stats");
  EXPECT_NE(stats.find("\"uploads\":6,\"rejected\":0"), std::string::npos) << stats;
  EXPECT_NE(stats.find("\"pids\":{\"fp1001\":3,\"fpSTRANGERBABY\":3},\"files\":6"),
            std::string::npos)
      << stats;
}

TEST_F(PortalSimTest, CurlUploadsRawPlusSignsAndRejectsBadOnes) {
  const std::string url = "http://" + host_ + "/fgate/jdq_upload.html";
  const std::string picture = "\xfb\xff\xbf\xfb\xef";  // Base64 "+/+/++8=" : '+' and '='
  auto post = [&](const std::string& body) {
    return Shell("curl -s -o /dev/null -w '%{http_code}' --max-time 10 --data-binary '" + body +
                 "' " + url);
  };
  // Unescaped "+" and "/" as a hand-made form would send them.
  EXPECT_EQ(post("sp=SP-T&picbase64=+/+/++8=&pid=fp7&taketime=2026-12-09+08:00:00"), "200");
  EXPECT_EQ(post("sp=SP-T&picbase64=%2B%2F%2B%2F%2B%2B8%3D&pid=fp7&taketime=t"), "200");
  EXPECT_EQ(post("sp=SP-T&picbase64=abc&pid=fp7&taketime=t"), "400");
  EXPECT_EQ(post("sp=SP-T&picbase64=ab*d&pid=fp7&taketime=t"), "400");
  EXPECT_EQ(post("sp=SP-T&picbase64=TWFu&taketime=t"), "400");
  EXPECT_EQ(post("sp=SP-T&picbase64=TWFu&pid=&taketime=t"), "400");
  EXPECT_EQ(Shell("curl -s --max-time 10 " + url), "上传失败：请用POST上传");
  EXPECT_EQ(Shell("curl -s --max-time 10 --data 'sp=1&pid=x&taketime=t' " + url),
            "上传失败：缺少字段 picbase64");

  const std::string uploads = Get("/sim/uploads");
  const std::string hash = Hex64(Fnv1a64(picture));
  EXPECT_EQ(uploads, "1 fp7 2026-12-09 08:00:00 5 " + hash + "\n2 fp7 t 5 " + hash + "\n");
  const std::string stats = Get("/sim/stats");
  EXPECT_NE(stats.find("\"uploads\":2,\"rejected\":6,"), std::string::npos) << stats;
  EXPECT_EQ(Shell("curl -s -o /dev/null -w '%{http_code}' http://" + host_ + "/nothing.html"),
            "404");
}

TEST_F(PortalSimTest, StatusSwitchFailsDataCallsUntilReset) {
  EXPECT_EQ(Get("/sim/status?code=500"), "status=500\n");
  net::THTTPClient client;
  try {
    client.Get(portal::IssueIdentityUrl(host_));
    ADD_FAILURE() << "no error for status 500";
  } catch (const net::ProtocolError& e) {
    EXPECT_EQ(e.code(), 500);
  }
  // The bridge's worker sees the failure and keeps the picture counted as waiting.
  state::AppState state;
  state.PicsWaiting = 1;
  gateway::testing::RecordingWindow window;
  std::ofstream(dir_ / "a.jpg", std::ios::binary) << "abc";
  gateway::TPAThread worker(gateway::UploadContext{&state, &window, host_});
  worker.PicFile = (dir_ / "a.jpg").string();
  worker.Pid = "fp1";
  worker.Execute();
  EXPECT_EQ(state.PicsWaiting.load(), 1);
  ASSERT_EQ(window.log().size(), 1u);
  EXPECT_EQ(window.log()[0], portal::UploadUrl(host_) + "...错误！");
  // Pages are not data calls: they still answer.
  EXPECT_NE(Get("/mosite/xykq2.html?sp=SP-T").find("考勤"), std::string::npos);

  EXPECT_EQ(
      Shell("curl -s -o /dev/null -w '%{http_code}' 'http://" + host_ + "/sim/status?code=abc'"),
      "400");
  EXPECT_EQ(Get("/sim/status?code=200"), "status=200\n");
  EXPECT_EQ(client.Get(portal::IssueIdentityUrl(host_)), "HID-T");
  const std::string stats = Get("/sim/stats");
  EXPECT_NE(stats.find("\"uploads\":0,\"rejected\":0,\"failed_by_switch\":2,\"gethid\":1"),
            std::string::npos)
      << stats;
}

// The fail share: exactly floor(n*S) of n upload requests are answered 500 and store nothing,
// spread evenly, also when they come at once; 0 turns it off and bad shares are refused.
TEST_F(PortalSimTest, FailShareFailsThatShareOfUploadsAndStoresNone) {
  // "." for a stored upload, "x" for a 500 "fail".
  auto upload = [this](int i) {
    net::THTTPClient client;
    std::vector<std::string> form = {"sp=SP-T", "picbase64=TWFu", "pid=fp" + std::to_string(i),
                                     "taketime=t"};
    try {
      return client.Post(portal::UploadUrl(host_), form) == "上传成功" ? '.' : '?';
    } catch (const net::ProtocolError& e) {
      return e.code() == 500 && e.body() == "fail" ? 'x' : '!';
    }
  };
  for (const char* bad : {"1.5", "-0.1", "abc", "", "nan", "0.2x", "1e-1"}) {
    EXPECT_EQ(Shell("curl -s -o /dev/null -w '%{http_code}' 'http://" + host_ +
                    "/sim/fail?share=" + bad + "'"),
              "400")
        << bad;
  }
  EXPECT_EQ(Get("/sim/fail?share=0.3"), "fail_share=0.3\n");
  std::string outcomes;
  for (int i = 1; i <= 10; ++i) outcomes += upload(i);
  EXPECT_EQ(outcomes, "...x..x..x");
  // Failed requests take no number: the stored ones are 1..7 without gaps.
  std::istringstream lines(Get("/sim/uploads"));
  std::string numbers, pids, n, pid, rest;
  while (lines >> n >> pid && std::getline(lines, rest)) {
    numbers += n + ",";
    pids += pid + ",";
  }
  EXPECT_EQ(numbers, "1,2,3,4,5,6,7,");
  EXPECT_EQ(pids, "fp1,fp2,fp3,fp5,fp6,fp8,fp9,");

  // Setting the share starts the count again; at once from 8 threads still exactly a quarter.
  EXPECT_EQ(Get("/sim/fail?share=0.25"), "fail_share=0.25\n");
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) failed += upload(100 + t * 10 + i) == 'x';
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failed.load(), 10);

  EXPECT_EQ(Get("/sim/fail?share=1"), "fail_share=1\n");
  EXPECT_EQ(std::string() + upload(1) + upload(2), "xx");
  // The status switch answers first and counts as its own.
  EXPECT_EQ(Get("/sim/status?code=503"), "status=503\n");
  EXPECT_EQ(upload(3), '!');
  EXPECT_EQ(Get("/sim/status?code=200"), "status=200\n");
  EXPECT_EQ(Get("/sim/fail?share=0"), "fail_share=0\n");
  EXPECT_EQ(upload(4), '.');

  const std::string stats = Get("/sim/stats");
  EXPECT_NE(stats.find("\"uploads\":38,\"rejected\":0,\"failed_by_switch\":1,"), std::string::npos)
      << stats;
  EXPECT_NE(stats.find("\"files\":38,\"failed_uploads\":15}"), std::string::npos) << stats;
  const std::vector<std::string> log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "upload -> 500 (fail share)"), 15);
}

TEST_F(PortalSimTest, HangSwitchDelaysAnswersAndStopReleasesThem) {
  EXPECT_EQ(Get("/sim/hang?ms=400"), "hang_ms=400\n");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Get("/wgate/wgate_gethid.asp"), "HID-T");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 380ms);

  EXPECT_EQ(Get("/sim/hang?ms=600000"), "hang_ms=600000\n");
  std::thread caller([this] {
    net::THTTPClient client;
    try {
      client.Get(portal::IssueIdentityUrl(host_));
    } catch (const std::exception&) {
    }
  });
  std::this_thread::sleep_for(200ms);
  start = std::chrono::steady_clock::now();
  sim_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  caller.join();
}

// The program itself: ready file, the fail share option, one log line per request, summary on
// SIGTERM.
TEST_F(PortalSimTest, ProgramWritesReadyFileLogsAndSummarises) {
  const fs::path ready = dir_ / "ready";
  const fs::path out = dir_ / "out.txt";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::freopen(out.c_str(), "w", stdout);
    ::execl(PORTAL_SIM_EXE, "portal_sim", "--listen", "127.0.0.1:0", "--store",
            (dir_ / "store2").c_str(), "--hid", "H9", "--fail-uploads", "0.5", "--ready",
            ready.c_str(), nullptr);
    ::_exit(127);
  }
  for (int i = 0; i < 200 && !fs::exists(ready); ++i) std::this_thread::sleep_for(25ms);
  std::ifstream in(ready);
  int port = 0;
  in >> port;
  ASSERT_GT(port, 0);
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(Shell("curl -s --max-time 10 " + base + "/wgate/wgate_gethid.asp"), "H9");
  for (const char* expected : {"200", "500"}) {
    EXPECT_EQ(Shell("curl -s --max-time 10 -o /dev/null -w '%{http_code}' --data "
                    "'sp=x&picbase64=TWFu&pid=fp1&taketime=now' " +
                    base + "/fgate/jdq_upload.html"),
              expected);
  }
  ::kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::ifstream log(out);
  const std::string text((std::istreambuf_iterator<char>(log)), {});
  EXPECT_NE(text.find("portal: GET /wgate/wgate_gethid.asp -> 200 H9\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("portal: upload 1 pid=fp1 taketime=now bytes=3 -> 200\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("portal: summary uploads=1 rejected=0 failed_uploads=1 files=1\n"),
            std::string::npos)
      << text;
  EXPECT_TRUE(fs::exists(dir_ / "store2" / "1_fp1.jpg"));
}

// A real browser runs the live list: rows through ins(), and a button that calls a page API.
TEST_F(PortalSimTest, LiveListRunsInChromium) {
  if (!fs::exists("/usr/bin/chromium")) GTEST_SKIP() << "no /usr/bin/chromium";
  // A page API stand-in on loopback answering like the bridge, in code page 936.
  net::THTTPServer api(0);
  api.Bindings.push_back({"127.0.0.1", 0});
  std::atomic<int> calls{0};
  std::string seen_query;
  api.OnCommandGet = [&](net::TPeerThread&, net::THTTPRequestInfo& req,
                         net::THTTPResponseInfo& res) {
    ++calls;
    if (req.Document == "/takeimg") {
      seen_query = req.QueryParams;
      res.ContentText = "jdqfaceapi_takeimg('" + Utf8ToCp936("人脸采集已开始") + "')";
    }
  };
  api.SetActive(true);
  const std::string profile = (dir_ / "chromium").string();
  const std::string url = "http://" + host_ +
                          "/club/hlmbo_jdqface_now.html?sp=SP-T&demo=55&click=takeimg&api="
                          "http://127.0.0.1:" +
                          std::to_string(api.ListeningPort());
  const std::string dom =
      Shell("HOME=" + profile +
            " timeout 60 /usr/bin/chromium --headless --no-sandbox --disable-gpu "
            "--disable-background-networking --user-data-dir=" +
            profile + " --dump-dom '" + url + "' 2>/dev/null");
  api.SetActive(false);
  ASSERT_NE(dom.find("data-ready=\"1\""), std::string::npos) << dom.substr(0, 2000);
  EXPECT_NE(dom.find("<p id=\"errors\"></p>"), std::string::npos);
  std::size_t rows = 0;
  for (std::size_t at = dom.find("class=\"row\""); at != std::string::npos;
       at = dom.find("class=\"row\"", at + 1)) {
    ++rows;
  }
  EXPECT_EQ(rows, static_cast<std::size_t>(kLiveListRows));
  // Newest first; the oldest five fell off.
  EXPECT_LT(dom.find("data-cardid=\"fp1055\""), dom.find("data-cardid=\"fp1054\""));
  EXPECT_EQ(dom.find("data-cardid=\"fp1005\""), std::string::npos);
  EXPECT_NE(dom.find("data-cardid=\"fp1006\""), std::string::npos);
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(seen_query, "pid=1001&name=%E5%BC%A0%E4%B8%89");
  EXPECT_NE(dom.find("data-kind=\"takeimg\" data-count=\"1\">人脸采集已开始</div>"),
            std::string::npos)
      << dom.substr(dom.find("apimsg") == std::string::npos ? 0 : dom.find("apimsg"), 300);
}

}  // namespace
}  // namespace pmr::portal_sim
