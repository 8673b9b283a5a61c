#pragma once

// The terminal's HTTP API behind its eight POST paths: the password check, an in-memory
// person store, the busy switch and the registered callback and heart-beat addresses.
// Replies are small UTF-8 JSON texts; a wrong password is refused in the reply, never by the
// status. Thread-safe.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/mutex.h"

namespace pmr::terminal_sim {

class DeviceApi {
 public:
  using UrlListener = std::function<void(const std::string& url)>;

  // Told of each newly registered callback or heart-beat address (outside the lock).
  UrlListener on_callback_url;
  UrlListener on_heartbeat_url;

  // The reply to a POST of the form body `form` to `path`; false when the path is unknown.
  bool Handle(const std::string& path, const std::string& form, std::string& reply);

  void SetBusy(bool busy);
  bool busy() const;
  std::vector<std::string> PersonIds() const;
  std::size_t PersonCount() const;
  // The stored record of `id` as JSON, empty when there is none.
  std::string PersonJson(const std::string& id) const;
  std::string callback_url() const;
  std::string heartbeat_url() const;

  // The `msg` member of a reply.
  static std::string Message(const std::string& reply);

 private:
  struct Record {
    std::string id;
    std::string name;
    std::string idcard;
  };
  std::string Dispatch(const std::string& path, const std::map<std::string, std::string>& form,
                       std::string& new_callback, std::string& new_heartbeat);

  mutable Mutex mutex_;
  std::map<std::string, Record> persons_ GUARDED_BY(mutex_);
  bool busy_ GUARDED_BY(mutex_) = false;
  std::string callback_url_ GUARDED_BY(mutex_);
  std::string heartbeat_url_ GUARDED_BY(mutex_);
};

// JSON string literal of UTF-8 text.
std::string JsonQuote(const std::string& text);

}  // namespace pmr::terminal_sim
