#include "terminal/page_api.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "base/text.h"
#include "portal/panes.h"
#include "terminal/testing/page_api_fixture.h"
#include "terminal/testing/terminal_fakes.h"

#ifndef PMR_CORPORA_DIR
#define PMR_CORPORA_DIR ""
#endif

namespace pmr::terminal {
namespace {

namespace fs = std::filesystem;
using testing::FakeTerminal;
using testing::kSecret;
using testing::PageApiTest;
using testing::RecordingLog;
using testing::Reply;
using testing::WriteFile;
using Paths = std::vector<std::string>;

TEST_F(PageApiTest, TakeImgCreatesUnknownPersonAndAnswersInCp936) {
  FakeTerminal terminal([](const std::string& path, int nth) -> std::string {
    if (path == kPersonFind) return nth == 0 ? "人员不存在" : "ok";
    if (path == kFaceTakeImg) return "正在开启自动拍照模式";
    return "ok";
  });
  UseTerminal(terminal);
  const Reply reply = Get("/takeimg?pid=7&name=%E5%BC%A0%E4%B8%89");
  EXPECT_EQ(reply.head.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_TRUE(reply.HasLine("Access-Control-Allow-Origin:*"));
  EXPECT_TRUE(reply.HasLine("Access-Control-Allow-Methods:*"));
  EXPECT_TRUE(reply.HasLine("Content-Type: text/html"));
  EXPECT_EQ(reply.body, Utf8ToCp936("jdqfaceapi_takeimg('正在开启自动拍照模式')"));
  EXPECT_EQ(terminal.Paths(),
            (Paths{"/person/find", "/person/create", "/person/find", "/face/takeImg"}));
  EXPECT_NE(terminal.Calls()[1].body.find("%22name%22%3A%22%E5%BC%A0%E4%B8%89%22"),
            std::string::npos);
  EXPECT_TRUE(log_.Has("/takeimg"));
  EXPECT_TRUE(log_.Has("0----pid=7"));
  EXPECT_TRUE(log_.Has("1----name=张三"));
}

TEST_F(PageApiTest, NameInCodePage936ReachesTerminalAsUtf8) {
  FakeTerminal terminal(
      [](const std::string&, int) { return std::string("正在开启IC卡注册模式"); });
  UseTerminal(terminal);
  // 张三 in code page 936.
  const Reply reply = Get("/update?pid=8&name=%D5%C5%C8%FD");
  EXPECT_EQ(reply.body, Utf8ToCp936("jdqfaceapi_update('操作成功！')"));
  ASSERT_EQ(terminal.Paths(), (Paths{"/person/update"}));
  EXPECT_NE(terminal.Calls()[0].body.find("%E5%BC%A0%E4%B8%89"), std::string::npos);
}

TEST_F(PageApiTest, ParameterWalk) {
  FakeTerminal terminal([](const std::string&, int) { return std::string("ok"); });
  UseTerminal(terminal);
  // Later lines win; the test is case-sensitive, the removal is not; one line sets both.
  Get("/clearimg?pid=3&NAME=x&Pid=Apid=4");
  Get("/update?name=a&xname=b&NAME=c");
  Get("/update?pid=name=5");
  auto calls = terminal.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].body, "pass=pw&id=Apid%3D4&");
  EXPECT_EQ(calls[1].body,
            "pass=pw&person=" + std::string("%7B%22id%22%3A%22%22%2C%22idcardNum%22%3A%22%22%2C"
                                            "%22name%22%3A%22xb%22%7D&"));
  EXPECT_EQ(calls[2].body,
            "pass=pw&person=" + std::string("%7B%22id%22%3A%22name%3D5%22%2C%22idcardNum%22%3A%22%"
                                            "22%2C%22name%22%3A%22pid%3D5%22%7D&"));
}

TEST_F(PageApiTest, ResultTextIsEscapedForTheScriptString) {
  const std::string sneaky = "');alert(1);('\\";
  FakeTerminal terminal([sneaky](const std::string&, int) { return sneaky; });
  UseTerminal(terminal);
  const Reply reply = Get("/takecard?pid=1&name=n");
  EXPECT_EQ(reply.body,
            Utf8ToCp936("jdqfaceapi_takecard('" + portal::EscapeScriptString(sneaky) + "')"));
  // Between the delimiters, every quote is escaped.
  const std::string inner = reply.body.substr(
      sizeof("jdqfaceapi_takecard('") - 1, reply.body.size() - sizeof("jdqfaceapi_takecard('") - 1);
  for (std::size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '\\')
      ++i;
    else
      EXPECT_NE(inner[i], '\'') << inner;
  }
}

TEST_F(PageApiTest, CommandsWithoutTerminalOrName) {
  EXPECT_EQ(Get("/clearimg?pid=1").body,
            Utf8ToCp936("jdqfaceapi_clearimg('操作失败，请重新操作。')"));

  FakeTerminal terminal([](const std::string&, int) { return std::string("ok"); });
  UseTerminal(terminal);
  EXPECT_EQ(Get("/update?pid=1").body, "jdqfaceapi_update('')");
  EXPECT_TRUE(terminal.Calls().empty());
  // Routes compare the whole document, letter case included.
  const Reply other = Get("/TakeImg?pid=1&name=n");
  EXPECT_TRUE(other.body.empty());
  EXPECT_TRUE(other.HasLine("Access-Control-Allow-Origin:*"));
  EXPECT_TRUE(terminal.Calls().empty());
}

TEST(DeleteIdRule, RefusesEveryPersonAndNobodyInAnySpelling) {
  for (const char* id :
       {"-1",       " -1", "\t-1\r\n", "-01",    "-001",    "-1.0",  "-1.00",  "-1.",   "-01.000",
        "+-1",      "-+1", "--1",      "-10e-1", "-0.1E+1", "-.1e1", "-1e0",   "-1E-0", "-100e-2",
        "-0.001e3", "-1d", "-1L",      "-1.0f",  "",        " ",     "\t\r\n "}) {
    EXPECT_TRUE(IsRefusedDeleteId(id)) << '"' << id << '"';
  }
  for (const char* id :
       {"77",    "1",    "+1",     "01",     "0",   "-0",   "-2",  "-11",  "-10",   "-0.1",
        "-1.01", "-1e1", "-10e-2", "-",      "-.",  "-e",   "-1e", "-1e+", "-1e-x", "-1x",
        "-1dd",  "- 1",  "-1 1",   "-1.0.0", "a-1", "-1,2", "-１", "1-1"}) {
    EXPECT_FALSE(IsRefusedDeleteId(id)) << '"' << id << '"';
  }
  EXPECT_TRUE(IsRefusedDeleteId("-1e" + std::string(30, '0')));
  EXPECT_FALSE(IsRefusedDeleteId("-1e" + std::string(30, '9')));
  EXPECT_TRUE(IsRefusedDeleteId("-0." + std::string(5000, '0') + "1e5001"));
}

TEST_F(PageApiTest, ClearimgNeverClearsTheWholeTerminal) {
  FakeTerminal terminal([](const std::string&, int) { return std::string("ok"); });
  UseTerminal(terminal);
  const std::string refused = Utf8ToCp936("jdqfaceapi_clearimg('操作失败，请重新操作。')");
  for (const char* target : {"/clearimg?pid=-1", "/clearimg?pid=%2D1", "/clearimg?pid=+-1",
                             "/clearimg?pid=-01", "/clearimg?pid=-1.0", "/clearimg?pid=",
                             "/clearimg?pid=%20%09", "/clearimg", "/clearimg?name=x&pid=-1"}) {
    const Reply reply = Get(target);
    EXPECT_EQ(reply.head.substr(0, 15), "HTTP/1.1 200 OK") << target;
    EXPECT_TRUE(reply.HasLine("Access-Control-Allow-Origin:*")) << target;
    EXPECT_EQ(reply.body, refused) << target;
  }
  EXPECT_TRUE(terminal.Calls().empty());

  EXPECT_EQ(Get("/clearimg?pid=77").body, Utf8ToCp936("jdqfaceapi_clearimg('操作成功！')"));
  const auto calls = terminal.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].path, "/person/delete");
  EXPECT_EQ(calls[0].body, "pass=pw&id=77&");
}

TEST_F(PageApiTest, ForeignHostGets403AndRunsNothing) {
  FakeTerminal terminal([](const std::string&, int) { return std::string("ok"); });
  UseTerminal(terminal);
  WriteFile(pictures_ / "p.jpg", "picture");
  const std::string port = std::to_string(server_.port);
  const std::string other_port = std::to_string(server_.port == 8090 ? 8091 : 8090);
  const std::string forbidden =
      "HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Type: text/html\r\n"
      "Content-Length: 0\r\nAccess-Control-Allow-Origin:*\r\nAccess-Control-Allow-Methods:*\r\n"
      "Server: pmrface/1.0\r\n\r\n";
  for (const std::string& host : std::vector<std::string>{
           "evil.example:" + port, "127.0.0.1.nip.io:" + port, "localhost:" + other_port,
           "127.0.0.1", "localhost", "", "127.0.0.2:" + port, "[::1]:" + port,
           "127.0.0.1:" + port + ".evil.example", "127.0.0.1:0" + port, "evil@127.0.0.1:" + port}) {
    for (const char* target : {"/clearimg?pid=77", "/takeimg?pid=1&name=n", "/p.jpg", "/"}) {
      const std::string raw = net::testing::Exchange(
          server_.port, std::string("GET ") + target + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
      EXPECT_EQ(raw, forbidden) << host << " " << target;
    }
  }
  EXPECT_TRUE(terminal.Calls().empty());
  EXPECT_TRUE(log_.lines().empty());

  for (const std::string& host : {"127.0.0.1:" + port, "LOCALHOST:" + port, "Localhost:" + port}) {
    EXPECT_EQ(Get("/p.jpg", "Host: " + host + "\r\n").body, "picture") << host;
  }
  // Old clients send no Host at all.
  EXPECT_EQ(Get("/p.jpg").body, "picture");
  EXPECT_EQ(Get("/clearimg?pid=77", "host:  localhost:" + port + " \r\n").body,
            Utf8ToCp936("jdqfaceapi_clearimg('操作成功！')"));
  EXPECT_EQ(terminal.Calls().size(), 1u);
}

TEST_F(PageApiTest, ServesPicturesByteExact) {
  std::string picture;
  for (int i = 0; i < 100000; ++i) picture += static_cast<char>((i * 7) & 0xFF);
  WriteFile(pictures_ / "a b.jpg", picture);
  WriteFile(pictures_ / "index.html", "<html>index</html>");

  const Reply served = Get("/a%20b.jpg");
  EXPECT_TRUE(served.HasLine("Content-Type: image/jpg"));
  EXPECT_TRUE(served.HasLine("Access-Control-Allow-Methods:*"));
  EXPECT_EQ(served.body, picture);

  const Reply index = Get("/");
  EXPECT_TRUE(index.HasLine("Content-Type: image/jpg"));
  EXPECT_EQ(index.body, "<html>index</html>");

  const Reply missing = Get("/missing.jpg");
  EXPECT_EQ(missing.head.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_TRUE(missing.HasLine("Access-Control-Allow-Origin:*"));
  EXPECT_TRUE(missing.HasLine("Access-Control-Allow-Methods:*"));
  EXPECT_TRUE(missing.body.empty());
}

TEST_F(PageApiTest, TraversalCorporaServeNothingOutside) {
  WriteFile(pictures_ / "inside.jpg", "inside");
  ASSERT_EQ(Get("/inside.jpg").body, "inside");
  const fs::path corpora = fs::path(PMR_CORPORA_DIR) / "traversal";
  ASSERT_TRUE(fs::is_directory(corpora)) << "corpus folder " << corpora << " is missing";
  int tried = 0;
  for (const auto& entry : fs::directory_iterator(corpora)) {
    if (entry.path().extension() != ".txt") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      for (auto at = line.find("{FILE}"); at != std::string::npos; at = line.find("{FILE}"))
        line.replace(at, 6, "secret.txt");
      if (line.front() != '/') line.insert(0, "/");
      const Reply reply = Get(line);
      EXPECT_EQ(reply.body.find(kSecret), std::string::npos) << line;
      EXPECT_EQ(reply.body.find("root:"), std::string::npos) << line;
      EXPECT_FALSE(reply.HasLine("Content-Type: image/jpg")) << line;
      ++tried;
    }
  }
  EXPECT_GT(tried, 0);
}

}  // namespace
}  // namespace pmr::terminal
