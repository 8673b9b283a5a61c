#include "tools/terminal_sim/terminal.h"

#include <map>

namespace pmr::terminal_sim {
namespace {

std::map<std::string, std::string> QueryFields(const std::string& query) {
  std::map<std::string, std::string> fields;
  for (const std::string& line : net::DecodeParams(query)) {
    std::size_t eq = line.find('=');
    fields[line.substr(0, eq)] = eq == std::string::npos ? "" : line.substr(eq + 1);
  }
  return fields;
}

// Bodies shown in the log: one line, and not the whole of a large one.
std::string Shown(const std::string& body) {
  std::string shown = body.substr(0, 300);
  for (char& c : shown) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return body.size() > 300 ? shown + "..." : shown;
}

}  // namespace

Terminal::Terminal(TerminalOptions options, LogLine log)
    : options_(std::move(options)), log_(std::move(log)) {
  const std::string& address = options_.events.address;
  device_.SetBusy(options_.busy);
  ftp_ = std::make_unique<FtpServer>(options_.events.pictures, address, options_.ftp_port, log_);
  options_.events.ftp_port = ftp_->port();
  events_ = std::make_unique<EventSource>(
      options_.events, [this] { return device_.PersonIds(); }, log_);
  device_.on_callback_url = [this](const std::string& url) { events_->SetCallbackUrl(url); };
  device_.on_heartbeat_url = [this](const std::string& url) { events_->SetHeartbeatUrl(url); };
  http_.Bindings.push_back({address, options_.http_port});
  http_.OnCommandGet = [this](net::TPeerThread&, net::THTTPRequestInfo& request,
                              net::THTTPResponseInfo& response) { OnRequest(request, response); };
  http_.SetActive(true);
  http_port_ = http_.ListeningPort();
}

Terminal::~Terminal() { Stop(); }

void Terminal::Stop() {
  if (stopped_) return;
  stopped_ = true;
  events_->Stop();
  try {
    http_.SetActive(false);
  } catch (const std::exception& e) {
    if (log_) log_(std::string("http stop: ") + e.what());
  }
  ftp_->Stop();
}

std::string Terminal::StatsJson() const {
  EventStats stats = events_->Stats();
  return "{\"events_sent\":" + std::to_string(stats.events_sent) +
         ",\"events_answered\":" + std::to_string(stats.events_answered) +
         ",\"events_failed\":" + std::to_string(stats.events_failed) +
         ",\"heartbeats_sent\":" + std::to_string(stats.heartbeats_sent) +
         ",\"ftp_retr\":" + std::to_string(ftp_->retr_count()) +
         ",\"callback_url\":" + JsonQuote(device_.callback_url()) +
         ",\"heartbeat_url\":" + JsonQuote(device_.heartbeat_url()) +
         ",\"persons\":" + std::to_string(device_.PersonCount()) +
         ",\"busy\":" + (device_.busy() ? "true" : "false") + "}";
}

void Terminal::OnRequest(net::THTTPRequestInfo& request, net::THTTPResponseInfo& response) {
  response.ContentType = "application/json;charset=UTF-8";
  const std::string& path = request.Document;
  std::string reply;
  if (path.starts_with("/sim/")) {
    auto fields = QueryFields(request.QueryParams);
    if (path == "/sim/busy") {
      device_.SetBusy(fields["on"] == "1");
      reply = StatsJson();
    } else if (path == "/sim/pause") {
      events_->Pause(fields["on"] == "1");
      reply = StatsJson();
    } else if (path == "/sim/events") {
      const std::string& add = fields["add"];
      if (add.empty() || add.size() > 6 ||
          add.find_first_not_of("0123456789") != std::string::npos) {
        response.ResponseNo = 400;
        reply = "{\"result\":0,\"success\":false,\"msg\":\"add=N expected\"}";
      } else {
        events_->AddEvents(std::stol(add));
        reply = StatsJson();
      }
    } else if (path == "/sim/stats") {
      reply = StatsJson();
    } else {
      response.SetResponseNo(404);
      reply = "{\"result\":0,\"success\":false,\"msg\":\"no such control\"}";
    }
    if (log_) log_("http " + path + " " + request.QueryParams + " -> " + Shown(reply));
  } else if (device_.Handle(path, request.FormParams, reply)) {
    if (log_) {
      std::string msg = DeviceApi::Message(reply);
      log_("http " + path + " " + Shown(request.FormParams) + " -> " +
           (msg.empty() ? Shown(reply) : msg));
    }
  } else {
    response.SetResponseNo(404);
    reply = "{\"result\":0,\"success\":false,\"msg\":\"接口不存在\"}";
    if (log_) log_("http " + path + " " + Shown(request.FormParams) + " -> unknown path");
  }
  response.ContentText = reply;
}

}  // namespace pmr::terminal_sim
