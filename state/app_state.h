#pragma once

// The process-wide values that the handlers, workers and the UI thread share.
// Every text is guarded by one mutex and handed out as a copy; the counters are atomic.
// The configuration file is reached only through this object: once released at exit, reads
// give empty texts and writes are dropped, so a late worker never touches a released object.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "state/ini_file.h"

namespace pmr::state {

class AppState {
 public:
  AppState() = default;
  AppState(const AppState&) = delete;
  AppState& operator=(const AppState&) = delete;

  // Configuration file (section "JDQFACE").
  void OpenConfig(std::filesystem::path path);
  void ReleaseConfig();
  std::string ReadConfig(std::string_view key) const;
  bool WriteConfig(std::string_view key, std::string_view value);

  std::string FaceAddr() const { return Get(face_addr_); }
  void SetFaceAddr(std::string v) { Set(face_addr_, std::move(v)); }
  std::string FacePass() const { return Get(face_pass_); }
  void SetFacePass(std::string v) { Set(face_pass_, std::move(v)); }
  std::string SchoolSP() const { return Get(school_sp_); }
  void SetSchoolSP(std::string v) { Set(school_sp_, std::move(v)); }
  std::string SchoolHID() const { return Get(school_hid_); }
  void SetSchoolHID(std::string v) { Set(school_hid_, std::move(v)); }
  std::string LastCardId() const { return Get(last_card_id_); }
  void SetLastCardId(std::string v) { Set(last_card_id_, std::move(v)); }
  std::string LastPicUrl() const { return Get(last_pic_url_); }
  void SetLastPicUrl(std::string v) { Set(last_pic_url_, std::move(v)); }
  std::string LastEventTime() const { return Get(last_event_time_); }
  void SetLastEventTime(std::string v) { Set(last_event_time_, std::move(v)); }

  // The last stored picture as one consistent triple, for the left pane's live list.
  struct LastEvent {
    std::string card_id, pic_url, event_time;
  };
  LastEvent LastEventValues() const;
  // Card id and picture address of a newly stored picture, set together.
  void SetLastPicture(std::string card_id, std::string pic_url);

  std::atomic<uint32_t> ActivateMessage{0};
  std::atomic<bool> ExitRequested{false};
  std::atomic<int32_t> PicsWaiting{0};
  std::atomic<int32_t> PicsUploaded{0};

 private:
  std::string Get(const std::string& field) const {
    std::lock_guard lock(mutex_);
    return field;
  }
  void Set(std::string& field, std::string value) {
    std::lock_guard lock(mutex_);
    field = std::move(value);
  }

  mutable std::mutex mutex_;
  std::string face_addr_, face_pass_, school_sp_, school_hid_;
  std::string last_card_id_, last_pic_url_, last_event_time_;
  std::unique_ptr<IniFile> config_;  // guarded by mutex_; null before open and after release
};

}  // namespace pmr::state
