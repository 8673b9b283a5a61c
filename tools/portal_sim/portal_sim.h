#pragma once

// PortalSim: a stand-in for the school's cloud portal on loopback, for demos and tests.
// It answers the three data calls and serves the pages (pages.h); uploads go to an UploadStore.
//
// Fault switches (GET):
//   /sim/status?code=N  answer every data call with status N (100..599) until code=200
//   /sim/hang?ms=N      delay every data-call answer by N ms (0 = off, at most 600000)
//   /sim/fail?share=S   answer a share S (decimal, 0..1; 0 = off) of upload requests with 500
//                       "fail" and store nothing: of the n requests since the switch was set,
//                       exactly floor(n*S) fail, spread evenly (not at random, so tests can
//                       count). The status switch comes first. Also --fail-uploads S.
//   /sim/stats          JSON counters: uploads, rejected, failed_by_switch, gethid, getsp,
//                       pids (uploads per pid), files (stored pictures still present) and
//                       failed_uploads (answered 500 by the fail share)
//   /sim/uploads        one line per stored upload: "n pid taketime bytes fnv1a64-hex"
// Handlers run on the server's connection threads; every member is safe to call from any thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/mutex.h"
#include "net/http_server.h"
#include "tools/portal_sim/pages.h"
#include "tools/portal_sim/upload_store.h"

namespace pmr::portal_sim {

struct PortalSimOptions {
  std::string hid = "HID-DEMO-1";
  std::string sp = "SP-DEMO";
  std::filesystem::path store;  // empty: uploads are counted, not written
  double fail_uploads = 0;      // share of uploads failed from the start, as /sim/fail sets it
};

// A share written as a decimal from 0 to 1 ("0.2", "1"); nullopt for anything else.
std::optional<double> ParseShare(std::string_view text);

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
  std::size_t FailedUploads() const { return failed_uploads_; }
  // What /sim/fail sets: `share` from 0 to 1; the count of requests starts again.
  void SetFailShare(double share);

 private:
  // True when a fault switch answered the data call.
  bool ApplySwitches(net::THTTPResponseInfo& response);
  // True when the fail share picks this upload request.
  bool FailThisUpload();
  void Upload(net::THTTPRequestInfo& request, net::THTTPResponseInfo& response);
  void Switch(net::THTTPRequestInfo& request, net::THTTPResponseInfo& response);

  PortalSimOptions options_;
  LogFn log_;
  UploadStore store_;
  net::THTTPServer server_;

  std::atomic<int> status_code_{200};
  std::atomic<int> hang_ms_{0};
  std::atomic<std::size_t> rejected_{0}, failed_by_switch_{0}, gethid_{0}, getsp_{0};
  std::atomic<std::size_t> failed_uploads_{0};

  Mutex fail_mutex_;
  // Kept in millionths so that the count of failures is exact integer arithmetic.
  std::uint64_t fail_millionths_ GUARDED_BY(fail_mutex_) = 0;
  std::uint64_t fail_requests_ GUARDED_BY(fail_mutex_) = 0;  // upload requests since set

  Mutex stop_mutex_;
  CondVar stop_changed_;
  bool stopping_ GUARDED_BY(stop_mutex_) = false;
};

}  // namespace pmr::portal_sim
