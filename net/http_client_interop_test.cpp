// The client against HTTP servers nobody here wrote: Python's http.server, as a file server
// and as a small scripted server. The peers run as child processes on loopback; POSIX only.
#ifndef _WIN32

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>

#include "net/http_client.h"

namespace pmr::net {
namespace {

namespace fs = std::filesystem;

constexpr char kScript[] = R"PY(
import sys, urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, code, body, *headers):
        self.send_response(code)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path == "/chunked":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for piece in (b"first ", b"\xd5\xc5 second", b"x" * 70000):
                self.wfile.write(b"%x;ext=1\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\nX-Trailer: done\r\n\r\n")
        elif self.path == "/close":
            self.send_response(200)
            self.end_headers()
            self.wfile.write(b"until the end")
            self.close_connection = True
        elif self.path == "/redirect":
            self.reply(302, b"moved", ("Location", "/chunked"))
        elif self.path == "/continue":
            self.send_response_only(100)
            self.end_headers()
            self.reply(200, b"after continue")
        else:
            self.send_error(404)

    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"])).decode("ascii")
        pairs = urllib.parse.parse_qsl(body, keep_blank_values=True, encoding="latin-1")
        lines = [self.headers["Content-Type"]] + [k + "=" + v for k, v in pairs]
        self.reply(200, "\n".join(lines).encode("latin-1"))

server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print(server.server_address[1], flush=True)
server.serve_forever()
)PY";

// A python3 child whose standard output names its port; ended when this goes.
class PythonPeer {
 public:
  explicit PythonPeer(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("python3"));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], STDOUT_FILENO);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, STDERR_FILENO);
      execvp("python3", argv.data());
      _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
  }
  ~PythonPeer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
  }

  // The first number that matches `pattern` in the peer's output within 10 s, or 0.
  uint16_t Port(const std::regex& pattern) {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      std::smatch match;
      if (std::regex_search(text, match, pattern)) {
        return static_cast<uint16_t>(std::stoi(match[1]));
      }
      pollfd pfd{out_, POLLIN, 0};
      if (poll(&pfd, 1, 200) <= 0) continue;
      char buffer[256];
      ssize_t n = read(out_, buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return 0;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

class TempFolder {
 public:
  TempFolder() {
    std::random_device random;
    path_ = fs::temp_directory_path() / ("pmr-httpc-" + std::to_string(random()));
    fs::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

TEST(HttpClientInteropTest, FilesFromPythonHttpServerArriveIntact) {
  TempFolder folder;
  std::string picture;
  std::mt19937 random(7);
  for (int i = 0; i < 300000; ++i) picture += static_cast<char>(i < 256 ? i : random());
  std::ofstream(folder.path() / "pic.jpg", std::ios::binary) << picture;
  std::ofstream(folder.path() / "\xE5\xBC\xA0.txt", std::ios::binary) << "zhang";

  PythonPeer peer({"-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory",
                   folder.path().string()});
  uint16_t port = peer.Port(std::regex("port ([0-9]+)"));
  ASSERT_NE(port, 0) << "python3 -m http.server did not start";
  const std::string base = "http://127.0.0.1:" + std::to_string(port);

  THTTPClient client;
  EXPECT_TRUE(client.Get(base + "/pic.jpg") == picture);
  EXPECT_EQ(client.Response().ContentLength, 300000);
  EXPECT_EQ(client.Get(base + "/%E5%BC%A0.txt"), "zhang");
  try {
    client.Get(base + "/missing.jpg");
    ADD_FAILURE() << "a missing file was served";
  } catch (const ProtocolError& e) {
    EXPECT_EQ(e.code(), 404);
    EXPECT_TRUE(std::string(e.what()).starts_with("HTTP/1.0 404 ")) << e.what();
    EXPECT_NE(e.body().find("404"), std::string::npos);
  }
}

class ScriptedPythonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    uint16_t port = peer_.Port(std::regex("^([0-9]+)\n"));
    ASSERT_NE(port, 0) << "the Python server did not start";
    base_ = "http://127.0.0.1:" + std::to_string(port);
  }

  PythonPeer peer_{{"-u", "-c", kScript}};
  std::string base_;
};

TEST_F(ScriptedPythonTest, BodiesInEveryFraming) {
  THTTPClient client;
  EXPECT_TRUE(client.Get(base_ + "/chunked") == "first \xD5\xC5 second" + std::string(70000, 'x'));
  EXPECT_EQ(client.Get(base_ + "/close"), "until the end");
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.Get(base_ + "/continue"), "after continue");
  EXPECT_EQ(client.Response().ResponseText, "HTTP/1.1 200 OK");
}

TEST_F(ScriptedPythonTest, RefusedRepliesAndRedirects) {
  THTTPClient client;
  try {
    client.Get(base_ + "/nothing");
    ADD_FAILURE() << "404 accepted";
  } catch (const ProtocolError& e) {
    EXPECT_EQ(e.code(), 404);
    EXPECT_EQ(std::string(e.what()), "HTTP/1.1 404 Not Found");
    EXPECT_NE(e.body().find("Error code: 404"), std::string::npos) << e.body();
  }
  try {
    client.Get(base_ + "/redirect");
    ADD_FAILURE() << "redirect accepted";
  } catch (const ProtocolError& e) {
    EXPECT_EQ(e.code(), 302);
    EXPECT_EQ(std::string(e.what()), "HTTP/1.1 302 Found");
    EXPECT_EQ(e.body(), "moved");
    EXPECT_EQ(client.Response().Location, "/chunked");
  }
}

TEST_F(ScriptedPythonTest, FormValuesSurviveAStandardParser) {
  THTTPClient client;
  client.Request().ContentType = "application/x-www-form-urlencoded";
  std::vector<std::string> lines = {"pass=58317094",
                                    "person={\"id\":\"7\",\"name\":\"\xD5\xC5 a&b=c\"}",
                                    "empty=", "dash=-._*~+%"};
  EXPECT_EQ(client.Post(base_ + "/echo", lines),
            "application/x-www-form-urlencoded\n"
            "pass=58317094\nperson={\"id\":\"7\",\"name\":\"\xD5\xC5 a&b=c\"}\nempty=\n"
            "dash=-._*~+%");
}

}  // namespace
}  // namespace pmr::net

#endif  // _WIN32
