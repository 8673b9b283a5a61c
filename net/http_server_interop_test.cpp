// The server against HTTP clients that nobody here wrote: curl and Python's http.client.
// They are run through a POSIX shell.
#ifndef _WIN32

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "net/http_server.h"
#include "net/http_server_test_util.h"

namespace pmr::net {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using namespace std::chrono_literals;
using testing::TestServer;

struct ProcessResult {
  int status = -1;
  std::string output;
};

// Runs a shell command and collects its standard output.
ProcessResult RunCommand(const std::string& command) {
  ProcessResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// Answers with the method, the decoded parameters and the body, one per line.
void EchoHandler(THTTPRequestInfo& request, THTTPResponseInfo& response) {
  std::string text = request.Command + "\n";
  for (const std::string& line : request.Params) text += "param " + line + "\n";
  text += "body " + request.FormParams;
  response.ContentText = text;
  response.ContentType = "text/plain";
}

std::string Url(const TestServer& t, const std::string& target) {
  return "'http://127.0.0.1:" + std::to_string(t.port) + target + "'";
}

TEST(CurlInteropTest, GetWithQuery) {
  TestServer t(EchoHandler);
  auto result = RunCommand("curl -s -i " + Url(t, "/takeimg?pid=12&name=%E5%BC%A0"));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output,
            "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/plain\r\n"
            "Content-Length: 37\r\nServer: pmrface/1.0\r\n\r\n"
            "GET\nparam pid=12\nparam name=\xE5\xBC\xA0\nbody ");
  auto requests = t.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Document, "/takeimg");
  EXPECT_EQ(requests[0].Version, "HTTP/1.1");
  EXPECT_THAT(requests[0].UserAgent, StartsWith("curl/"));
}

TEST(CurlInteropTest, PostFormAndJson) {
  TestServer t(EchoHandler);
  auto form = RunCommand("curl -s -d 'a=1&b=%41' " + Url(t, "/x?c=3"));
  EXPECT_EQ(form.status, 0);
  EXPECT_EQ(form.output, "POST\nparam a=1\nparam b=A\r\nc=3\nbody a=1&b=%41");

  auto json = RunCommand(
      "curl -s -H 'Content-Type: application/json' --data "
      "'{\"personId\":\"7\",\"type\":\"face\"}' " +
      Url(t, "/index.html"));
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.output, "POST\nbody {\"personId\":\"7\",\"type\":\"face\"}");
}

TEST(CurlInteropTest, HeadGetsHeadersAndTheHandlersBodyIsIgnoredByCurl) {
  TestServer t(EchoHandler);
  auto head = RunCommand("curl -s -I " + Url(t, "/"));
  EXPECT_EQ(head.status, 0);
  EXPECT_THAT(head.output, StartsWith("HTTP/1.1 200 OK\r\nConnection: close\r\n"));
  EXPECT_THAT(head.output, HasSubstr("Content-Length: 10\r\n"));
  ASSERT_EQ(t.Requests().size(), 1u);
  EXPECT_EQ(t.Requests()[0].Command, "HEAD");
}

TEST(CurlInteropTest, ChunkedUploadWaitsForACloseAndIsCutByTheBodyTimeout) {
  // Chunked bodies are not decoded: a POST without Content-Length is read until the client
  // closes, curl waits for the answer instead, and the body time-out ends the connection.
  HttpServerLimits limits;
  limits.body_timeout = 500ms;
  TestServer t(EchoHandler, limits);
  auto result = RunCommand("curl -s -H 'Transfer-Encoding: chunked' -d 'abc' " + Url(t, "/"));
  EXPECT_EQ(result.status, 52);  // curl: empty reply from server
  EXPECT_EQ(result.output, "");
  EXPECT_THAT(t.Requests(), IsEmpty());
  EXPECT_THAT(t.Errors(), ElementsAre("Read timed out."));
}

TEST(CurlInteropTest, LargeUploadIsRefusedWith413) {
  TestServer t(EchoHandler);
  std::string file = ::testing::TempDir() + "/pmr_http_2mib.bin";
  std::ofstream(file, std::ios::binary) << std::string(2 << 20, 'q');
  auto result = RunCommand("curl -s -o /dev/null -w '%{http_code}' --data-binary @" + file + " " +
                           Url(t, "/"));
  EXPECT_EQ(result.output, "413");
  EXPECT_THAT(t.Requests(), IsEmpty());
}

class PythonInteropTest : public ::testing::Test {
 protected:
  ProcessResult RunPython(std::uint16_t port, const std::string& script) {
    // ctest runs the tests of this suite side by side: each needs its own script file.
    std::string path = ::testing::TempDir() + "/pmr_http_client_" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".py";
    std::ofstream(path) << script;
    return RunCommand("python3 " + path + " " + std::to_string(port));
  }
};

TEST_F(PythonInteropTest, JsonPostAndUntouchedGet) {
  TestServer t([](THTTPRequestInfo& request, THTTPResponseInfo& response) {
    if (request.Document == "/index.html") {
      response.SetResponseNo(200);
      response.ContentText = "{\"result\":1,\"success\":true}";
    }
  });
  auto result = RunPython(t.port, R"(
import http.client, sys
port = int(sys.argv[1])
c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
c.request("POST", "/index.html", body=b'{"personId":"fp1"}',
          headers={"Content-Type": "application/json"})
r = c.getresponse()
print(r.status, r.reason, r.getheader("Content-Length"), r.getheader("Connection"),
      r.getheader("Server"), r.read().decode())
c.close()
c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
c.request("GET", "/nothing")
r = c.getresponse()
print(r.status, r.getheader("Content-Length"), repr(r.read()))
)");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output,
            "200 OK 27 close pmrface/1.0 {\"result\":1,\"success\":true}\n"
            "200 None b''\n");
  auto requests = t.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].FormParams, "{\"personId\":\"fp1\"}");
  EXPECT_EQ(requests[0].ContentLength, 18);
}

TEST_F(PythonInteropTest, StreamedPictureArrivesWhole) {
  std::string picture(300000, '\0');
  for (std::size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<char>(i % 251);
  TestServer t([&](THTTPRequestInfo&, THTTPResponseInfo& response) {
    response.ContentStream = std::make_unique<std::istringstream>(picture);
    response.ContentType = "image/jpg";
  });
  auto result = RunPython(t.port, R"(
import http.client, sys, hashlib
c = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]), timeout=10)
c.request("GET", "/a.jpg")
r = c.getresponse()
data = r.read()
ok = data == bytes(i % 251 for i in range(300000))
print(r.status, r.getheader("Content-Type"), len(data), ok)
)");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, "200 image/jpg 300000 True\n");
}

}  // namespace
}  // namespace pmr::net

#endif  // _WIN32
