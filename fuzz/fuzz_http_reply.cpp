// Answers the HTTP client's GET with arbitrary bytes from a peer on 127.0.0.1 and closes, so
// the client's own reader interprets them: status line, headers, 100 heads, Content-Length,
// chunked bodies and read-to-close. Whatever comes, the client returns a body or raises.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

#include "net/http_client.h"
#include "net/socket.h"

namespace {

using namespace std::chrono_literals;
using pmr::net::Socket;

constexpr std::size_t kMaxBody = 1 << 16;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

Socket& Listener() {
  static Socket* listener = new Socket(Socket::Listen("127.0.0.1", 0, 15));
  return *listener;
}

// Takes one connection, reads the request head and sends `reply` before closing.
void Answer(std::string_view reply) {
  Socket peer = Listener().AcceptFor(5000ms);
  if (!peer.valid()) return;
  try {
    peer.SetReceiveTimeout(5000ms);
    std::string request;
    char buffer[1024];
    while (request.find("\r\n\r\n") == std::string::npos) {
      std::size_t n = peer.Receive(buffer, sizeof buffer);
      if (n == 0) return;
      request.append(buffer, n);
    }
    peer.SendAll(reply);
  } catch (const pmr::net::SocketError&) {
    // The client may give up on a reply it already judged broken.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  Socket& listener = Listener();
  std::thread peer([input] { Answer(input); });
  pmr::net::THTTPClient client;
  client.SetConnectTimeout(2000ms);
  client.SetReadTimeout(5000ms);
  client.SetMaxBodySize(kMaxBody);
  try {
    std::string body =
        client.Get("http://127.0.0.1:" + std::to_string(listener.LocalPort()) + "/x?a=1");
    const pmr::net::THTTPClientResponse& reply = client.Response();
    Check(reply.ResponseCode >= 200 && reply.ResponseCode < 300);
    Check(body.size() <= kMaxBody);
    Check(body.size() <= size);
    // A 204 never has a body, whatever its Content-Length says.
    if (reply.ResponseCode == 204) {
      Check(body.empty());
    } else if (reply.ContentLength > 0) {
      Check(body.size() == static_cast<std::size_t>(reply.ContentLength));
    }
  } catch (const pmr::net::ProtocolError& e) {
    Check(e.code() < 200 || e.code() >= 300 || client.Response().RawHeaders.HasName("Location"));
  } catch (const pmr::Error&) {
    // Malformed or cut-off replies raise; that is the documented answer.
  }
  peer.join();
  return 0;
}
