#include "gateway/callback_handler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <thread>

#include "gateway/testing/gateway_fakes.h"
#include "net/base64.h"
#include "net/testing/ftp_test_servers.h"

namespace pmr::gateway {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::FakePortal;
using testing::RecordingWindow;

constexpr int64_t kNowMs = 1600000000000;  // 2020-09-13 20:26:40 in UTC+8

class CallbackHandlerTest : public ::testing::Test {
 protected:
  CallbackHandlerTest()
      : ftp_(ftp_root_.path(), "pw"),
        portal_(200, 100ms),
        clock_(EventTimeFromUnixMs(kNowMs)),
        uploads_(std::make_shared<Outbox>(outbox_.path()),
                 UploadContext{&state_, &window_, portal_.host()}) {
    net::testing::WriteFile(ftp_root_.path() / "snap" / "a1.jpg", std::string(20000, 'J'));
    state_.SetSchoolSP("SP9");
    context_.state = &state_;
    context_.window = &window_;
    context_.busy_hosts = &busy_;
    context_.uploads = &uploads_;
    context_.picture_folder = pictures_.path();
    context_.portal_host = portal_.host();
    context_.clock = &clock_;
    context_.date_format = DateTimeFormat{};
    context_.ftp_timeouts.reply = 5s;
    context_.ftp_timeouts.data = 5s;
  }

  net::THTTPResponseInfo Post(const std::string& body, const std::string& from = "127.0.0.1") {
    net::THTTPRequestInfo request;
    request.RemoteIP = from;
    request.FormParams = body;
    net::THTTPResponseInfo response;
    HTTPServer1CommandGet(context_, request, response);
    return response;
  }

  std::string PictureUrl(const std::string& name) {
    return "ftp://anonymous:pw@127.0.0.1:" + std::to_string(ftp_.port()) + "/snap/" + name;
  }

  std::string FaceEvent(const std::string& person, const std::string& name, int64_t time_ms) {
    return "{\"personId\":" + person + ",\"type\":\"face_0\",\"path\":\"" + PictureUrl(name) +
           "\",\"time\":" + std::to_string(time_ms) + "}";
  }

  static bool Answered(const net::THTTPResponseInfo& r) {
    return r.ResponseNo == 200 && r.ContentText == kCallbackReply && r.ContentType == "text/html";
  }

  net::testing::TempFolder ftp_root_, pictures_, outbox_;
  net::testing::PyFtpServer ftp_;
  FakePortal portal_;
  FixedClock clock_;
  state::AppState state_;
  RecordingWindow window_;
  FtpBusyHostList busy_;
  UploadWorkers uploads_;
  CallbackContext context_;
};

TEST_F(CallbackHandlerTest, FreshFaceEventTravelsTheWholeRoad) {
  window_.SetLocation("http://portal/club/index_jdq_s.html?sp=SP9&hid=H");
  const std::string body = FaceEvent("\"1001\"", "a1.jpg", kNowMs);
  net::THTTPResponseInfo reply = Post(body, "127.0.0.1");
  EXPECT_TRUE(Answered(reply));

  EXPECT_EQ(net::testing::ReadFile(pictures_.path() / "a1.jpg"), std::string(20000, 'J'));
  EXPECT_EQ(window_.navigations(),
            std::vector<std::string>{"http://" + portal_.host() +
                                     "/club/index_jdq_s.html?cardid=fp1001&sp=SP9"});
  EXPECT_EQ(state_.FaceAddr(), "127.0.0.1");
  EXPECT_EQ(state_.LastCardId(), "fp1001");
  EXPECT_EQ(state_.LastPicUrl(), "http://127.0.0.1:8091/a1.jpg");
  EXPECT_EQ(state_.LastEventTime(), "2020/9/13 20:26:40");
  EXPECT_EQ(window_.timer_armed(), 1);
  EXPECT_EQ(busy_.Text(), "");

  ASSERT_TRUE(uploads_.WaitIdle(20s));
  auto uploaded = portal_.uploads();
  ASSERT_EQ(uploaded.size(), 1u);
  EXPECT_EQ(uploaded[0][2], "pid=fp1001");
  EXPECT_EQ(uploaded[0][3], "taketime=2020-09-13 20:26:40");
  EXPECT_EQ(state_.PicsUploaded.load(), 1);
  EXPECT_EQ(state_.PicsWaiting.load(), 0);

  std::vector<std::string> log = window_.log();
  ASSERT_GE(log.size(), 6u);
  EXPECT_EQ(log[0], body);
  EXPECT_EQ(log[1], "cid:fp1001");
  EXPECT_EQ(log[2], "pic_url:" + PictureUrl("a1.jpg"));
  EXPECT_EQ(log[3], "0");
  EXPECT_EQ(log[4], ":fp1001," + PictureUrl("a1.jpg") + ",2020/9/13 20:26:40");
  EXPECT_EQ(log[5], "thispic=http://127.0.0.1:8091/a1.jpg");
  EXPECT_EQ(window_.status(0), "127.0.0.1:2020/9/13 20:26:40");
}

TEST_F(CallbackHandlerTest, MessagesWithoutMembersAreLoggedAndAnswered) {
  EXPECT_TRUE(Answered(Post("")));
  EXPECT_EQ(window_.log()[0], "");
  EXPECT_EQ(state_.LastEventTime(), "2020/9/13 20:26:40");
  EXPECT_EQ(window_.status(0), "127.0.0.1:2020/9/13 20:26:40");

  EXPECT_TRUE(Answered(Post("\xff\xfe not utf-8")));  // decodes to the empty text
  EXPECT_TRUE(Answered(Post("not json at all")));
  EXPECT_TRUE(window_.navigations().empty());
  EXPECT_EQ(state_.FaceAddr(), "");
}

TEST_F(CallbackHandlerTest, CardIdsAndStrangers) {
  window_.SetLocation("http://p/club/index_jdq_s.html");
  Post("{\"personId\":\"STRANGERBABY\",\"type\":\"card\"}", "127.0.0.7");
  Post("{\"personId\":123}");
  Post("{\"personId\":null}");
  std::vector<std::string> log = window_.log();
  EXPECT_NE(std::find(log.begin(), log.end(), "cid:"), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), "cid:fp123"), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), "cid:fp"), log.end());
  auto navs = window_.navigations();
  ASSERT_EQ(navs.size(), 3u);
  EXPECT_NE(navs[0].find("cardid=fpSTRANGERBABY&"), std::string::npos);
  EXPECT_NE(navs[1].find("cardid=fp123&"), std::string::npos);
  EXPECT_NE(navs[2].find("cardid=fp&"), std::string::npos);
}

TEST_F(CallbackHandlerTest, OnlyFaceKindsFetchAndOnlyFreshEventsSteer) {
  window_.SetLocation("http://p/club/xgo.html");  // not a points page
  Post("{\"personId\":\"5\",\"type\":\"Face\",\"path\":\"" + PictureUrl("a1.jpg") + "\"}");
  EXPECT_FALSE(fs::exists(pictures_.path() / "a1.jpg"));
  EXPECT_TRUE(window_.navigations().empty());
  EXPECT_EQ(state_.FaceAddr(), "127.0.0.1") << "a fresh event still teaches the address";

  state_.SetFaceAddr("10.0.0.1");
  window_.SetLocation("http://p/club/index_jdq_s.html");
  // Exactly ten seconds old, and ten seconds in the future: neither is fresh.
  Post(FaceEvent("\"6\"", "a1.jpg", kNowMs - 10000), "127.0.0.9");
  Post(FaceEvent("\"6\"", "a1.jpg", kNowMs + 10000), "127.0.0.9");
  EXPECT_TRUE(window_.navigations().empty());
  EXPECT_EQ(state_.FaceAddr(), "10.0.0.1");
  EXPECT_EQ(state_.PicsWaiting.load() + state_.PicsUploaded.load(), 2) << "still fetched";

  // A time that is not a whole number counts as now: fresh.
  Post("{\"personId\":\"7\",\"time\":\"12.5\"}", "127.0.0.3");
  EXPECT_EQ(window_.navigations().size(), 1u);
  EXPECT_EQ(state_.FaceAddr(), "127.0.0.3");
  ASSERT_TRUE(uploads_.WaitIdle(20s));
}

TEST_F(CallbackHandlerTest, BusySenderIsDroppedWithoutAnswer) {
  busy_.AddMarker("127.0.0.1");
  net::THTTPResponseInfo reply = Post(FaceEvent("\"1\"", "a1.jpg", kNowMs));
  EXPECT_EQ(reply.ContentText, "");
  EXPECT_EQ(window_.log().back(), "127.0.0.1---(127.0.0.1)-------->exit");
  EXPECT_EQ(state_.LastEventTime(), "");
  // Another sender is served at once.
  EXPECT_TRUE(Answered(Post(FaceEvent("\"1\"", "a1.jpg", kNowMs), "127.0.0.2")));
  busy_.RemoveMarker("127.0.0.1");
  ASSERT_TRUE(uploads_.WaitIdle(20s));
}

TEST_F(CallbackHandlerTest, SecondEventWhileTheFirstPictureIsFetchedIsDropped) {
  // The server holds "gated" files back until a file "release" appears in its root.
  net::testing::WriteFile(ftp_root_.path() / "snap" / "gated1.jpg", std::string(5000, 'G'));
  net::THTTPResponseInfo first;
  std::thread slow([&] { first = Post(FaceEvent("\"1\"", "gated1.jpg", kNowMs)); });
  for (int i = 0; i < 500 && busy_.Text().empty(); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(busy_.Text(), "(127.0.0.1)");

  net::THTTPResponseInfo second = Post(FaceEvent("\"2\"", "a1.jpg", kNowMs));
  EXPECT_EQ(second.ContentText, "") << "dropped without an answer";
  net::testing::WriteFile(ftp_root_.path() / "release", "");
  slow.join();
  EXPECT_TRUE(Answered(first));
  EXPECT_EQ(busy_.Text(), "");
  EXPECT_TRUE(fs::exists(pictures_.path() / "gated1.jpg"));
  EXPECT_FALSE(fs::exists(pictures_.path() / "a1.jpg"));
  std::vector<std::string> log = window_.log();
  EXPECT_NE(std::find(log.begin(), log.end(), "127.0.0.1---(127.0.0.1)-------->exit"), log.end());
  ASSERT_TRUE(uploads_.WaitIdle(20s));
}

TEST_F(CallbackHandlerTest, EachUploadCarriesItsOwnPictureWhenNamesRepeat) {
  // The portal is slow, so the second picture has replaced the first file long before the
  // first upload is sent.
  const std::string first(3000, 'A'), second(4000, 'B');
  net::testing::WriteFile(ftp_root_.path() / "snap" / "same.jpg", first);
  EXPECT_TRUE(Answered(Post(FaceEvent("\"5\"", "same.jpg", kNowMs))));
  net::testing::WriteFile(ftp_root_.path() / "snap" / "same.jpg", second);
  EXPECT_TRUE(Answered(Post(FaceEvent("\"6\"", "same.jpg", kNowMs))));
  EXPECT_EQ(net::testing::ReadFile(pictures_.path() / "same.jpg"), second);
  ASSERT_TRUE(uploads_.WaitIdle(20s));
  std::map<std::string, std::string> by_pid;
  for (const auto& fields : portal_.uploads()) {
    by_pid[fields[2]] = net::DecodeText(fields[1].substr(std::string("picbase64=").size()));
  }
  EXPECT_EQ(by_pid.size(), 2u);
  EXPECT_TRUE(by_pid["pid=fp5"] == first);
  EXPECT_TRUE(by_pid["pid=fp6"] == second);
  EXPECT_TRUE(fs::is_empty(outbox_.path())) << "delivered jobs leave the outbox";
}

TEST_F(CallbackHandlerTest, OfABurstFromOneSenderExactlyOneFetches) {
  net::testing::WriteFile(ftp_root_.path() / "snap" / "gated2.jpg", std::string(5000, 'G'));
  constexpr int kEvents = 8;
  std::vector<net::THTTPResponseInfo> replies(kEvents);
  std::atomic<int> ready{0};
  std::vector<std::thread> senders;
  for (int i = 0; i < kEvents; ++i) {
    senders.emplace_back([&, i] {
      ++ready;
      while (ready < kEvents) std::this_thread::yield();
      replies[i] = Post(FaceEvent("\"" + std::to_string(i) + "\"", "gated2.jpg", kNowMs));
    });
  }
  for (int i = 0; i < 1000 && busy_.Text().empty(); ++i) std::this_thread::sleep_for(5ms);
  // The dropped ones return at once; then the one fetch may finish.
  for (int i = 0; i < 1000; ++i) {
    std::vector<std::string> log = window_.log();
    if (std::count_if(log.begin(), log.end(), [](const std::string& l) {
          return l.ends_with("-------->exit");
        }) == kEvents - 1) {
      break;
    }
    std::this_thread::sleep_for(5ms);
  }
  net::testing::WriteFile(ftp_root_.path() / "release", "");
  for (std::thread& t : senders) t.join();
  EXPECT_EQ(std::count_if(replies.begin(), replies.end(), Answered), 1);
  EXPECT_EQ(busy_.Text(), "");
  ASSERT_TRUE(uploads_.WaitIdle(20s));
  EXPECT_EQ(portal_.uploads().size(), 1u);
}

TEST_F(CallbackHandlerTest, FailedFetchLeavesCountersAndTimerAlone) {
  EXPECT_TRUE(Answered(Post(FaceEvent("\"1\"", "missing.jpg", kNowMs))));
  EXPECT_EQ(state_.PicsWaiting.load(), 0);
  EXPECT_EQ(window_.timer_armed(), 0);
  EXPECT_EQ(state_.LastPicUrl(), "");
  EXPECT_TRUE(fs::is_empty(pictures_.path()));
}

TEST(EventTimeTest, TextForms) {
  FixedClock clock(EventTimeFromUnixMs(5000));
  EXPECT_EQ(FormatTakeTime(EventTimeFromText("0", clock)), "1970-01-01 08:00:00");
  EXPECT_EQ(FormatTakeTime(EventTimeFromText("1600000000000", clock)), "2020-09-13 20:26:40");
  EXPECT_EQ(FormatTakeTime(EventTimeFromText("-3600000", clock)), "1970-01-01 07:00:00");
  for (const char* bad :
       {"", "abc", "12.5", "1e3", "99999999999999999999", "9223372036854775807"}) {
    EXPECT_EQ(FormatTakeTime(EventTimeFromText(bad, clock)), "1970-01-01 08:00:05") << bad;
  }
}

}  // namespace
}  // namespace pmr::gateway
