#pragma once

// The process-wide values that the handlers, workers and the UI thread share.
// Every text sits behind one mutex and is handed out as a copy; the counters are atomic.
// The configuration file is reached only through this object: once released at exit, reads
// give empty texts and writes are dropped, so a late worker never touches a released object.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/mutex.h"
#include "state/ini_file.h"

namespace pmr::state {

class AppState {
 public:
  AppState() = default;
  AppState(const AppState&) = delete;
  AppState& operator=(const AppState&) = delete;

  // Configuration file (section "JDQFACE").
  void OpenConfig(std::filesystem::path path) EXCLUDES(mutex_);
  void ReleaseConfig() EXCLUDES(mutex_);
  std::string ReadConfig(std::string_view key) const EXCLUDES(mutex_);
  bool WriteConfig(std::string_view key, std::string_view value) EXCLUDES(mutex_);

  std::string FaceAddr() const { return Get(&AppState::face_addr_); }
  void SetFaceAddr(std::string v) { Set(&AppState::face_addr_, std::move(v)); }
  std::string FacePass() const { return Get(&AppState::face_pass_); }
  void SetFacePass(std::string v) { Set(&AppState::face_pass_, std::move(v)); }
  std::string SchoolSP() const { return Get(&AppState::school_sp_); }
  void SetSchoolSP(std::string v) { Set(&AppState::school_sp_, std::move(v)); }
  std::string SchoolHID() const { return Get(&AppState::school_hid_); }
  void SetSchoolHID(std::string v) { Set(&AppState::school_hid_, std::move(v)); }
  std::string LastCardId() const { return Get(&AppState::last_card_id_); }
  void SetLastCardId(std::string v) { Set(&AppState::last_card_id_, std::move(v)); }
  std::string LastPicUrl() const { return Get(&AppState::last_pic_url_); }
  void SetLastPicUrl(std::string v) { Set(&AppState::last_pic_url_, std::move(v)); }
  std::string LastEventTime() const { return Get(&AppState::last_event_time_); }
  void SetLastEventTime(std::string v) { Set(&AppState::last_event_time_, std::move(v)); }

  // The last stored picture as one consistent triple, for the left pane's live list.
  struct LastEvent {
    std::string card_id, pic_url, event_time;
  };
  LastEvent LastEventValues() const EXCLUDES(mutex_);
  // Card id and picture address of a newly stored picture, set together.
  void SetLastPicture(std::string card_id, std::string pic_url) EXCLUDES(mutex_);

  std::atomic<uint32_t> ActivateMessage{0};
  std::atomic<bool> ExitRequested{false};
  std::atomic<int32_t> PicsWaiting{0};
  std::atomic<int32_t> PicsUploaded{0};

 private:
  // By member pointer: the field is reached only here, under the lock.
  std::string Get(std::string AppState::*field) const EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return this->*field;
  }
  void Set(std::string AppState::*field, std::string value) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    this->*field = std::move(value);
  }

  mutable Mutex mutex_;
  std::string face_addr_ GUARDED_BY(mutex_), face_pass_ GUARDED_BY(mutex_),
      school_sp_ GUARDED_BY(mutex_), school_hid_ GUARDED_BY(mutex_);
  std::string last_card_id_ GUARDED_BY(mutex_), last_pic_url_ GUARDED_BY(mutex_),
      last_event_time_ GUARDED_BY(mutex_);
  std::unique_ptr<IniFile> config_ GUARDED_BY(mutex_);  // null before open and after release
};

}  // namespace pmr::state
