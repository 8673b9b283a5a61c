#include "net/http_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace pmr::net {
namespace {

using namespace std::chrono_literals;

const std::string kTail =
    "Accept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; pmrface)\r\n";

// One scripted exchange of the fake server.
struct Step {
  std::string reply;
  bool close = true;     // close the connection after the reply
  bool trickle = false;  // send the reply one byte at a time
  bool silent = false;   // never answer; wait for the client to give up
};

// A loopback server that records each request byte for byte and answers scripted bytes.
class FakeServer {
 public:
  explicit FakeServer(std::vector<Step> steps, const std::string& address = "127.0.0.1",
                      uint16_t port = 0)
      : listener_(Socket::Listen(address, port)) {
    thread_ = std::thread([this, steps = std::move(steps)] {
      try {
        Run(steps);
      } catch (const std::exception& e) {
        error_ = e.what();
      }
    });
  }
  ~FakeServer() { Join(); }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(listener_.LocalPort()) + path;
  }
  uint16_t port() const { return listener_.LocalPort(); }

  // Waits until every step has run; the requests as received, in order.
  const std::vector<std::string>& Requests() {
    Join();
    EXPECT_EQ(error_, "");
    return requests_;
  }
  int Connections() {
    Join();
    return connections_;
  }

 private:
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

  static std::string ReadRequest(Socket& conn) {
    std::string data;
    char buffer[4096];
    std::size_t head_end;
    while ((head_end = data.find("\r\n\r\n")) == std::string::npos) {
      std::size_t n = conn.Receive(buffer, sizeof buffer);
      if (n == 0) return data;
      data.append(buffer, n);
    }
    std::size_t length = 0;
    std::size_t at = data.find("\r\nContent-Length: ");
    if (at != std::string::npos && at < head_end) length = std::stoul(data.substr(at + 18));
    while (data.size() < head_end + 4 + length) {
      std::size_t n = conn.Receive(buffer, sizeof buffer);
      if (n == 0) break;
      data.append(buffer, n);
    }
    return data;
  }

  void Run(const std::vector<Step>& steps) {
    Socket conn;
    for (const Step& step : steps) {
      std::string request;
      while (request.empty()) {
        if (!conn.valid()) {
          conn = listener_.AcceptFor(5s);
          if (!conn.valid()) return;
          conn.SetReceiveTimeout(5s);
          ++connections_;
        }
        request = ReadRequest(conn);
        // The client closed this connection for a new one; the step waits there.
        if (request.empty()) conn.Close();
      }
      requests_.push_back(request);
      try {
        if (step.silent) {
          char byte;
          while (conn.Receive(&byte, 1) > 0) {
          }
        } else if (step.trickle) {
          for (char c : step.reply) conn.SendAll(std::string_view(&c, 1));
        } else {
          conn.SendAll(step.reply);
        }
      } catch (const SocketError&) {
        // The client may hang up before it has read everything; that is its right.
        conn.Close();
      }
      if (step.close || step.silent) conn.Close();
    }
  }

  Socket listener_;
  std::thread thread_;
  std::vector<std::string> requests_;
  int connections_ = 0;
  std::string error_;
};

std::string Ok(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(HttpClientTest, PostSendsTheTerminalRequestByteForByte) {
  FakeServer server({{Ok("done")}});
  THTTPClient client;
  client.Request().ContentType = "application/x-www-form-urlencoded";
  std::vector<std::string> lines = {"id=7", "name=abc"};
  EXPECT_EQ(client.Post(server.Url("/person/find"), lines), "done");
  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  EXPECT_EQ(server.Requests().at(0),
            "POST /person/find HTTP/1.0\r\n"
            "Connection: keep-alive\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\n"
            "Content-Length: 14\r\n"
            "Host: " +
                host + "\r\n" + kTail + "\r\n" + "id=7&name=abc&");
  EXPECT_EQ(client.Response().ResponseText, "HTTP/1.1 200 OK");
  EXPECT_EQ(client.Response().ResponseCode, 200);
  EXPECT_EQ(client.Response().ContentLength, 4);
}

TEST(HttpClientTest, FormEncodingRewritesTheCallersLines) {
  struct Case {
    std::vector<std::string> lines;
    std::string body;
  };
  const std::vector<Case> cases = {
      {{"name=a b"}, "name=a+b"},
      {{"v=-._*=&~"}, "v=%2D%2E%5F%2A%3D%26%7E"},
      {{"n=\xD5\xC5", "ok=Az09"}, "n=%D5%C5&ok=Az09&"},
      {{"a=", "a=x y", "flag"}, "a=&a=x+y&flag&"},
      {{"sp=1\r\n2"}, "sp=1%0D%0A2"},
      {{}, ""},
  };
  std::vector<Step> steps(cases.size(), Step{Ok("")});
  FakeServer server(steps);
  for (const Case& c : cases) {
    THTTPClient client;  // the default content type turns into the form type
    std::vector<std::string> lines = c.lines;
    client.Post(server.Url("/f"), lines);
    std::string joined;
    for (const std::string& line : lines) joined += line + "&";
    if (lines.size() < 2 && !joined.empty()) joined.pop_back();
    EXPECT_EQ(joined, c.body) << "the list keeps the encoded values";
  }
  const auto& requests = server.Requests();
  ASSERT_EQ(requests.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string& request = requests[i];
    std::size_t body_at = request.find("\r\n\r\n") + 4;
    EXPECT_EQ(request.substr(body_at), cases[i].body);
    EXPECT_NE(request.find("Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                           std::to_string(cases[i].body.size()) + "\r\n"),
              std::string::npos)
        << request;
  }
}

TEST(HttpClientTest, GetSendsHttp11WithoutConnectionOrLength) {
  FakeServer server({{Ok("x")}, {Ok("y")}});
  THTTPClient client;
  EXPECT_EQ(client.Get(server.Url("/wgate/pmr_getsp.html?hid=A+B%20")), "x");
  // Bytes that would break the request line are escaped, not sent raw.
  client.Request().CustomHeaders.Add("X-Trace: 1");
  EXPECT_EQ(client.Get(server.Url("/p?hid=AB\r\nX: 1")), "y");
  const std::string host = "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
  const auto& requests = server.Requests();
  EXPECT_EQ(requests.at(0),
            "GET /wgate/pmr_getsp.html?hid=A+B%20 HTTP/1.1\r\n"
            "Content-Type: text/html\r\n" +
                host + kTail + "\r\n");
  EXPECT_EQ(requests.at(1),
            "GET /p?hid=AB%0D%0AX:%201 HTTP/1.1\r\nContent-Type: text/html\r\nX-Trace: 1\r\n" +
                host + kTail + "\r\n");
}

TEST(HttpClientTest, HostHeaderOmitsPort80) {
  std::unique_ptr<FakeServer> server;
  try {
    server = std::make_unique<FakeServer>(std::vector<Step>{{Ok("")}}, "127.0.0.87", 80);
  } catch (const SocketError& e) {
    GTEST_SKIP() << "cannot listen on port 80: " << e.what();
  }
  THTTPClient client;
  client.Get("http://127.0.0.87/index.html");
  EXPECT_EQ(server->Requests().at(0),
            "GET /index.html HTTP/1.1\r\nContent-Type: text/html\r\n"
            "Host: 127.0.0.87\r\n" +
                kTail + "\r\n");
}

TEST(HttpClientTest, ReadsEveryBodyFraming) {
  struct Case {
    std::string reply;
    int code;
    std::string body;
  };
  // On one kept connection: a client that reads past a body's end would wait for a close
  // that never comes.
  const std::vector<Case> cases = {
      {Ok("hello world"), 200, "hello world"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n"
       "5;name=value\r\nhello\r\n6 \r\n world\r\n0\r\nExpires: never\r\nX-T: 1\r\n\r\n",
       200, "hello world"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 200, ""},
      {"HTTP/1.1 204 No Content\r\n\r\n", 204, ""},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 100 Continue\r\nX: y\r\n\r\n" + Ok("after"), 200,
       "after"},
      {"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nuntil\r\nclose", 200, "until\r\nclose"},
  };
  std::vector<Step> steps;
  for (const Case& c : cases) steps.push_back({c.reply, /*close=*/false, /*trickle=*/true});
  steps.back().close = true;
  FakeServer server(steps);
  THTTPClient client;
  client.SetReadTimeout(1s);
  for (const Case& c : cases) {
    EXPECT_EQ(client.Get(server.Url("/")), c.body) << c.reply;
    EXPECT_EQ(client.Response().ResponseCode, c.code);
  }
  EXPECT_EQ(server.Connections(), 1);
}

TEST(HttpClientTest, RefusedStatusesRaiseProtocolErrors) {
  struct Case {
    std::string reply;
    int code;
    std::string message;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"HTTP/1.1 404 Not Found\r\nContent-Length: 7\r\n\r\nmissing", 404, "HTTP/1.1 404 Not Found",
       "missing"},
      {"HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 0\r\n\r\n", 302,
       "HTTP/1.1 302 Found", ""},
      {"HTTP/1.1 200 OK\r\nLocation: /x\r\n\r\nclose-delimited", 200, "HTTP/1.1 200 OK",
       "close-delimited"},
      {"HTTP/1.0 500 Internal Server Error\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nbad\r\n0\r\n"
       "\r\n",
       500, "HTTP/1.0 500 Internal Server Error", "bad"},
      {"HTTP/1.1 304 Not Modified\r\nContent-Length: 0\r\n\r\n", 304, "HTTP/1.1 304 Not Modified",
       ""},
      {"nonsense\r\n\r\n", -1, "nonsense", ""},
  };
  std::vector<Step> steps;
  for (const Case& c : cases) steps.push_back({c.reply});
  FakeServer server(steps);
  for (const Case& c : cases) {
    THTTPClient client;
    try {
      client.Get(server.Url("/"));
      ADD_FAILURE() << "accepted " << c.reply;
    } catch (const ProtocolError& e) {
      EXPECT_EQ(e.code(), c.code);
      EXPECT_EQ(std::string(e.what()), c.message);
      EXPECT_EQ(e.body(), c.body);
    }
    EXPECT_FALSE(client.Connected());
  }
}

TEST(HttpClientTest, BrokenRepliesFailWithClearErrors) {
  struct Case {
    std::string reply;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"", "Connection Closed Gracefully."},
      {"HTTP/1.1 200 OK", "Connection Closed Gracefully."},
      {"HTTP/1.1 200 OK\r\nContent-Le", "Connection Closed Gracefully."},
      {"HTTP/1.1 200 OK\r\nX: " + std::string(16385, 'a') + "\r\n\r\n",
       "Max line length exceeded."},
      {"HTTP/1.1 200 OK\r\n" +
           [] {
             std::string many;
             for (int i = 0; i < 20000; ++i) many += "X: yyyyyyyyyy\r\n";
             return many;
           }(),
       "Reply head exceeds 262144 bytes."},
      {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort",
       "Connection closed after 5 bytes of the reply body."},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel",
       "Connection closed after 3 bytes of the reply body."},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
       "Invalid chunk size in the reply: zz"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 101\r\n\r\n",
       "Reply body exceeds the limit of 100 bytes."},
      {"HTTP/1.1 200 OK\r\n\r\n" + std::string(101, 'b'),
       "Reply body exceeds the limit of 100 bytes."},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n40\r\n" + std::string(64, 'c') +
           "\r\n40\r\n",
       "Reply body exceeds the limit of 100 bytes."},
  };
  std::vector<Step> steps;
  for (const Case& c : cases) steps.push_back({c.reply});
  FakeServer server(steps);
  for (const Case& c : cases) {
    THTTPClient client;
    client.SetMaxBodySize(100);
    try {
      client.Get(server.Url("/"));
      ADD_FAILURE() << "accepted " << c.reply.substr(0, 80);
    } catch (const ProtocolError& e) {
      ADD_FAILURE() << e.what();
    } catch (const pmr::Error& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
    EXPECT_FALSE(client.Connected());
  }
}

TEST(HttpClientTest, SilentServerTimesOut) {
  FakeServer server({{"", true, false, /*silent=*/true}});
  THTTPClient client;
  client.SetReadTimeout(200ms);
  auto start = std::chrono::steady_clock::now();
  try {
    client.Get(server.Url("/"));
    ADD_FAILURE() << "a reply came from nowhere";
  } catch (const SocketError& e) {
    EXPECT_TRUE(e.IsTimeout()) << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_FALSE(client.Connected());
}

TEST(HttpClientTest, ConnectionReuseFollowsTheReply) {
  FakeServer server({
      {Ok("one"), /*close=*/false},
      {Ok("two"), /*close=*/true},  // closed without saying so
      {Ok("three"), false},
      {"HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Length: 4\r\n\r\nfour", false},
      {"HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nfive", false},
  });
  THTTPClient client;
  EXPECT_EQ(client.Get(server.Url("/dir/a.html")), "one");
  EXPECT_TRUE(client.Connected());
  EXPECT_EQ(client.Get("b.html?q=1"), "two");  // relative to the previous request
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(client.Get(server.Url("/c")), "three");  // the stale connection is replaced
  std::vector<std::string> lines = {"a=1"};
  EXPECT_EQ(client.Post(server.Url("/d"), lines), "four");  // a post starts afresh
  EXPECT_TRUE(client.Connected());
  EXPECT_EQ(client.Get(server.Url("/e")), "five");
  EXPECT_FALSE(client.Connected()) << "an HTTP/1.0 reply without keep-alive ends the connection";
  EXPECT_EQ(server.Connections(), 3);
  const auto& requests = server.Requests();
  EXPECT_TRUE(requests.at(1).starts_with("GET /dir/b.html?q=1 HTTP/1.1\r\n")) << requests.at(1);
  // Once a post has named keep-alive, the client keeps saying so.
  EXPECT_TRUE(requests.at(4).starts_with("GET /e HTTP/1.1\r\nConnection: keep-alive\r\n"))
      << requests.at(4);
}

TEST(HttpClientTest, AKeptConnectionDroppedUnansweredIsRetriedOnce) {
  FakeServer server({
      {Ok("one"), /*close=*/false},
      {""},  // reads the request and hangs up without a word
      {Ok("two"), false},
      {""},
      {""},
  });
  THTTPClient client;
  EXPECT_EQ(client.Get(server.Url("/a")), "one");
  EXPECT_EQ(client.Get(server.Url("/b")), "two");
  try {
    client.Get(server.Url("/c"));
    ADD_FAILURE() << "a dropped request succeeded";
  } catch (const ConnectionClosedError& e) {
    EXPECT_EQ(std::string(e.what()), "Connection Closed Gracefully.");
  }
  EXPECT_EQ(server.Connections(), 3);
  const auto& requests = server.Requests();
  EXPECT_EQ(requests.at(1), requests.at(2));
  EXPECT_EQ(requests.at(3), requests.at(4));
}

TEST(HttpClientTest, CookiesGoBackToTheSameHostOnly) {
  FakeServer server({
      {"HTTP/1.1 200 OK\r\nSet-Cookie: sid=abc; Path=/; HttpOnly\r\nset-cookie: lang=zh\r\n"
       "X-Folded: a\r\n Set-Cookie: not=this\r\nContent-Length: 0\r\n\r\n"},
      {"HTTP/1.1 404 Not Found\r\nSet-Cookie: sid=new\r\nContent-Length: 0\r\n\r\n"},
      {Ok("")},
      {Ok("")},
  });
  THTTPClient client;
  client.Get(server.Url("/login"));
  EXPECT_EQ(client.Response().RawHeaders.Count(), 5u);
  EXPECT_THROW(client.Get(server.Url("/gone")), ProtocolError);
  client.Get(server.Url("/again"));
  client.Get("http://localhost:" + std::to_string(server.port()) + "/other");
  const auto& requests = server.Requests();
  EXPECT_EQ(requests.at(0).find("Cookie"), std::string::npos);
  EXPECT_NE(requests.at(1).find(kTail + "Cookie: sid=abc; lang=zh\r\n\r\n"), std::string::npos);
  EXPECT_NE(requests.at(2).find(kTail + "Cookie: sid=new; lang=zh\r\n\r\n"), std::string::npos);
  EXPECT_EQ(requests.at(3).find("Cookie"), std::string::npos);
}

TEST(HttpClientTest, UnusableUrlsFailBeforeConnecting) {
  THTTPClient client;
  for (const char* url : {"https://127.0.0.1/", "ftp://127.0.0.1/x", "/no/host",
                          "http://127.0.0.1:99999/", "http://127.0.0.1:x/"}) {
    EXPECT_THROW(client.Get(url), pmr::Error) << url;
  }
  uint16_t port;
  {
    Socket gone = Socket::Listen("127.0.0.1", 0);
    port = gone.LocalPort();
  }
  EXPECT_THROW(client.Get("http://127.0.0.1:" + std::to_string(port) + "/"), SocketError);
}

}  // namespace
}  // namespace pmr::net
