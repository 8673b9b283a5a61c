// Plays an FTP server on 127.0.0.1 whose replies are arbitrary bytes, sent all at once, while the
// real client logs in, changes directory, asks the size and retrieves a file. The peer connects
// back to the address of any PORT command it reads, so the active-mode data path runs too.
// The same bytes are also split as a picture URL the way the FTP fetch does.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

#include "gateway/ftp_download.h"
#include "net/ftp_client.h"
#include "net/socket.h"

namespace {

using namespace std::chrono_literals;
using pmr::net::Socket;
using pmr::net::SocketError;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

Socket& Listener() {
  static Socket* listener = new Socket(Socket::Listen("127.0.0.1", 0, 15));
  return *listener;
}

// Connects to the port of "PORT h1,h2,h3,h4,p1,p2" on loopback and sends a small file.
void ConnectBack(const std::string& line) {
  std::string_view rest = std::string_view(line).substr(5);
  int parts[6] = {};
  int count = 0;
  for (char c : rest) {
    if (c == ',') {
      if (++count == 6) return;
    } else if (c >= '0' && c <= '9' && parts[count] < 1000) {
      parts[count] = parts[count] * 10 + (c - '0');
    }
  }
  if (count != 5) return;
  try {
    Socket data =
        Socket::Connect("127.0.0.1", static_cast<std::uint16_t>(parts[4] * 256 + parts[5]), 1000ms);
    data.SendAll("picture bytes");
  } catch (const SocketError&) {
    // The client may have given up on the transfer already.
  }
}

void Serve(std::string_view replies) {
  Socket peer = Listener().AcceptFor(5000ms);
  if (!peer.valid()) return;
  try {
    peer.SendAll(replies);
    peer.ShutdownSend();
    peer.SetReceiveTimeout(5000ms);
    std::string commands;
    char buffer[1024];
    for (std::size_t n; (n = peer.Receive(buffer, sizeof buffer)) > 0;) {
      commands.append(buffer, n);
      for (std::size_t end; (end = commands.find("\r\n")) != std::string::npos;) {
        std::string line = commands.substr(0, end);
        commands.erase(0, end + 2);
        if (line.starts_with("PORT ")) ConnectBack(line);
      }
    }
  } catch (const SocketError&) {
    // A client that failed closes while we still send or read.
  }
}

void CheckUrlSplit(const std::string& url) {
  pmr::gateway::FtpParams params;
  std::string logged;
  pmr::gateway::GetFTPParams(url, params, [&](const std::string& line) { logged += line; });
  bool control = false;
  for (unsigned char c : url) control = control || c < 0x20 || c == 0x7F;
  if (control) {
    Check(logged.starts_with("GetFTPParams:"));
    return;
  }
  Check(!params.path.empty() && params.path.front() == '/' && params.path.back() == '/');
  Check(!params.port.empty());
  Check(params.host.find('@') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  CheckUrlSplit(std::string(input.substr(0, 512)));

  std::thread server([input] { Serve(input); });
  pmr::net::TFTPClient client;
  client.set_host("127.0.0.1");
  client.set_port(Listener().LocalPort());
  client.set_username("anonymous");
  client.set_password("x");
  pmr::net::FtpTimeouts timeouts;
  timeouts.connect = 2000ms;
  timeouts.reply = 2000ms;
  timeouts.data = 1000ms;
  client.set_timeouts(timeouts);
  try {
    client.Connect();
    client.ChangeDir("/pic/");
    (void)client.Size("a.jpg");
    std::ostringstream file;
    client.Get("a.jpg", file);
    Check(file.str() == "picture bytes");
  } catch (const pmr::net::FtpReplyError& e) {
    Check(e.code() >= 0 && e.code() <= 999);
  } catch (const pmr::Error&) {
    // A closed or silent server: the documented errors.
  }
  client.Disconnect();
  server.join();
  return 0;
}
