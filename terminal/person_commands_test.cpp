#include "terminal/person_commands.h"

#include <gtest/gtest.h>

#include <random>

#include "terminal/testing/terminal_fakes.h"

namespace pmr::terminal {
namespace {

using testing::ClosedPort;
using testing::FakeTerminal;
using testing::RecordingLog;
using Paths = std::vector<std::string>;

constexpr char kZhangSanRecord[] =
    "%7B%22id%22%3A%227%22%2C%22idcardNum%22%3A%22%22%2C%22name%22%3A%22%E5%BC%A0%E4%B8%89%22%7D";

// Finds the person only after it was created; answers the mode calls with `mode_reply`.
FakeTerminal::Reply Enrolment(std::string mode_reply, bool known = false) {
  return [mode_reply, known](const std::string& path, int nth) -> std::string {
    if (path == kPersonFind) return known || nth > 0 ? "{\"result\":1}" : "人员不存在";
    if (path == kFaceTakeImg || path == kFaceIcCardRegist) return mode_reply;
    return "ok";
  };
}

TEST(FaceTakeImgTest, UnknownPersonIsCreatedThenCaptured) {
  FakeTerminal terminal(Enrolment("{\"msg\":\"正在开启自动拍照模式\"}"));
  RecordingLog log;
  EXPECT_EQ(FaceTakeImg(terminal.Target(), log, "7", "张三"), "正在开启自动拍照模式");

  auto calls = terminal.Calls();
  ASSERT_EQ(terminal.Paths(),
            (Paths{"/person/find", "/person/create", "/person/find", "/face/takeImg"}));
  EXPECT_EQ(calls[0].body, "pass=pw&id=7&");
  EXPECT_EQ(calls[1].body, std::string("pass=pw&person=") + kZhangSanRecord + "&");
  EXPECT_EQ(calls[3].body, "pass=58317094&personId=7&");

  const std::string find_url =
      "http://127.0.0.1:" + std::to_string(terminal.Target().port) + "/person/find";
  EXPECT_TRUE(log.Has(find_url));
  EXPECT_TRUE(log.Has("127.0.0.1:人员不存在"));
  EXPECT_TRUE(log.Has("127.0.0.1:{\"msg\":\"正在开启自动拍照模式\"}"));
}

TEST(FaceTakeImgTest, UnknownPersonWithoutNameCreatesNothing) {
  FakeTerminal terminal(Enrolment("正在开启自动拍照模式"));
  RecordingLog log;
  EXPECT_EQ(FaceTakeImg(terminal.Target(), log, "7", ""), kFailureText);
  EXPECT_EQ(terminal.Paths(), (Paths{"/person/find"}));
  EXPECT_TRUE(log.Has("pid:7,name="));
}

TEST(FaceTakeImgTest, ReplyPhrasesSecondTestWins) {
  struct Case {
    std::string reply;
    std::string photo_result;
    std::string card_result;
  };
  const std::vector<Case> cases = {
      {"设备正忙", "设备正忙，请稍后操作", "设备正忙，请稍后操作"},
      {"设备正忙 正在开启自动拍照模式", "正在开启自动拍照模式", "设备正忙，请稍后操作"},
      {"正在开启IC卡注册模式,设备正忙", "设备正忙，请稍后操作", "正在开启IC卡注册模式"},
      {"{\"result\":0,\"msg\":\"未知\"}", "{\"result\":0,\"msg\":\"未知\"}",
       "{\"result\":0,\"msg\":\"未知\"}"},
      // Not UTF-8: decoded to nothing.
      {"\xC0\xAF", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    FakeTerminal terminal(Enrolment(c.reply, true));
    RecordingLog log;
    EXPECT_EQ(FaceTakeImg(terminal.Target(), log, "9", "n"), c.photo_result);
    EXPECT_EQ(FaceIcCardRegist(terminal.Target(), log, "9", "n"), c.card_result);
    EXPECT_EQ(terminal.Paths(),
              (Paths{"/person/find", "/face/takeImg", "/person/find", "/face/icCardRegist"}));
  }
}

TEST(FaceTakeImgTest, RestartsAreBounded) {
  FakeTerminal terminal([](const std::string&, int) { return std::string("不存在"); });
  RecordingLog log;
  EXPECT_EQ(FaceIcCardRegist(terminal.Target(), log, "3", "李四"), kFailureText);
  int finds = 0;
  int creates = 0;
  for (const auto& p : terminal.Paths()) {
    finds += p == "/person/find";
    creates += p == "/person/create";
  }
  EXPECT_EQ(finds, kMaxRestarts + 1);
  EXPECT_EQ(creates, kMaxRestarts);
}

TEST(FaceTakeImgTest, FailingModeCallGivesFailureText) {
  net::testing::TestServer terminal(
      [](net::THTTPRequestInfo& request, net::THTTPResponseInfo& response) {
        if (request.Document == kFaceTakeImg) response.SetResponseNo(500);
        response.ContentText = "正在开启自动拍照模式";
      });
  RecordingLog log;
  EXPECT_EQ(FaceTakeImg({"127.0.0.1", "pw", terminal.port}, log, "1", "a"), kFailureText);
  EXPECT_EQ(terminal.Requests().size(), 2u);
}

TEST(PersonCommandsTest, UnreachableTerminal) {
  const TerminalTarget target{"127.0.0.1", "pw", ClosedPort()};
  const std::string base = "http://127.0.0.1:" + std::to_string(target.port);
  RecordingLog log;
  EXPECT_EQ(FaceTakeImg(target, log, "1", "a"), kFailureText);
  EXPECT_EQ(FaceIcCardRegist(target, log, "1", "a"), kFailureText);
  EXPECT_EQ(PersonDelete(target, log, "1"), kFailureText);
  EXPECT_EQ(PersonDeleteAll(target, log), kFailureText);
  EXPECT_TRUE(log.lines().empty());

  EXPECT_TRUE(PersonCreate(target, log, "1", "a"));
  EXPECT_TRUE(PersonUpdate(target, log, "1", "a"));
  EXPECT_EQ(log.lines(),
            (Paths{base + "/person/create...错误！", base + "/person/update...错误！"}));
}

TEST(PersonCommandsTest, EmptyAddressMakesNoCall) {
  RecordingLog log;
  const TerminalTarget target{"", "pw", ClosedPort()};
  EXPECT_EQ(FaceTakeImg(target, log, "1", "a"), kFailureText);
  EXPECT_EQ(PersonDelete(target, log, "1"), kFailureText);
  EXPECT_TRUE(PersonCreate(target, log, "1", "a"));
  EXPECT_TRUE(PersonUpdate(target, log, "1", "a"));
  EXPECT_FALSE(PersonUpdate(target, log, "1", ""));
  EXPECT_TRUE(log.Has("pid:1,name="));
}

TEST(PersonCommandsTest, DeleteSucceedsWhateverTheReply) {
  FakeTerminal terminal([](const std::string&, int) { return std::string("人员不存在"); });
  RecordingLog log;
  EXPECT_EQ(PersonDelete(terminal.Target(), log, "A-1"), kSuccessText);
  EXPECT_EQ(PersonDeleteAll(terminal.Target("x y"), log), kSuccessText);
  auto calls = terminal.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].body, "pass=pw&id=A%2D1&");
  EXPECT_EQ(calls[1].body, "pass=x+y&id=%2D1&");
  EXPECT_EQ(log.lines().size(), 4u);
}

TEST(PersonCommandsTest, UpdateOfUnknownPersonCreatesIt) {
  FakeTerminal terminal([](const std::string& path, int) {
    return path == kPersonUpdate ? std::string("人员不存在") : std::string("ok");
  });
  RecordingLog log;
  EXPECT_TRUE(PersonUpdate(terminal.Target(), log, "7", "张三"));
  auto calls = terminal.Calls();
  ASSERT_EQ(terminal.Paths(), (Paths{"/person/update", "/person/create"}));
  EXPECT_EQ(calls[0].body, std::string("pass=pw&person=") + kZhangSanRecord + "&");
  EXPECT_EQ(calls[1].body, calls[0].body);

  FakeTerminal known([](const std::string&, int) { return std::string("ok"); });
  EXPECT_TRUE(PersonUpdate(known.Target(), log, "7", "张三"));
  EXPECT_FALSE(PersonUpdate(known.Target(), log, "7", ""));
  EXPECT_EQ(known.Paths(), (Paths{"/person/update"}));
}

TEST(PersonCommandsTest, DefaultPortAndStateTarget) {
  std::mt19937 rng(std::random_device{}());
  const std::string address =
      "127.0." + std::to_string(rng() % 250 + 2) + "." + std::to_string(rng() % 250 + 2);
  FakeTerminal terminal(Enrolment("正在开启IC卡注册模式", true), address, 8090);
  state::AppState state;
  state.SetFaceAddr(address);
  state.SetFacePass("secret");
  RecordingLog log;
  EXPECT_EQ(FaceIcCardRegist(CurrentTarget(state), log, "5", "n"), "正在开启IC卡注册模式");
  EXPECT_EQ(terminal.Calls().at(0).body, "pass=secret&id=5&");
  EXPECT_TRUE(log.Has(TerminalUrl(address, kFaceIcCardRegist)));
}

}  // namespace
}  // namespace pmr::terminal
