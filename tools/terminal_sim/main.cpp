// terminal_sim: a stand-in for the face-recognition terminal on one loopback address.
//
//   terminal_sim [--address 127.0.0.2] [--http-port 8090] [--ftp-port 2121] [--pictures DIR]
//                [--picture-bytes 200000] [--rate 2] [--events 0] [--heartbeat 10]
//                [--mix known=8,stranger=1,card=1] [--persons 1001,1002,...] [--busy]
//                [--ready FILE] [--seed N]
//
// Port 0 picks a free port; --ready writes "HTTP_PORT FTP_PORT\n" to FILE once both listen.
// Events start when a callback address is registered. Pictures go to DIR/snap/ (DIR defaults
// to a new folder under the temporary folder); only the latest 1000 are kept. The test controls
// under /sim/ are described in terminal.h. SIGINT or SIGTERM ends the run.
// Every line on standard output starts with "terminal[ADDRESS]: " and is one of:
//   listening http=PORT ftp=PORT pictures=DIR
//   http PATH FORM-OR-QUERY -> REPLY-MESSAGE
//   ftp RETR /PATH N bytes              ftp RETR /PATH failed: REASON
//   event SEQ fpPERSON TYPE -> answered   event SEQ fpPERSON TYPE -> failed: REASON
//   heartbeat N -> answered             heartbeat N -> failed: REASON
//   summary events_sent=N events_answered=M events_failed=K heartbeats_sent=H ftp_retr=R

#include <arpa/inet.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "base/mutex.h"
#include "tools/terminal_sim/terminal.h"

namespace {

using pmr::terminal_sim::TerminalOptions;

[[noreturn]] void Usage(const std::string& problem) {
  std::cerr << "terminal_sim: " << problem << "\n"
            << "usage: terminal_sim [--address 127.0.0.2] [--http-port 8090] [--ftp-port 2121]\n"
               "  [--pictures DIR] [--picture-bytes 200000] [--rate 2] [--events 0]\n"
               "  [--heartbeat 10] [--mix known=8,stranger=1,card=1] [--persons 1001,1002]\n"
               "  [--busy] [--ready FILE] [--seed N]\n";
  std::exit(2);
}

long long Number(const std::string& name, const std::string& text, long long low, long long high) {
  try {
    std::size_t used = 0;
    long long value = std::stoll(text, &used);
    if (used == text.size() && value >= low && value <= high) return value;
  } catch (const std::exception&) {
  }
  Usage(name + " wants a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
        ", not '" + text + "'");
}

double Decimal(const std::string& name, const std::string& text) {
  try {
    std::size_t used = 0;
    double value = std::stod(text, &used);
    if (used == text.size() && value >= 0 && value <= 1e6) return value;
  } catch (const std::exception&) {
  }
  Usage(name + " wants a number of 0 or more, not '" + text + "'");
}

std::vector<std::string> List(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

}  // namespace

int main(int argc, char** argv) {
  TerminalOptions options;
  std::string ready;
  std::string pictures;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--busy") {
      options.busy = true;
      continue;
    }
    if (i + 1 >= argc) Usage("missing value after " + arg);
    std::string value = argv[++i];
    if (arg == "--address") {
      in_addr parsed{};
      if (inet_pton(AF_INET, value.c_str(), &parsed) != 1 || !value.starts_with("127.")) {
        Usage("--address wants an IPv4 loopback address (127.x.x.x), not '" + value + "'");
      }
      options.events.address = value;
    } else if (arg == "--http-port") {
      options.http_port = static_cast<uint16_t>(Number(arg, value, 0, 65535));
    } else if (arg == "--ftp-port") {
      options.ftp_port = static_cast<uint16_t>(Number(arg, value, 0, 65535));
    } else if (arg == "--pictures") {
      pictures = value;
    } else if (arg == "--picture-bytes") {
      options.events.picture_bytes = static_cast<std::size_t>(Number(arg, value, 0, 64 << 20));
    } else if (arg == "--rate") {
      options.events.rate = Decimal(arg, value);
    } else if (arg == "--events") {
      options.events.max_events = static_cast<long>(Number(arg, value, 0, 1'000'000'000));
    } else if (arg == "--heartbeat") {
      options.events.heartbeat_seconds = Decimal(arg, value);
    } else if (arg == "--mix") {
      pmr::terminal_sim::EventMix mix{0, 0, 0};
      for (const std::string& item : List(value)) {
        std::size_t eq = item.find('=');
        if (eq == std::string::npos) Usage("--mix wants name=weight items, not '" + item + "'");
        std::string name = item.substr(0, eq);
        int weight = static_cast<int>(Number("--mix " + name, item.substr(eq + 1), 0, 1000000));
        if (name == "known") {
          mix.known = weight;
        } else if (name == "stranger") {
          mix.stranger = weight;
        } else if (name == "card") {
          mix.card = weight;
        } else {
          Usage("--mix knows known, stranger and card, not '" + name + "'");
        }
      }
      if (mix.known + mix.stranger + mix.card == 0) Usage("--mix weights are all 0");
      options.events.mix = mix;
    } else if (arg == "--persons") {
      options.events.persons = List(value);
    } else if (arg == "--ready") {
      ready = value;
    } else if (arg == "--seed") {
      options.events.seed = static_cast<uint64_t>(Number(arg, value, 0, INT64_MAX));
    } else {
      Usage("unknown option " + arg);
    }
  }
  const std::string prefix = "terminal[" + options.events.address + "]: ";
  std::error_code error;
  if (pictures.empty()) {
    pictures = (std::filesystem::temp_directory_path() /
                ("terminal_sim-" + options.events.address + "-" + std::to_string(getpid())))
                   .string();
  }
  std::filesystem::create_directories(pictures, error);
  if (!std::filesystem::is_directory(pictures)) Usage("cannot make the folder " + pictures);
  options.events.pictures = pictures;

  // Stop signals are taken by sigwait on the main thread; every other thread blocks them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  pmr::Mutex out_mutex;
  auto log = [&](const std::string& line) {
    pmr::MutexLock lock(out_mutex);
    std::cout << prefix << line << std::endl;
  };
  try {
    pmr::terminal_sim::Terminal terminal(options, log);
    log("listening http=" + std::to_string(terminal.http_port()) +
        " ftp=" + std::to_string(terminal.ftp_port()) + " pictures=" + pictures);
    if (!ready.empty()) {
      std::string temporary = ready + ".tmp";
      {
        std::ofstream out(temporary, std::ios::trunc);
        out << terminal.http_port() << " " << terminal.ftp_port() << "\n";
      }
      std::filesystem::rename(temporary, ready, error);
      if (error) log("ready file " + ready + " not written: " + error.message());
    }
    int received = 0;
    sigwait(&stop_signals, &received);
    terminal.Stop();
    pmr::terminal_sim::EventStats stats = terminal.Stats();
    log("summary events_sent=" + std::to_string(stats.events_sent) +
        " events_answered=" + std::to_string(stats.events_answered) +
        " events_failed=" + std::to_string(stats.events_failed) + " heartbeats_sent=" +
        std::to_string(stats.heartbeats_sent) + " ftp_retr=" + std::to_string(terminal.ftp_retr()));
  } catch (const std::exception& e) {
    std::cerr << prefix << "cannot start: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
