#include "terminal/binding.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>

#include "net/http_server.h"
#include "net/testing/ftp_test_servers.h"
#include "state/ini_file.h"

namespace pmr::terminal {
namespace {

class Window : public BindingWindow {
 public:
  void Log(std::string line) override { logged += line == kQuitRequestLine; }
  void SetStatus(int panel, std::string text) override {
    std::lock_guard lock(mutex);
    status.push_back(std::to_string(panel) + ":" + text);
  }
  void LogDetail(std::string) override {}
  void ArmFirstPagesTimer() override { ++first_pages; }
  void RetryBindingAfter(int ms) override { retry_ms = ms; }

  std::mutex mutex;
  std::vector<std::string> status;
  int first_pages = 0;
  int retry_ms = 0;
  std::atomic<int> logged{0};
};

// A real HTTP server that records "document?query|form params" and answers by document.
class Peer {
 public:
  explicit Peer(std::map<std::string, std::string> replies) : replies_(std::move(replies)) {
    server_.Bindings.push_back({"127.0.0.1", 0});
    server_.OnCommandGet = [this](net::TPeerThread&, net::THTTPRequestInfo& req,
                                  net::THTTPResponseInfo& res) {
      std::string line = req.Document + (req.QueryParams.empty() ? "" : "?" + req.QueryParams);
      if (req.Command == "POST") {
        for (const auto& p : req.Params) line += "|" + p;
      }
      {
        std::lock_guard lock(mutex_);
        calls_.push_back(line);
      }
      auto it = replies_.find(req.Document);
      if (it == replies_.end()) {
        res.SetResponseNo(404);
        res.ContentText = "no";
      } else {
        res.ContentText = it->second;
      }
    };
    server_.SetActive(true);
  }
  uint16_t port() const { return server_.ListeningPort(); }
  std::vector<std::string> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  std::map<std::string, std::string> replies_;
  net::THTTPServer server_{0};
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

class BindingTest : public ::testing::Test {
 protected:
  BindingTest()
      : portal_({{"/wgate/wgate_gethid.asp", "HID-7"}, {"/wgate/pmr_getsp.html", "SP-3"}}),
        terminal_({{"/setIdentifyCallBack", "ok"}, {"/setDeviceHeartBeat", "心跳已设置"}}) {
    state_.OpenConfig(folder_.path() / "pmrface.ini");
    state_.SetFaceAddr("127.0.0.1");
  }

  void Bind(uint16_t portal_port, int terminal_port, bool open_first_pages = true) {
    BindingContext c{&state_, &window_, "127.0.0.1:" + std::to_string(portal_port), terminal_port,
                     [] { return std::string("127.0.0.44"); }};
    c.open_first_pages = open_first_pages;
    TPAThread2(c).Execute();
  }

  net::testing::TempFolder folder_;
  state::AppState state_;
  Window window_;
  Peer portal_, terminal_;
};

TEST_F(BindingTest, FirstBindingIssuesIdentityAndPointsTheTerminalHere) {
  Bind(portal_.port(), terminal_.port());
  EXPECT_EQ(state_.SchoolHID(), "HID-7");
  EXPECT_EQ(state::IniFile(folder_.path() / "pmrface.ini").ReadString("JDQFACE", "HID", ""),
            "HID-7");
  EXPECT_EQ(state_.SchoolSP(), "SP-3");
  EXPECT_EQ(window_.first_pages, 1);
  EXPECT_EQ(portal_.calls(), (std::vector<std::string>{"/wgate/wgate_gethid.asp",
                                                       "/wgate/pmr_getsp.html?hid=HID-7"}));
  // The terminal sees the form values decoded again: what it stores is the plain URL.
  EXPECT_EQ(terminal_.calls(),
            (std::vector<std::string>{
                "/setIdentifyCallBack|pass=58317094|callbackUrl=http://127.0.0.44:8090/index.html|",
                "/setDeviceHeartBeat|pass=58317094|url=http://127.0.0.44:8090/index.html|"}));
  EXPECT_EQ(window_.status.front(), "0:本机IP地址:127.0.0.44");
  EXPECT_EQ(window_.status.back(), "0:127.0.0.1:心跳已设置");
  EXPECT_EQ(window_.retry_ms, 0);
}

TEST_F(BindingTest, KnownIdentityIsNotIssuedAgain) {
  state_.SetSchoolHID("OLD");
  Bind(portal_.port(), terminal_.port());
  EXPECT_EQ(portal_.calls(), std::vector<std::string>{"/wgate/pmr_getsp.html?hid=OLD"});
  EXPECT_FALSE(std::filesystem::exists(folder_.path() / "pmrface.ini"));
}

TEST_F(BindingTest, UnreachableTerminalArmsTheRetry) {
  uint16_t closed;
  {
    net::THTTPServer gone(0);
    gone.Bindings.push_back({"127.0.0.1", 0});
    gone.SetActive(true);
    closed = gone.ListeningPort();
  }
  Bind(portal_.port(), closed);
  EXPECT_EQ(window_.status.back(), "0:青禾田识颜台没有开启或网络故障！");
  EXPECT_EQ(window_.retry_ms, 60000);
  EXPECT_EQ(window_.first_pages, 1) << "the school code was still looked up";
}

TEST_F(BindingTest, PortalFailuresLeaveMessagesAndTheTerminalIsStillBound) {
  Peer broken_portal({});  // answers 404 to everything
  Bind(broken_portal.port(), terminal_.port());
  EXPECT_NE(std::find(window_.status.begin(), window_.status.end(), "0:网络故障，无法获取HID..."),
            window_.status.end());
  EXPECT_NE(std::find(window_.status.begin(), window_.status.end(), "0:网络故障，无法获取SP..."),
            window_.status.end());
  EXPECT_EQ(window_.first_pages, 0);
  EXPECT_EQ(state_.SchoolHID(), "");
  EXPECT_EQ(window_.logged, 3) << "failed identity, empty identity, failed school code";
  EXPECT_EQ(terminal_.calls().size(), 2u);
  EXPECT_EQ(window_.retry_ms, 60000) << "the portal is asked again, as the terminal would be";
}

TEST_F(BindingTest, ARetryOpensTheFirstPagesOnlyWhenTheSchoolCodeChanged) {
  state_.SetSchoolHID("HID-7");
  state_.SetSchoolSP("SP-3");
  Bind(portal_.port(), terminal_.port(), /*open_first_pages=*/false);
  EXPECT_EQ(window_.first_pages, 0) << "the teacher's page stays";
  state_.SetSchoolSP("SP-OLD");
  Bind(portal_.port(), terminal_.port(), /*open_first_pages=*/false);
  EXPECT_EQ(window_.first_pages, 1);
  EXPECT_EQ(state_.SchoolSP(), "SP-3");
  Bind(portal_.port(), terminal_.port(), /*open_first_pages=*/true);
  EXPECT_EQ(window_.first_pages, 2) << "a start or the settings dialog always opens them";
  EXPECT_EQ(window_.retry_ms, 0);
}

TEST_F(BindingTest, NoTerminalAddressSkipsTheTerminalSilently) {
  state_.SetFaceAddr("");
  Bind(portal_.port(), terminal_.port());
  EXPECT_TRUE(terminal_.calls().empty());
  EXPECT_EQ(window_.retry_ms, 0);
  EXPECT_EQ(window_.status.size(), 1u);
}

}  // namespace
}  // namespace pmr::terminal
