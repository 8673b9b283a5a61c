#pragma once

// One stand-in terminal: its HTTP API and test controls on one listener, its FTP server on
// another, and its event source, all on one loopback address.
//
// Test controls (GET, answered with JSON):
//   /sim/busy?on=1|0     takeImg and icCardRegist answer "设备正忙" while on
//   /sim/events?add=N    posts N more events now, outside --rate, --events and pause
//   /sim/pause?on=1|0    holds the rate-driven events
//   /sim/stats           {"events_sent":..,"events_answered":..,"events_failed":..,
//                         "heartbeats_sent":..,"ftp_retr":..,"callback_url":"..",
//                         "heartbeat_url":"..","persons":..,"busy":true|false}

#include <cstdint>
#include <memory>
#include <string>

#include "net/http_server.h"
#include "tools/terminal_sim/device_api.h"
#include "tools/terminal_sim/event_source.h"
#include "tools/terminal_sim/ftp_server.h"

namespace pmr::terminal_sim {

struct TerminalOptions {
  uint16_t http_port = 8090;
  uint16_t ftp_port = 2121;
  bool busy = false;
  EventSourceOptions events;  // its address is the terminal's
};

class Terminal {
 public:
  // Starts both listeners and the event source; raises when a listener cannot bind.
  // `log` gets each line without the "terminal[ADDRESS]: " prefix.
  Terminal(TerminalOptions options, LogLine log);
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  uint16_t http_port() const { return http_port_; }
  uint16_t ftp_port() const { return ftp_->port(); }
  DeviceApi& device() { return device_; }
  EventStats Stats() const { return events_->Stats(); }
  long ftp_retr() const { return ftp_->retr_count(); }
  std::string StatsJson() const;
  // Stops posting, then closes the listeners.
  void Stop();

 private:
  void OnRequest(net::THTTPRequestInfo& request, net::THTTPResponseInfo& response);

  TerminalOptions options_;
  LogLine log_;
  DeviceApi device_;
  std::unique_ptr<FtpServer> ftp_;
  std::unique_ptr<EventSource> events_;
  net::THTTPServer http_;
  uint16_t http_port_ = 0;
  bool stopped_ = false;
};

}  // namespace pmr::terminal_sim
