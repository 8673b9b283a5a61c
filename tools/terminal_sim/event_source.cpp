#include "tools/terminal_sim/event_source.h"

#include <algorithm>
#include <fstream>
#include <system_error>

#include "base/text.h"
#include "net/http_message.h"
#include "net/socket.h"
#include "tools/terminal_sim/device_api.h"
#include "tools/terminal_sim/picture.h"

namespace pmr::terminal_sim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kMaxReply = 1 << 20;
constexpr std::string_view kAnswered = "{\"result\":1,\"success\":true}";

long long NowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool AllDigits(const std::string& text) {
  return !text.empty() && text.size() < 18 &&
         text.find_first_not_of("0123456789") == std::string::npos && text[0] != '0';
}

}  // namespace

PostResult PostJson(const std::string& url, const std::string& body,
                    const std::string& source_address, std::chrono::milliseconds timeout,
                    const std::atomic<bool>* cancel) {
  PostResult result;
  try {
    net::UriParts uri = net::SplitUri(url);
    if (!EqualsIgnoreCaseAscii(uri.scheme, "http") || uri.host.empty()) {
      result.error = "not an http URL: " + url;
      return result;
    }
    int port = 80;
    if (!uri.port.empty()) {
      if (uri.port.size() > 5 || uri.port.find_first_not_of("0123456789") != std::string::npos ||
          std::stoi(uri.port) < 1 || std::stoi(uri.port) > 65535) {
        result.error = "bad port in " + url;
        return result;
      }
      port = std::stoi(uri.port);
    }
    net::Socket socket = net::Socket::Connect(uri.host, static_cast<uint16_t>(port),
                                              std::chrono::milliseconds(10000), source_address);
    socket.SetSendTimeout(timeout);
    std::string target = uri.Target().empty() ? "/" : uri.Target();
    socket.SendAll("POST " + target + " HTTP/1.0\r\nHost: " + uri.host + ":" +
                   std::to_string(port) + "\r\nContent-Type: application/json\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n\r\n" + body);
    Clock::time_point deadline = Clock::now() + timeout;
    std::string received;
    std::size_t head_end = std::string::npos;
    long long expected = -1;
    char chunk[8192];
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) {
        result.error = "no complete reply within " + std::to_string(timeout.count()) + " ms";
        return result;
      }
      if (cancel && cancel->load()) {
        result.error = "stopped";
        return result;
      }
      if (!socket.WaitReadable(std::min(left, std::chrono::milliseconds(200)))) continue;
      std::size_t n = socket.Receive(chunk, sizeof chunk);
      if (n == 0) break;
      received.append(chunk, n);
      if (received.size() > kMaxReply) {
        result.error = "reply too large";
        return result;
      }
      if (head_end == std::string::npos) {
        head_end = received.find("\r\n\r\n");
        if (head_end != std::string::npos) {
          net::THeaderList headers;
          std::size_t line_start = received.find("\r\n") + 2;
          while (line_start < head_end) {
            std::size_t line_end = received.find("\r\n", line_start);
            headers.Add(received.substr(line_start, line_end - line_start));
            line_start = line_end + 2;
          }
          std::string length = headers.Values("Content-Length");
          if (!length.empty() && length.find_first_not_of("0123456789") == std::string::npos &&
              length.size() < 10) {
            expected = std::stoll(length);
          }
        }
      }
      if (head_end != std::string::npos && expected >= 0 &&
          received.size() >= head_end + 4 + static_cast<std::size_t>(expected)) {
        break;
      }
    }
    if (head_end == std::string::npos) {
      result.error = "connection closed before a reply head";
      return result;
    }
    std::string status_line = received.substr(0, received.find("\r\n"));
    std::size_t blank = status_line.find(' ');
    std::string code = blank == std::string::npos ? "" : status_line.substr(blank + 1, 3);
    if (!status_line.starts_with("HTTP/") || code.size() != 3 ||
        code.find_first_not_of("0123456789") != std::string::npos) {
      result.error = "malformed status line: " + status_line;
      return result;
    }
    result.status = std::stoi(code);
    result.body = received.substr(head_end + 4);
    if (expected >= 0)
      result.body.resize(std::min(result.body.size(), static_cast<std::size_t>(expected)));
  } catch (const std::exception& e) {
    result.error = e.what();
  }
  return result;
}

EventSource::EventSource(EventSourceOptions options, PersonList persons, LogLine log)
    : options_(std::move(options)),
      persons_(std::move(persons)),
      log_(std::move(log)),
      random_(options_.seed) {
  events_thread_ = std::thread([this] { EventLoop(); });
  heartbeat_thread_ = std::thread([this] { HeartbeatLoop(); });
}

EventSource::~EventSource() { Stop(); }

void EventSource::Stop() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  cancel_ = true;
  wake_.NotifyAll();
  if (events_thread_.joinable()) events_thread_.join();
  if (heartbeat_thread_.joinable()) heartbeat_thread_.join();
}

void EventSource::SetCallbackUrl(const std::string& url) {
  {
    MutexLock lock(mutex_);
    callback_url_ = url;
  }
  wake_.NotifyAll();
}

void EventSource::SetHeartbeatUrl(const std::string& url) {
  {
    MutexLock lock(mutex_);
    heartbeat_url_ = url;
  }
  wake_.NotifyAll();
}

void EventSource::AddEvents(long count) {
  if (count <= 0) return;
  {
    MutexLock lock(mutex_);
    added_ += count;
  }
  wake_.NotifyAll();
}

void EventSource::Pause(bool paused) {
  {
    MutexLock lock(mutex_);
    paused_ = paused;
  }
  wake_.NotifyAll();
}

EventStats EventSource::Stats() const {
  return {events_sent_.load(), events_answered_.load(), events_failed_.load(),
          heartbeats_sent_.load()};
}

std::string EventSource::callback_url() const {
  MutexLock lock(mutex_);
  return callback_url_;
}

std::string EventSource::PictureName(long sequence) const {
  std::string address = options_.address;
  for (char& c : address) {
    if (c == '.') c = '_';
  }
  return "snap/" + address + "_" + std::to_string(sequence) + ".jpg";
}

EventSource::Event EventSource::MakeEvent(long sequence) {
  int total = options_.mix.known + options_.mix.stranger + options_.mix.card;
  int pick = total > 0 ? static_cast<int>(random_() % static_cast<uint64_t>(total)) : 0;
  std::vector<std::string> ids = persons_ ? persons_() : std::vector<std::string>();
  if (ids.empty()) ids = options_.persons;
  if (ids.empty()) ids = {"1001"};
  std::string person = ids[random_() % ids.size()];
  Event event{sequence, person, "face_0", ""};
  bool stranger = pick >= options_.mix.known && pick < options_.mix.known + options_.mix.stranger;
  bool card = total > 0 && pick >= options_.mix.known + options_.mix.stranger;
  if (stranger) event.person = person = "STRANGERBABY";
  if (card) event.type = "card_0";
  // The device sends numeric ids as numbers now and then.
  std::string id_json = AllDigits(person) && random_() % 4 == 0 ? person : JsonQuote(person);
  std::string json = "{\"personId\":" + id_json + ",\"type\":\"" + event.type + "\"";
  if (card) {
    json += ",\"cardNo\":\"" + std::to_string(10000000 + random_() % 90000000) + "\"";
  } else {
    std::string name = PictureName(sequence);
    std::filesystem::path file = options_.pictures / name;
    std::error_code error;
    std::filesystem::create_directories(file.parent_path(), error);
    std::string comment = "terminal " + options_.address + " event " + std::to_string(sequence) +
                          " nonce " + std::to_string(random_());
    std::string bytes = MakeJpeg(comment, options_.picture_bytes);
    std::filesystem::path temporary = file;
    temporary += ".tmp";
    {
      std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
      out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::filesystem::rename(temporary, file, error);
    if (error && log_) log_("picture " + name + " not written: " + error.message());
    written_.push_back(file);
    while (written_.size() > options_.keep_pictures) {
      std::filesystem::remove(written_.front(), error);
      written_.pop_front();
    }
    json += ",\"path\":\"ftp://anonymous:" + std::string("58317094") + "@" + options_.address +
            ":" + std::to_string(options_.ftp_port) + "/" + name + "\"";
  }
  json += ",\"time\":" + std::to_string(NowMillis()) + "}";
  event.json = json;
  return event;
}

void EventSource::Send(Event event, const std::string& url) {
  ++events_sent_;
  PostResult result = PostJson(url, event.json, options_.address, options_.post_timeout, &cancel_);
  std::string outcome;
  if (result.status == 200 && TrimBlanks(result.body) == kAnswered) {
    ++events_answered_;
    outcome = "answered";
  } else {
    ++events_failed_;
    outcome = "failed: " + (result.status != 0 ? "status " + std::to_string(result.status) +
                                                     " body " + result.body.substr(0, 80)
                                               : result.error);
  }
  if (log_) {
    log_("event " + std::to_string(event.sequence) + " fp" + event.person + " " + event.type +
         " -> " + outcome);
  }
}

void EventSource::EventLoop() {
  long sequence = 0;
  long rate_sent = 0;
  Clock::time_point next_due = Clock::now();
  bool had_callback = false;
  MutexLock lock(mutex_);
  for (;;) {
    if (stopping_) return;
    if (callback_url_.empty()) {
      wake_.Wait(mutex_);
      continue;
    }
    if (!had_callback) {
      had_callback = true;
      next_due = Clock::now();
    }
    bool rate_on = options_.rate > 0 && !paused_ &&
                   (options_.max_events == 0 || rate_sent < options_.max_events);
    bool extra = added_ > 0;
    if (!extra && !(rate_on && Clock::now() >= next_due)) {
      if (rate_on) {
        wake_.WaitUntil(mutex_, next_due);
      } else {
        wake_.Wait(mutex_);
      }
      continue;
    }
    if (extra) {
      --added_;
    } else {
      ++rate_sent;
      auto step = std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(1.0 / options_.rate));
      next_due += step;
      // A slow peer does not earn a burst afterwards.
      if (next_due < Clock::now()) next_due = Clock::now();
    }
    std::string url = callback_url_;
    lock.Unlock();
    try {
      Send(MakeEvent(++sequence), url);
    } catch (const std::exception& e) {
      ++events_failed_;
      if (log_) log_("event " + std::to_string(sequence) + " -> failed: " + e.what());
    }
    lock.Lock();
  }
}

void EventSource::HeartbeatLoop() {
  if (options_.heartbeat_seconds <= 0) return;
  auto step = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(options_.heartbeat_seconds));
  long count = 0;
  MutexLock lock(mutex_);
  for (;;) {
    if (stopping_) return;
    if (heartbeat_url_.empty()) {
      wake_.Wait(mutex_);
      continue;
    }
    std::string url = heartbeat_url_;
    lock.Unlock();
    std::string body = "{\"deviceKey\":\"SIM-" + options_.address + "\",\"ip\":\"" +
                       options_.address + "\",\"time\":" + std::to_string(NowMillis()) + "}";
    PostResult result = PostJson(url, body, options_.address, options_.post_timeout, &cancel_);
    ++heartbeats_sent_;
    if (log_) {
      log_("heartbeat " + std::to_string(++count) + " -> " +
           (result.status == 200
                ? std::string("answered")
                : "failed: " +
                      (result.status ? "status " + std::to_string(result.status) : result.error)));
    }
    lock.Lock();
    Clock::time_point due = Clock::now() + step;
    while (!stopping_ && wake_.WaitUntil(mutex_, due)) {
    }
  }
}

}  // namespace pmr::terminal_sim
