#include "net/http_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <sstream>
#include <thread>

#include "net/http_server_test_util.h"

namespace pmr::net {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::chrono_literals;
using testing::ConnectTo;
using testing::Exchange;
using testing::ReadUntilClose;
using testing::TestServer;

constexpr char kUntouchedAnswer[] =
    "HTTP/1.1 200 OK\r\n"
    "Connection: close\r\n"
    "Content-Type: text/html\r\n"
    "Server: pmrface/1.0\r\n"
    "\r\n";

constexpr char k413Answer[] =
    "HTTP/1.1 413 Request Entity To Long\r\n"
    "Connection: close\r\n"
    "Content-Type: text/html\r\n"
    "Content-Length: 0\r\n"
    "Server: pmrface/1.0\r\n"
    "\r\n";

std::string Post(const std::string& target, const std::string& content_type,
                 const std::string& body) {
  return "POST " + target + " HTTP/1.1\r\nHost: h\r\nContent-Type: " + content_type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(HttpServerTest, UntouchedResponseIsHeadersOnlyWithoutLength) {
  TestServer t;
  EXPECT_EQ(Exchange(t.port, "GET / HTTP/1.1\r\nHost: h\r\n\r\n"), kUntouchedAnswer);
}

TEST(HttpServerTest, RequestLineAndHeadersFillTheRequest) {
  TestServer t([](THTTPRequestInfo&, THTTPResponseInfo& response) { response.ContentText = "ok"; });
  std::string answer = Exchange(t.port,
                                "get /takeimg?pid=12&name=%E5%BC%A0 HTTP/1.0\r\n"
                                "Host: 127.0.0.1:8091\r\n"
                                "..Odd: dots\r\n"
                                "Cookie: a=1; b=2\r\n"
                                "cookie: c=3\r\n"
                                "X-Folded: one\r\n"
                                "  two\r\n"
                                "\r\n");
  EXPECT_EQ(answer,
            "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html\r\n"
            "Content-Length: 2\r\nServer: pmrface/1.0\r\n\r\nok");
  auto requests = t.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const THTTPRequestInfo& r = requests[0];
  EXPECT_EQ(r.RawHTTPCommand, "get /takeimg?pid=12&name=%E5%BC%A0 HTTP/1.0");
  EXPECT_EQ(r.Command, "GET");
  EXPECT_EQ(r.Version, "HTTP/1.0");
  EXPECT_EQ(r.Document, "/takeimg");
  EXPECT_EQ(r.QueryParams, "pid=12&name=%E5%BC%A0");
  EXPECT_EQ(r.UnparsedParams, "pid=12&name=%E5%BC%A0");
  EXPECT_THAT(r.Params, ElementsAre("pid=12", "name=\xE5\xBC\xA0"));
  EXPECT_EQ(r.RemoteIP, "127.0.0.1");
  EXPECT_EQ(r.Host, "127.0.0.1:8091");
  EXPECT_EQ(r.FormParams, "");
  EXPECT_EQ(r.ContentLength, -1);
  EXPECT_FALSE(r.AuthExists);
  EXPECT_THAT(r.RawHeaders.Lines(),
              ElementsAre("Host: 127.0.0.1:8091", ".Odd: dots", "Cookie: a=1; b=2", "cookie: c=3",
                          "X-Folded: one", "  two"));
  EXPECT_EQ(r.RawHeaders.Values("x-folded"), "one two");
  EXPECT_THAT(r.Cookies, ElementsAre("a=1", "b=2", "c=3"));
}

TEST(HttpServerTest, DocumentAndHostFromTheUri) {
  TestServer t;
  Exchange(t.port, "GET /a+b.jpg HTTP/1.1\r\n\r\n");
  Exchange(t.port, "GET http://10.9.8.7:8091/pic/x%41.jpg?q=1 HTTP/1.1\r\n\r\n");
  Exchange(t.port, "GET / HTTP/1.1\r\n\r\n");
  auto requests = t.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].Document, "/a b.jpg");
  EXPECT_EQ(requests[1].Document, "/pic/xA.jpg");
  EXPECT_EQ(requests[1].Host, "10.9.8.7");
  EXPECT_EQ(requests[1].QueryParams, "q=1");
  EXPECT_EQ(requests[2].Document, "/");
}

TEST(HttpServerTest, HandlerErrorBecomes500WithItsMessage) {
  TestServer t([](THTTPRequestInfo& request, THTTPResponseInfo& response) {
    if (request.Document == "/typed") response.ContentType = "application/json";
    response.ContentLength = 99;
    throw pmr::Error("x");
  });
  const std::string tail = "Content-Length: 1\r\nServer: pmrface/1.0\r\n\r\nx";
  EXPECT_EQ(Exchange(t.port, "GET / HTTP/1.1\r\n\r\n"),
            "HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\n"
            "Content-Type: text/html\r\n" +
                tail);
  EXPECT_EQ(Exchange(t.port, "GET /typed HTTP/1.1\r\n\r\n"),
            "HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\n"
            "Content-Type: application/json\r\n" +
                tail);
}

TEST(HttpServerTest, ForeignThrownObjectEndsWithoutAnswer) {
  TestServer t([](THTTPRequestInfo& request, THTTPResponseInfo& response) {
    response.ContentText = "never sent";
    if (request.Document == "/foreign") throw 42;
  });
  EXPECT_EQ(Exchange(t.port, "GET /foreign HTTP/1.1\r\n\r\n"), "");
  // The server goes on serving.
  EXPECT_NE(Exchange(t.port, "GET / HTTP/1.1\r\n\r\n"), "");
}

TEST(HttpServerTest, SecondOfTwoBackToBackRequestsIsNotAnswered) {
  TestServer t([](THTTPRequestInfo& request, THTTPResponseInfo& response) {
    response.ContentText = request.Document;
  });
  std::string answer = Exchange(
      t.port, "GET /first HTTP/1.1\r\nHost: h\r\n\r\nGET /second HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_TRUE(answer.ends_with("\r\n\r\n/first")) << answer;
  EXPECT_EQ(answer.find("/second"), std::string::npos);
  EXPECT_EQ(t.Requests().size(), 1u);
}

TEST(HttpServerTest, FormContentTypeDecidesWhereParamsComeFrom) {
  TestServer t;
  Exchange(t.port, Post("/x?c=3", "Application/X-WWW-Form-URLEncoded", "a=1&b=2"));
  Exchange(t.port, Post("/x?c=3", "application/x-www-form-urlencoded; charset=utf-8", "a=1&b=2"));
  Exchange(t.port, Post("/index.html", "application/json", "{\"personId\":7}"));
  Exchange(t.port, Post("/x", "application/x-www-form-urlencoded", "n=%41%26&m=+"));
  auto r = t.Requests();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].UnparsedParams, "a=1&b=2\r\nc=3");
  EXPECT_THAT(r[0].Params, ElementsAre("a=1", "b=2\r\nc=3"));
  EXPECT_EQ(r[0].FormParams, "a=1&b=2");
  EXPECT_THAT(r[1].Params, ElementsAre("c=3"));
  EXPECT_EQ(r[1].FormParams, "a=1&b=2");
  EXPECT_EQ(r[2].FormParams, "{\"personId\":7}");
  EXPECT_EQ(r[2].ContentType, "application/json");
  EXPECT_EQ(r[2].ContentLength, 14);
  EXPECT_THAT(r[2].Params, IsEmpty());
  EXPECT_THAT(r[3].Params, ElementsAre("n=A&", "m= "));
}

TEST(HttpServerTest, BodyRulesWithoutAValidContentLength) {
  TestServer t([](THTTPRequestInfo& request, THTTPResponseInfo& response) {
    response.ContentText = "[" + request.FormParams + "]";
  });
  // POST without Content-Length: read until the client shuts down its sending side.
  std::string answer = Exchange(t.port, "POST / HTTP/1.1\r\n\r\nuntil-close", true);
  EXPECT_TRUE(answer.ends_with("[until-close]")) << answer;
  // Not a decimal number counts as absent.
  answer = Exchange(t.port, "POST / HTTP/1.1\r\nContent-Length: 12abc\r\n\r\nbody", true);
  EXPECT_TRUE(answer.ends_with("[body]")) << answer;
  // GET without Content-Length reads none, and answers without waiting for a close.
  answer = Exchange(t.port, "GET / HTTP/1.1\r\n\r\nignored");
  EXPECT_TRUE(answer.ends_with("\r\n\r\n[]")) << answer;
  // GET with a Content-Length reads exactly that much.
  answer = Exchange(t.port, "GET / HTTP/1.1\r\nContent-Length:  3 \r\n\r\nabcdef");
  EXPECT_TRUE(answer.ends_with("\r\n\r\n[abc]")) << answer;
  auto r = t.Requests();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[1].ContentLength, -1);
  EXPECT_FALSE(r[1].HasContentLength());
  EXPECT_EQ(r[3].ContentLength, 3);
}

TEST(HttpServerTest, HeadIsHandledLikeGetAndItsBodySent) {
  TestServer t([](THTTPRequestInfo& request, THTTPResponseInfo& response) {
    response.ContentText = request.Command;
  });
  EXPECT_TRUE(Exchange(t.port, "HEAD / HTTP/1.1\r\n\r\n")
                  .ends_with("Content-Length: 4\r\n"
                             "Server: pmrface/1.0\r\n\r\n"
                             "HEAD"));
}

TEST(HttpServerTest, MalformedRequestsAreDroppedWithTheirMessages) {
  TestServer t;
  std::string longest(16384 - std::string("GET / HTTP/1.1").size(), 'a');
  EXPECT_EQ(Exchange(t.port, "GET /" + longest + " HTTP/1.1\r\n\r\n"), kUntouchedAnswer);
  EXPECT_EQ(Exchange(t.port, "GET /" + longest + "a HTTP/1.1\r\n\r\n"), "");
  EXPECT_EQ(Exchange(t.port, "GET / HTTP/1.1\r\nX: " + std::string(20000, 'b') + "\r\n\r\n"), "");
  EXPECT_EQ(Exchange(t.port, "GARBAGE\r\n\r\n"), "");
  EXPECT_EQ(Exchange(t.port, "PUT / HTTP/1.1\r\nContent-Length: 0\r\n\r\n"), "");
  EXPECT_EQ(Exchange(t.port, "OPTIONS * HTTP/1.1\r\n\r\n"), "");
  EXPECT_EQ(t.Requests().size(), 1u);
  EXPECT_THAT(t.Errors(), ElementsAre("Max line length exceeded.", "Max line length exceeded.",
                                      "Error in parsing command."));
}

TEST(HttpServerTest, BasicAuthorizationIsDecodedOtherSchemesRefused) {
  TestServer t;
  // user:pa:ss
  Exchange(t.port, "GET / HTTP/1.1\r\nAuthorization: basic dXNlcjpwYTpzcw==\r\n\r\n");
  EXPECT_EQ(Exchange(t.port, "GET / HTTP/1.1\r\nAuthorization: Bearer abc\r\n\r\n"), "");
  EXPECT_EQ(Exchange(t.port, "GET / HTTP/1.1\r\nAuthorization: Basic abc\r\n\r\n"), "");
  auto r = t.Requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_TRUE(r[0].AuthExists);
  EXPECT_EQ(r[0].AuthUsername, "user");
  EXPECT_EQ(r[0].AuthPassword, "pa:ss");
  auto errors = t.Errors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], "Unsupported authorization scheme.");
  EXPECT_EQ(errors[1], "Uneven size in DecodeToStream.");
}

TEST(HttpServerTest, StreamBodyIsSentAndReleased) {
  std::string picture(100000, 'p');
  TestServer t([&](THTTPRequestInfo&, THTTPResponseInfo& response) {
    response.ContentStream = std::make_unique<std::istringstream>(picture);
    response.ContentType = "image/jpg";
  });
  std::string answer = Exchange(t.port, "GET /a.jpg HTTP/1.1\r\n\r\n");
  EXPECT_EQ(answer,
            "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: image/jpg\r\n"
            "Content-Length: 100000\r\nServer: pmrface/1.0\r\n\r\n" +
                picture);
}

TEST(HttpServerLimitsTest, SilentAndTricklingClientsAreDroppedAtTheHeadDeadline) {
  HttpServerLimits limits;
  limits.head_timeout = 400ms;
  TestServer t({}, limits);

  Socket silent = ConnectTo(t.port);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadUntilClose(silent), "");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 350ms);

  // A byte every 50 ms keeps every single read short but must not extend the deadline.
  Socket trickle = ConnectTo(t.port);
  const std::string head = "GET / HTTP/1.1\r\nX-Slow: " + std::string(200, 'x');
  bool dropped = false;
  for (char c : head) {
    if (trickle.WaitReadable(50ms)) {
      dropped = true;
      break;
    }
    try {
      trickle.SendAll(std::string(1, c));
    } catch (const SocketError&) {
      dropped = true;
      break;
    }
  }
  EXPECT_TRUE(dropped);
  EXPECT_THAT(t.Requests(), IsEmpty());
  EXPECT_THAT(t.Errors(), ElementsAre("Read timed out.", "Read timed out."));
}

TEST(HttpServerTest, ARequestThatComesLateOnAQuietConnectionIsAnswered) {
  TestServer t;
  // Quiet past the second in which the listener holds a connection back for its first bytes.
  for (auto quiet : {300ms, 1500ms}) {
    Socket socket = ConnectTo(t.port);
    std::this_thread::sleep_for(quiet);
    socket.SendAll("GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(ReadUntilClose(socket, 5s), kUntouchedAnswer) << quiet.count();
  }
}

TEST(HttpServerLimitsTest, StalledHeadIsAnswered408) {
  HttpServerLimits limits;
  limits.head_timeout = 300ms;
  TestServer t({}, limits);
  const std::string k408 =
      "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Type: text/html\r\n"
      "Content-Length: 0\r\nServer: pmrface/1.0\r\n\r\n";
  // Part of the request line, and a whole request line without the end of the head.
  for (const char* partial : {"GET /ind", "GET / HTTP/1.1\r\nHost: x\r\n"}) {
    Socket socket = ConnectTo(t.port);
    socket.SendAll(partial);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadUntilClose(socket), k408) << partial;
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
  }
  EXPECT_THAT(t.Requests(), IsEmpty());
}

TEST(HttpServerLimitsTest, StalledBodyIsDropped) {
  HttpServerLimits limits;
  limits.body_timeout = 300ms;
  TestServer t({}, limits);
  Socket socket = ConnectTo(t.port);
  socket.SendAll("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc");
  EXPECT_EQ(ReadUntilClose(socket), "");
  // Without a Content-Length the body ends at the close, so a peer that stays silent is cut.
  Socket open_ended = ConnectTo(t.port);
  open_ended.SendAll("POST / HTTP/1.1\r\n\r\nabc");
  EXPECT_EQ(ReadUntilClose(open_ended), "");
  EXPECT_THAT(t.Requests(), IsEmpty());
}

TEST(HttpServerLimitsTest, LargeBodiesGet413) {
  TestServer t;
  // Refused on its Content-Length alone, while the client is still sending.
  Socket socket = ConnectTo(t.port);
  const std::string body(2 << 20, 'z');
  std::thread sender([&] {
    try {
      socket.SendAll("POST / HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\n\r\n" + body);
    } catch (const SocketError&) {
    }
  });
  std::string answer = ReadUntilClose(socket);
  sender.join();
  EXPECT_EQ(answer, k413Answer);

  // A body read until the close that grows past the cap.
  HttpServerLimits small;
  small.max_body_bytes = 64 * 1024;
  TestServer s({}, small);
  Socket open_ended = ConnectTo(s.port);
  std::thread feeder([&] {
    try {
      open_ended.SendAll("POST / HTTP/1.1\r\n\r\n" + std::string(100 * 1024, 'y'));
    } catch (const SocketError&) {
    }
  });
  answer = ReadUntilClose(open_ended);
  feeder.join();
  EXPECT_EQ(answer, k413Answer);
  // Exactly the cap is still served.
  std::string fits = Exchange(s.port, Post("/", "text/plain", std::string(64 * 1024, 'y')));
  EXPECT_TRUE(fits.starts_with("HTTP/1.1 200 OK\r\n"));
  EXPECT_THAT(t.Requests(), IsEmpty());
  EXPECT_EQ(s.Requests().size(), 1u);
}

TEST(HttpServerLimitsTest, PeerThatNeverReadsIsDroppedAtTheSendTimeout) {
  HttpServerLimits limits;
  limits.send_timeout = 300ms;
  TestServer t(
      [](THTTPRequestInfo&, THTTPResponseInfo& response) {
        response.ContentText = std::string(32 << 20, 'w');
      },
      limits);
  Socket reader_that_never_reads = ConnectTo(t.port);
  reader_that_never_reads.SendAll("GET / HTTP/1.1\r\n\r\n");
  for (int i = 0; i < 400 && t.Errors().empty(); ++i) std::this_thread::sleep_for(25ms);
  auto errors = t.Errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], ::testing::StartsWith("send: "));
  for (int i = 0; i < 400 && t.server.ConnectionCount() > 0; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(t.server.ConnectionCount(), 0u);
}

TEST(HttpServerLimitsTest, ConnectionBeyondTheCapIsClosedAtOnce) {
  TestServer t;
  auto wait_for_count = [&](auto done) {
    for (int i = 0; i < 2000 && !done(t.server.ConnectionCount()); ++i) {
      std::this_thread::sleep_for(5ms);
    }
  };
  // Each begins a request, so that the listener hands it over at once.
  const auto begin_request = [&] {
    Socket socket = ConnectTo(t.port);
    socket.SendAll("GET");
    return socket;
  };
  std::vector<Socket> held;
  for (std::size_t i = 1; i <= 256; ++i) {
    held.push_back(begin_request());
    // Pace the connects to the listener, so that none waits in a full backlog.
    if (i % 8 == 0) wait_for_count([&](std::size_t n) { return n >= i; });
  }
  wait_for_count([](std::size_t n) { return n >= 256; });
  ASSERT_EQ(t.server.ConnectionCount(), 256u);

  Socket extra = begin_request();
  ASSERT_TRUE(extra.WaitReadable(5s));
  EXPECT_EQ(ReadUntilClose(extra), "");
  EXPECT_EQ(t.server.ConnectionCount(), 256u);

  // A freed place serves again.
  held.pop_back();
  wait_for_count([](std::size_t n) { return n < 256; });
  EXPECT_EQ(Exchange(t.port, "GET / HTTP/1.1\r\n\r\n"), kUntouchedAnswer);
}

TEST(HttpServerThreadsTest, SlowHandlersRunTogether) {
  constexpr int kClients = 8;
  std::mutex mutex;
  std::condition_variable all_in;
  int inside = 0;
  TestServer t([&](THTTPRequestInfo&, THTTPResponseInfo& response) {
    std::unique_lock lock(mutex);
    ++inside;
    all_in.notify_all();
    bool together = all_in.wait_for(lock, 20s, [&] { return inside >= kClients; });
    response.ContentText = together ? "together" : "alone";
  });
  std::vector<std::string> answers(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] { answers[i] = Exchange(t.port, "GET / HTTP/1.1\r\n\r\n"); });
  }
  for (auto& c : clients) c.join();
  for (const auto& a : answers) EXPECT_TRUE(a.ends_with("\r\n\r\ntogether")) << a;
}

TEST(HttpServerThreadsTest, DeactivationWaitsForARunningHandler) {
  std::atomic<bool> entered{false};
  std::atomic<bool> finished{false};
  TestServer t([&](THTTPRequestInfo&, THTTPResponseInfo& response) {
    entered = true;
    std::this_thread::sleep_for(300ms);
    response.ContentText = "late";
    finished = true;
  });
  Socket idle = ConnectTo(t.port);
  idle.SendAll("GET");  // waits in its head read: deactivation cuts it short
  Socket busy = ConnectTo(t.port);
  busy.SendAll("GET / HTTP/1.1\r\n\r\n");
  while (!entered) std::this_thread::sleep_for(5ms);
  EXPECT_NO_THROW(t.server.SetActive(false));
  EXPECT_TRUE(finished);
  EXPECT_FALSE(t.server.Active());
  EXPECT_EQ(t.server.ConnectionCount(), 0u);
  EXPECT_EQ(ReadUntilClose(idle), "");
}

TEST(HttpServerThreadsTest, DeactivationTimesOutOnAStuckHandlerAndDestructionWaits) {
  std::mutex mutex;
  std::condition_variable released_cv;
  bool released = false;
  std::atomic<bool> entered{false};
  std::thread releaser;
  {
    TestServer t([&](THTTPRequestInfo&, THTTPResponseInfo&) {
      entered = true;
      std::unique_lock lock(mutex);
      released_cv.wait_for(lock, 20s, [&] { return released; });
    });
    t.server.TerminateWaitTime = 300;
    Socket busy = ConnectTo(t.port);
    busy.SendAll("GET / HTTP/1.1\r\n\r\n");
    while (!entered) std::this_thread::sleep_for(5ms);
    try {
      t.server.SetActive(false);
      ADD_FAILURE() << "no time-out";
    } catch (const HttpServerError& e) {
      EXPECT_STREQ(e.what(), "Terminate Thread Timeout");
    }
    EXPECT_FALSE(t.server.Active());
    EXPECT_EQ(t.server.ConnectionCount(), 1u);
    releaser = std::thread([&] {
      std::this_thread::sleep_for(200ms);
      std::lock_guard lock(mutex);
      released = true;
      released_cv.notify_all();
    });
  }  // the destructor waits for the handler
  releaser.join();
}

TEST(HttpServerThreadsTest, IdleThreadsAreWokenAtDeactivation) {
  TestServer t;
  for (int i = 0; i < 4; ++i) Exchange(t.port, "GET / HTTP/1.1\r\n\r\n");
  // Idle connection threads wait longer than this for work unless deactivation wakes them.
  t.server.TerminateWaitTime = 1000;
  EXPECT_NO_THROW(t.server.SetActive(false));
}

TEST(HttpServerTest, KeepAliveServesTheNextRequestOnTheConnection) {
  TestServer t([](THTTPRequestInfo& request, THTTPResponseInfo& response) {
    response.ContentText = request.Document;
    if (request.Document == "/missing") response.SetResponseNo(404);
  });
  t.server.SetActive(false);
  t.server.KeepAlive = true;
  t.server.Bindings[0].Port = t.port;
  t.server.SetActive(true);
  const std::string get = " HTTP/1.1\r\nHost: h\r\n\r\n";
  std::string answers =
      Exchange(t.port, "GET /a" + get + "GET /missing" + get + "GET /never" + get, true);
  EXPECT_EQ(answers,
            "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Type: text/html\r\n"
            "Content-Length: 2\r\nServer: pmrface/1.0\r\n\r\n/a"
            "HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Type: text/html\r\n"
            "Content-Length: 8\r\nServer: pmrface/1.0\r\n\r\n/missing");
  EXPECT_EQ(t.Requests().size(), 2u);
}

TEST(HttpServerLimitsTest, OversizedHeadIsDropped) {
  HttpServerLimits limits;
  limits.max_head_bytes = 4096;
  TestServer t({}, limits);
  std::string head = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 100; ++i)
    head += "X-Filler-" + std::to_string(i) + ": " + std::string(40, 'f') + "\r\n";
  EXPECT_EQ(Exchange(t.port, head + "\r\n"), "");
  EXPECT_THAT(t.Errors(), ElementsAre("Request head too large."));
  EXPECT_THAT(t.Requests(), IsEmpty());
}

TEST(HttpServerTest, TakenPortFailsActivationAndReactivationWorks) {
  TestServer first;
  THTTPServer second;
  second.Bindings.push_back({"127.0.0.1", first.port});
  try {
    second.SetActive(true);
    ADD_FAILURE() << "bound twice";
  } catch (const HttpServerError& e) {
    EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
  }
  EXPECT_FALSE(second.Active());

  first.server.SetActive(false);
  EXPECT_EQ(first.server.ListeningPort(), 0);
  first.server.Bindings[0].Port = first.port;
  first.server.SetActive(true);
  EXPECT_EQ(first.server.ListeningPort(), first.port);
  EXPECT_EQ(Exchange(first.port, "GET / HTTP/1.1\r\n\r\n"), kUntouchedAnswer);
}

}  // namespace
}  // namespace pmr::net
