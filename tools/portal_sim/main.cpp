// portal_sim [--listen 127.0.0.1:8800] [--store DIR] [--hid HID-DEMO-1] [--sp SP-DEMO]
//            [--fail-uploads 0] [--ready FILE]
// --fail-uploads S answers that share (0..1) of upload requests with 500, as /sim/fail does.
// A stand-in for the school's cloud portal (see portal_sim.h for the fault switches).

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include "base/mutex.h"
#include "tools/portal_sim/portal_sim.h"

namespace {

pmr::Mutex out_mutex;

void Out(const std::string& line) {
  pmr::MutexLock lock(out_mutex);
  std::cout << "portal: " << line << std::endl;
}

int Usage(const std::string& why) {
  std::cerr << "portal_sim: " << why
            << "\nusage: portal_sim [--listen IP:PORT] [--store DIR] [--hid HID] [--sp SP]"
               " [--fail-uploads 0..1] [--ready FILE]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string listen = "127.0.0.1:8800";
  std::string ready;
  pmr::portal_sim::PortalSimOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg != "--listen" && arg != "--store" && arg != "--hid" && arg != "--sp" &&
        arg != "--fail-uploads" && arg != "--ready") {
      return Usage("unknown option " + arg);
    }
    if (i + 1 >= argc) return Usage("missing value after " + arg);
    const std::string value = argv[++i];
    if (arg == "--listen") {
      listen = value;
    } else if (arg == "--store") {
      options.store = value;
    } else if (arg == "--hid") {
      options.hid = value;
    } else if (arg == "--sp") {
      options.sp = value;
    } else if (arg == "--fail-uploads") {
      const std::optional<double> share = pmr::portal_sim::ParseShare(value);
      if (!share) return Usage("--fail-uploads wants a decimal from 0 to 1, not " + value);
      options.fail_uploads = *share;
    } else {
      ready = value;
    }
  }
  const std::size_t colon = listen.rfind(':');
  if (colon == std::string::npos) return Usage("--listen wants IP:PORT");
  const std::string ip = listen.substr(0, colon);
  unsigned long port = 0;
  try {
    std::size_t used = 0;
    port = std::stoul(listen.substr(colon + 1), &used);
    if (used != listen.size() - colon - 1 || port > 65535) throw std::out_of_range("port");
  } catch (const std::exception&) {
    return Usage("bad port in --listen " + listen);
  }
  if (!options.store.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(options.store, ec);
    if (!std::filesystem::is_directory(options.store)) {
      return Usage("cannot create store folder " + options.store.string());
    }
  }

  // The signals are taken by sigwait below; every thread started from here inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  pmr::portal_sim::PortalSim sim(options, Out);
  try {
    sim.Start(ip, static_cast<std::uint16_t>(port));
  } catch (const std::exception& e) {
    std::cerr << "portal_sim: cannot listen on " << listen << ": " << e.what() << "\n";
    return 1;
  }
  Out("listening on " + ip + ":" + std::to_string(sim.Port()) + " hid=" + options.hid +
      " sp=" + options.sp);
  if (!ready.empty()) {
    const std::string temp = ready + ".tmp";
    {
      std::ofstream f(temp, std::ios::trunc);
      f << sim.Port() << "\n";
      f.close();
      if (!f) {
        std::cerr << "portal_sim: cannot write " << temp << "\n";
        return 1;
      }
    }
    std::error_code ec;
    std::filesystem::rename(temp, ready, ec);
    if (ec) {
      std::cerr << "portal_sim: cannot write " << ready << ": " << ec.message() << "\n";
      return 1;
    }
  }

  int signal_number = 0;
  sigwait(&signals, &signal_number);
  sim.Stop();
  Out("summary uploads=" + std::to_string(sim.Uploads()) + " rejected=" +
      std::to_string(sim.Rejected()) + " failed_uploads=" + std::to_string(sim.FailedUploads()) +
      " files=" + std::to_string(sim.Files()));
  return 0;
}
