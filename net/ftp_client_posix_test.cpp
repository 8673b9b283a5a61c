#include "net/ftp_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "net/testing/ftp_test_servers.h"

namespace pmr::net {
namespace {

using namespace std::chrono_literals;
using net::testing::BoundConnection;
using net::testing::FakeFtpServer;
using net::testing::FakeFtpSession;
using net::testing::PyFtpServer;
using net::testing::RandomBytes;
using net::testing::TempFolder;
using net::testing::WriteFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

// The replies that take a client through login to a working session.
void AnswerLogin(const std::string& command, FakeFtpSession& s) {
  if (command.rfind("USER ", 0) == 0) s.Reply("331 Password required\r\n");
  if (command.rfind("PASS ", 0) == 0) s.Reply("230 Logged in\r\n");
  if (command == "TYPE I") s.Reply("200 Type set to I\r\n");
  if (command == "SYST") s.Reply("215 UNIX Type: L8\r\n");
  if (command.rfind("PORT ", 0) == 0) s.Reply("200 PORT ok\r\n");
}

TFTPClient ClientFor(uint16_t port, const std::string& host = "127.0.0.1") {
  TFTPClient client;
  client.set_host(host);
  client.set_port(port);
  client.set_username("anonymous");
  client.set_password("pw");
  return client;
}

int ReplyCode(const std::function<void()>& action) {
  try {
    action();
  } catch (const FtpReplyError& e) {
    return e.code();
  }
  return -1;
}

class FtpClientAgainstPyftpdlib : public ::testing::Test {
 protected:
  FtpClientAgainstPyftpdlib() {
    WriteFile(root_.path() / "snap" / "2020" / "a1.jpg", picture_);
    WriteFile(root_.path() / "big.bin", big_);
  }

  TempFolder root_;
  std::string picture_ = RandomBytes(200 * 1024, 1);
  std::string big_ = RandomBytes(5 * 1024 * 1024, 2);
  PyFtpServer server_{root_.path(), "pw"};
};

TEST_F(FtpClientAgainstPyftpdlib, LogsInChangesDirAndRetrievesFilesIntact) {
  TFTPClient client = ClientFor(server_.port());
  client.Connect();
  ASSERT_TRUE(client.Connected());
  EXPECT_EQ(client.system_desc(), "UNIX Type: L8");

  client.ChangeDir("/snap/2020/");
  EXPECT_EQ(client.Size("a1.jpg"), static_cast<int64_t>(picture_.size()));
  std::ostringstream picture;
  EXPECT_TRUE(client.Get("a1.jpg", picture));
  EXPECT_TRUE(picture.str() == picture_) << "picture differs";

  // A second retrieval on the same control connection, a 5 MB one.
  client.ChangeDir("/");
  std::ostringstream big;
  EXPECT_TRUE(client.Get("big.bin", big));
  EXPECT_EQ(big.str().size(), big_.size());
  EXPECT_TRUE(big.str() == big_) << "5 MB file differs";

  client.Disconnect();
  EXPECT_FALSE(client.Connected());
}

TEST_F(FtpClientAgainstPyftpdlib, RefusalsCarryTheReplyAndLeaveTheSessionUsable) {
  TFTPClient client = ClientFor(server_.port());
  client.Connect();

  try {
    client.ChangeDir("/nowhere/");
    FAIL() << "CWD to a missing folder succeeded";
  } catch (const FtpReplyError& e) {
    EXPECT_EQ(e.code(), 550);
    EXPECT_THAT(e.what(), HasSubstr("No such file or directory"));
  }
  EXPECT_EQ(client.Size("missing.jpg"), -1);
  std::ostringstream nothing;
  EXPECT_EQ(ReplyCode([&] { (void)client.Get("missing.jpg", nothing); }), 550);
  EXPECT_EQ(nothing.str(), "");

  client.ChangeDir("/snap/2020");
  std::ostringstream picture;
  EXPECT_TRUE(client.Get("a1.jpg", picture));
  EXPECT_EQ(picture.str().size(), picture_.size());
}

TEST_F(FtpClientAgainstPyftpdlib, WrongPasswordFailsWithTheReplyAndCloses) {
  TFTPClient client = ClientFor(server_.port());
  client.set_password("wrong");
  EXPECT_EQ(ReplyCode([&] { client.Connect(); }), 530);
  EXPECT_FALSE(client.Connected());
}

TEST(FtpClientTest, ServerDyingMidTransferIsAnError) {
  TempFolder root;
  std::string file = RandomBytes(4 * 1024 * 1024);
  WriteFile(root.path() / "dies.bin", file);
  PyFtpServer server(root.path(), "pw");
  TFTPClient client = ClientFor(server.port());
  client.Connect();
  std::ostringstream received;
  EXPECT_THROW((void)client.Get("dies.bin", received), pmr::Error);
  EXPECT_LT(received.str().size(), file.size());
}

TEST(FtpClientTest, ConnectionRefusedIsASocketError) {
  uint16_t port;
  {
    Socket probe = Socket::Listen("127.0.0.1", 0);
    port = probe.LocalPort();
  }
  TFTPClient client = ClientFor(port);
  EXPECT_THROW(client.Connect(), SocketError);
  EXPECT_FALSE(client.Connected());
}

TEST(FtpClientTest, MultiLineGreetingAndLoginWithoutPassword) {
  FakeFtpServer fake("220-Welcome\r\n220-to the fake\r\n\r\n  220 Ready  \r\n",
                     [](const std::string& command, FakeFtpSession& s) {
                       if (command.rfind("USER ", 0) == 0) s.Reply("\r\n\r\n230 Come in\r\n");
                       if (command == "TYPE I") s.Reply("200 ok\r\n");
                       if (command == "SYST") s.Reply("500 What?\r\n");
                       if (command.rfind("CWD ", 0) == 0) {
                         s.Reply("250-Changed\r\n250-to\r\n250 there\r\n");
                       }
                     });
  TFTPClient client = ClientFor(fake.port());
  client.Connect();
  EXPECT_EQ(client.system_desc(), "Unknown");
  client.ChangeDir("/pics/");
  client.Disconnect();
  fake.Join();
  // No PASS after 230, and no QUIT at the end.
  EXPECT_THAT(fake.commands(), ElementsAre("USER anonymous", "TYPE I", "SYST", "CWD /pics/"));
  EXPECT_EQ(fake.error(), "");
}

TEST(FtpClientTest, ActiveRetrievalSizeAnswersAndReplyText) {
  FakeFtpServer fake("220 fake\r\n", [](const std::string& command, FakeFtpSession& s) {
    AnswerLogin(command, s);
    if (command == "SIZE a") s.Reply("550 SIZE not allowed\r\n");
    if (command == "SIZE b") s.Reply("213 1234\r\n");
    if (command == "SIZE c") s.Reply("213 lots\r\n");
    if (command == "RETR pic.jpg") {
      s.Reply("150 Opening BINARY mode data connection\r\n");
      s.SendData(std::string("\0\r\n\xff picture", 12));
      s.Reply("226 Transfer complete\r\n");
    }
    if (command == "RETR missing.jpg") s.Reply("550 No such file.\r\n");
  });
  TFTPClient client = ClientFor(fake.port());
  client.Connect();
  EXPECT_EQ(client.Size("a"), -1);
  EXPECT_EQ(client.Size("b"), 1234);
  EXPECT_EQ(client.Size("c"), -1);

  std::ostringstream out;
  EXPECT_TRUE(client.Get("pic.jpg", out));
  EXPECT_EQ(out.str(), std::string("\0\r\n\xff picture", 12));
  try {
    (void)client.Get("missing.jpg", out);
    FAIL() << "RETR 550 succeeded";
  } catch (const FtpReplyError& e) {
    EXPECT_EQ(e.code(), 550);
    EXPECT_STREQ(e.what(), "No such file.");
  }
  client.Disconnect();
  fake.Join();

  std::vector<std::string> commands = fake.commands();
  ASSERT_GE(commands.size(), 9u);
  // The PORT names the control connection's local address and a port that took the data.
  EXPECT_THAT(commands[7], MatchesRegex("PORT 127,0,0,1,[0-9]+,[0-9]+"));
  EXPECT_EQ(commands[8], "RETR pic.jpg");
  EXPECT_EQ(fake.error(), "");
}

TEST(FtpClientTest, FinalRepliesAfterTheData) {
  FakeFtpServer fake("220 fake\r\n", [](const std::string& command, FakeFtpSession& s) {
    AnswerLogin(command, s);
    if (command.rfind("RETR ", 0) != 0) return;
    s.Reply("150 here it comes\r\n");
    s.SendData("data");
    if (command == "RETR aborted426")
      s.Reply("426 Connection closed; transfer aborted\r\n226 ok\r\n");
    if (command == "RETR aborted450") s.Reply("450 Aborted\r\n225 Data connection open\r\n");
    if (command == "RETR bad-after-426") s.Reply("426 Aborted\r\n550 Gone\r\n");
    if (command == "RETR odd-final") s.Reply("551 Page type unknown\r\n");
    if (command == "RETR also-fine") s.Reply("250 Done\r\n");
  });
  TFTPClient client = ClientFor(fake.port());
  client.Connect();

  std::ostringstream a;
  EXPECT_FALSE(client.Get("aborted426", a));
  EXPECT_EQ(a.str(), "data");
  std::ostringstream b;
  EXPECT_FALSE(client.Get("aborted450", b));
  EXPECT_EQ(b.str(), "data");
  std::ostringstream c;
  EXPECT_EQ(ReplyCode([&] { (void)client.Get("bad-after-426", c); }), 550);
  std::ostringstream d;
  EXPECT_EQ(ReplyCode([&] { (void)client.Get("odd-final", d); }), 551);
  EXPECT_EQ(d.str(), "data");  // written before the reply was judged
  std::ostringstream e;
  EXPECT_TRUE(client.Get("also-fine", e));
  client.Disconnect();
  fake.Join();
  EXPECT_EQ(fake.error(), "");
}

TEST(FtpClientTest, WaitForTheDataConnectionIsBounded) {
  FakeFtpServer fake("220 fake\r\n", [](const std::string& command, FakeFtpSession& s) {
    AnswerLogin(command, s);
    if (command == "RETR silent") s.Reply("150 ok\r\n");  // and never connects
    if (command == "RETR refused") s.Reply("150 ok\r\n425 Can't open data connection.\r\n");
    if (command == "RETR stalls") {
      s.Reply("150 ok\r\n");
      Socket data = Socket::Connect(s.data_host(), s.data_port(), 5s);
      data.SendAll("begun");
      char byte;
      data.SetReceiveTimeout(5s);
      try {
        (void)data.Receive(&byte, 1);  // until the client gives up
      } catch (const SocketError&) {
      }
    }
  });
  TFTPClient client = ClientFor(fake.port());
  FtpTimeouts timeouts;
  timeouts.data = 300ms;
  client.set_timeouts(timeouts);
  client.Connect();

  auto start = std::chrono::steady_clock::now();
  std::ostringstream out;
  try {
    (void)client.Get("silent", out);
    FAIL() << "a retrieval without data connection succeeded";
  } catch (const SocketError& e) {
    EXPECT_TRUE(e.IsTimeout()) << e.what();
  }
  try {
    (void)client.Get("stalls", out);
    FAIL() << "a stalled data connection succeeded";
  } catch (const SocketError& e) {
    EXPECT_TRUE(e.IsTimeout()) << e.what();
  }
  EXPECT_EQ(out.str(), "begun");

  // A refusal on the control connection ends the wait at once, whatever the time-out.
  timeouts.data = 20s;
  client.set_timeouts(timeouts);
  EXPECT_EQ(ReplyCode([&] { (void)client.Get("refused", out); }), 425);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  client.Disconnect();
}

TEST(FtpClientTest, DataConnectionOnlyFromTheControlPeer) {
  // The fake listens on 127.0.0.2 while the client's end of the control connection is
  // 127.0.0.1: a connection to the data port from 127.0.0.1 is a stranger's.
  std::atomic<int> strangers_turned_away{0};
  std::atomic<int> data_port{0};
  FakeFtpServer fake(
      "220 fake\r\n",
      [&](const std::string& command, FakeFtpSession& s) {
        AnswerLogin(command, s);
        if (command.rfind("RETR ", 0) != 0) return;
        s.Reply("150 ok\r\n");
        data_port = s.data_port();
        BoundConnection stranger("127.0.0.1", s.data_host(), s.data_port());
        stranger.SendAll("forged");
        if (stranger.ClosedByPeer(5s)) ++strangers_turned_away;
        if (command == "RETR pic") {
          BoundConnection genuine("127.0.0.2", s.data_host(), s.data_port());
          genuine.SendAll("genuine");
          genuine.Close();
          s.Reply("226 done\r\n");
        }
      },
      "127.0.0.2");
  TFTPClient client = ClientFor(fake.port(), "127.0.0.2");
  client.Connect();
  std::ostringstream out;
  EXPECT_TRUE(client.Get("pic", out));
  EXPECT_EQ(out.str(), "genuine");
  EXPECT_EQ(strangers_turned_away, 1);
  // One data connection is taken, then the listener is gone.
  EXPECT_THROW((void)Socket::Connect("127.0.0.1", static_cast<std::uint16_t>(data_port.load()), 1s),
               SocketError);

  FtpTimeouts timeouts;
  timeouts.data = 500ms;
  client.set_timeouts(timeouts);
  std::ostringstream forged;
  EXPECT_THROW((void)client.Get("only-stranger", forged), SocketError);
  EXPECT_EQ(forged.str(), "");
  EXPECT_EQ(strangers_turned_away, 2);
  client.Disconnect();
  fake.Join();
  EXPECT_EQ(fake.error(), "");
}

TEST(FtpClientTest, BrokenRepliesAreErrorsNotHangs) {
  struct Case {
    std::string greeting;
    int code;
  };
  const Case cases[] = {
      {std::string("220 fa\0ke\r\n", 11), 0},
      {std::string(20 * 1024, 'x'), 0},  // no line end in sight
      {"hello there\r\n", 0},
      {"22\r\n", 0},
      {"421 Too busy\r\n", 421},
  };
  for (const Case& c : cases) {
    FakeFtpServer fake(c.greeting, [](const std::string&, FakeFtpSession&) {});
    TFTPClient client = ClientFor(fake.port());
    EXPECT_EQ(ReplyCode([&] { client.Connect(); }), c.code) << c.greeting.substr(0, 20);
    EXPECT_FALSE(client.Connected());
  }

  // A server that never finishes its multi-line greeting.
  FakeFtpServer silent("220-Hello\r\n", [](const std::string&, FakeFtpSession&) {});
  TFTPClient client = ClientFor(silent.port());
  FtpTimeouts timeouts;
  timeouts.reply = 300ms;
  client.set_timeouts(timeouts);
  try {
    client.Connect();
    FAIL() << "connected to a silent server";
  } catch (const SocketError& e) {
    EXPECT_TRUE(e.IsTimeout()) << e.what();
  }
  EXPECT_FALSE(client.Connected());
}

TEST(FtpClientTest, ArgumentsCannotSmuggleCommands) {
  FakeFtpServer fake("220 fake\r\n", [](const std::string& command, FakeFtpSession& s) {
    AnswerLogin(command, s);
    if (command.rfind("CWD ", 0) == 0) s.Reply("250 ok\r\n");
  });
  TFTPClient client = ClientFor(fake.port());
  client.Connect();
  EXPECT_THROW(client.ChangeDir("/a\r\nDELE b"), pmr::Error);
  EXPECT_THROW((void)client.Size(std::string("a\0b", 3)), pmr::Error);
  client.ChangeDir("/a");
  client.Disconnect();
  fake.Join();
  EXPECT_THAT(fake.commands(),
              ElementsAre("USER anonymous", "PASS pw", "TYPE I", "SYST", "CWD /a"));
}

}  // namespace
}  // namespace pmr::net
