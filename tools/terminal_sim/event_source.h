#pragma once

// The terminal's outgoing side: recognition and card events at a steady rate to the
// registered callback address, and heart-beats to the heart-beat address, each posted from the
// terminal's own address. Every face event's picture is written before its event is posted.
// Events go one at a time on one thread, heart-beats on another; Stop() joins both.
// Thread-safe.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"

namespace pmr::terminal_sim {

struct EventMix {
  int known = 8;
  int stranger = 1;
  int card = 1;
};

struct EventSourceOptions {
  std::string address = "127.0.0.2";
  uint16_t ftp_port = 0;
  std::filesystem::path pictures;
  std::size_t picture_bytes = 200000;
  double rate = 2;      // events per second; 0: only those added by AddEvents
  long max_events = 0;  // 0: no limit
  double heartbeat_seconds = 10;
  EventMix mix;
  std::vector<std::string> persons;  // used while the device knows no persons
  uint64_t seed = 1;
  std::chrono::milliseconds post_timeout{30000};
  std::size_t keep_pictures = 1000;  // older pictures are deleted
};

struct EventStats {
  long events_sent = 0;
  long events_answered = 0;
  long events_failed = 0;
  long heartbeats_sent = 0;
};

// The answer to one POST: the status (0 when none came) and the body.
struct PostResult {
  int status = 0;
  std::string body;
  std::string error;
};

// POSTs `body` as JSON to an http:// URL from `source_address`, HTTP/1.0, one connection.
// Gives up early once `cancel` (when given) becomes true.
PostResult PostJson(const std::string& url, const std::string& body,
                    const std::string& source_address, std::chrono::milliseconds timeout,
                    const std::atomic<bool>* cancel = nullptr);

class EventSource {
 public:
  using LogLine = std::function<void(const std::string& line)>;
  // The person ids the device holds now.
  using PersonList = std::function<std::vector<std::string>()>;

  EventSource(EventSourceOptions options, PersonList persons, LogLine log);
  ~EventSource();
  EventSource(const EventSource&) = delete;
  EventSource& operator=(const EventSource&) = delete;

  void SetCallbackUrl(const std::string& url);
  void SetHeartbeatUrl(const std::string& url);
  // Posts `count` more events as soon as a callback is known, outside the rate and the limit.
  void AddEvents(long count);
  void Pause(bool paused);
  void Stop();

  EventStats Stats() const;
  std::string callback_url() const;

  // The FTP path of picture `sequence`: "snap/<address with _>_<sequence>.jpg".
  std::string PictureName(long sequence) const;

 private:
  struct Event {
    long sequence;
    std::string person;
    std::string type;
    std::string json;
  };
  void EventLoop();
  void HeartbeatLoop();
  Event MakeEvent(long sequence);
  void Send(Event event, const std::string& url);

  const EventSourceOptions options_;
  PersonList persons_;
  LogLine log_;

  mutable Mutex mutex_;
  CondVar wake_;
  std::string callback_url_ GUARDED_BY(mutex_);
  std::string heartbeat_url_ GUARDED_BY(mutex_);
  long added_ GUARDED_BY(mutex_) = 0;
  bool paused_ GUARDED_BY(mutex_) = false;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::mt19937_64 random_;                     // event thread only
  std::deque<std::filesystem::path> written_;  // event thread only

  std::atomic<bool> cancel_{false};  // set by Stop: posts in flight give up
  std::atomic<long> events_sent_{0};
  std::atomic<long> events_answered_{0};
  std::atomic<long> events_failed_{0};
  std::atomic<long> heartbeats_sent_{0};

  std::thread events_thread_;
  std::thread heartbeat_thread_;
};

}  // namespace pmr::terminal_sim
