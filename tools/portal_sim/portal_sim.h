#pragma once

// PortalSim: a stand-in for the school's cloud portal on loopback, for demos and tests.
// It answers the three data calls and serves the pages (pages.h); uploads go to an UploadStore.
//
// Fault switches (GET):
//   /sim/status?code=N  answer every data call with status N (100..599) until code=200
//   /sim/hang?ms=N      delay every data-call answer by N ms (0 = off, at most 600000)
//   /sim/stats          JSON counters: uploads, rejected, failed_by_switch, gethid, getsp,
//                       pids (uploads per pid) and files (stored pictures still present)
//   /sim/uploads        one line per stored upload: "n pid taketime bytes fnv1a64-hex"
// Handlers run on the server's connection threads; every member is safe to call from any thread.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "net/http_server.h"
#include "tools/portal_sim/pages.h"
#include "tools/portal_sim/upload_store.h"

namespace pmr::portal_sim {

struct PortalSimOptions {
  std::string hid = "HID-DEMO-1";
  std::string sp = "SP-DEMO";
  std::filesystem::path store;  // empty: uploads are counted, not written
};

class PortalSim {
 public:
  // `log` gets one line per request (without the "portal: " prefix); it may be called from
  // several threads at once.
  using LogFn = std::function<void(const std::string&)>;
  PortalSim(PortalSimOptions options, LogFn log);
  ~PortalSim();
  PortalSim(const PortalSim&) = delete;
  PortalSim& operator=(const PortalSim&) = delete;

  // Listens on ip:port (0 = any free port). Raises the server's errors.
  void Start(const std::string& ip, std::uint16_t port);
  // Releases delayed answers and stops the server.
  void Stop();
  std::uint16_t Port() const;

  void Handle(net::THTTPRequestInfo& request, net::THTTPResponseInfo& response);

  std::string StatsJson() const;
  std::string UploadsText() const;
  std::size_t Uploads() const { return store_.Count(); }
  std::size_t Rejected() const { return rejected_; }
  std::size_t Files() const { return store_.FilesInFolder(); }

 private:
  // True when a fault switch answered the data call.
  bool ApplySwitches(net::THTTPResponseInfo& response);
  void Upload(net::THTTPRequestInfo& request, net::THTTPResponseInfo& response);
  void Switch(net::THTTPRequestInfo& request, net::THTTPResponseInfo& response);

  PortalSimOptions options_;
  LogFn log_;
  UploadStore store_;
  net::THTTPServer server_;

  std::atomic<int> status_code_{200};
  std::atomic<int> hang_ms_{0};
  std::atomic<std::size_t> rejected_{0}, failed_by_switch_{0}, gethid_{0}, getsp_{0};

  std::mutex stop_mutex_;
  std::condition_variable stop_changed_;
  bool stopping_ = false;  // guarded by stop_mutex_
};

}  // namespace pmr::portal_sim
