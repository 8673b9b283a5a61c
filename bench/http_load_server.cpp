// A THTTPServer for load runs: answers every request like the callback handler does.
// Usage: http_load_server [port] [address]   (defaults: 0 = any free port, 127.0.0.1)
// Prints "port N" once listening; ends on SIGINT or SIGTERM.

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "net/http_server.h"

int main(int argc, char** argv) {
  int port = argc > 1 ? std::atoi(argv[1]) : 0;
  std::string address = argc > 2 ? argv[2] : "127.0.0.1";

  // Block the stop signals in every thread; the main thread takes them with sigwait.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  try {
    pmr::net::THTTPServer server;
    server.Bindings.push_back({address, static_cast<std::uint16_t>(port)});
    server.OnCommandGet = [](pmr::net::TPeerThread&, pmr::net::THTTPRequestInfo&,
                             pmr::net::THTTPResponseInfo& response) {
      response.SetResponseNo(200);
      response.ContentText = "{\"result\":1,\"success\":true}";
    };
    server.SetActive(true);
    std::printf("port %u\n", static_cast<unsigned>(server.ListeningPort()));
    std::fflush(stdout);
    int signal_number = 0;
    sigwait(&stop, &signal_number);
    server.SetActive(false);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "http_load_server: %s\n", e.what());
    return 1;
  }
  return 0;
}
