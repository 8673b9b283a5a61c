// Sends arbitrary bytes as a request to a live server on 127.0.0.1 with small limits, so the
// server's own reader and request interpretation see them exactly as from a peer (request
// line, headers, Content-Length, read-to-close bodies, 413, line limits). The handler checks
// what the server hands it; the peer half-closes, so no input waits for a deadline.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "net/http_message.h"
#include "net/http_server.h"
#include "net/socket.h"

namespace {

using namespace std::chrono_literals;
using pmr::net::Socket;
using pmr::net::SocketError;

constexpr std::size_t kMaxBody = 4096;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void Inspect(pmr::net::THTTPRequestInfo& request, pmr::net::THTTPResponseInfo& response) {
  Check(request.Command == "GET" || request.Command == "POST" || request.Command == "HEAD");
  Check(request.FormParams.size() <= kMaxBody);
  if (request.ContentLength > 0) {
    Check(request.FormParams.size() == static_cast<std::size_t>(request.ContentLength));
  }
  Check(request.UnparsedParams.starts_with(request.FormParams));
  Check(request.Params.size() <= request.UnparsedParams.size() + 1);
  Check(request.RawHTTPCommand.find('\n') == std::string::npos);
  for (const std::string& line : request.RawHeaders.Lines()) {
    Check(!line.empty() && line.find('\n') == std::string::npos);
  }
  response.ContentText = request.Document + "\n" + request.Version;
  if (request.Document == "/fail") throw pmr::Error("x");
}

pmr::net::THTTPServer& Server() {
  static pmr::net::THTTPServer* server = [] {
    pmr::net::HttpServerLimits limits;
    limits.head_timeout = 2000ms;
    limits.body_timeout = 2000ms;
    limits.send_timeout = 2000ms;
    limits.linger_time = 100ms;
    limits.max_body_bytes = kMaxBody;
    limits.max_head_bytes = 8192;
    auto* s = new pmr::net::THTTPServer(0, limits);
    s->Bindings.push_back({"127.0.0.1", 0});
    s->OnCommandGet = [](pmr::net::TPeerThread&, pmr::net::THTTPRequestInfo& request,
                         pmr::net::THTTPResponseInfo& response) { Inspect(request, response); };
    s->SetActive(true);
    return s;
  }();
  return *server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  pmr::net::THTTPServer& server = Server();
  Socket peer = Socket::Connect("127.0.0.1", server.ListeningPort(), 2000ms);
  std::string answer;
  try {
    peer.SendAll(input);
    peer.ShutdownSend();
    peer.SetReceiveTimeout(5000ms);
    char buffer[4096];
    for (std::size_t n; (n = peer.Receive(buffer, sizeof buffer)) > 0;) answer.append(buffer, n);
  } catch (const SocketError& e) {
    // The server may close on a bad request while bytes are still on their way.
    Check(e.IsAbortedOrReset());
  }
  Check(answer.empty() || answer.starts_with("HTTP/1.1 "));
  return 0;
}
