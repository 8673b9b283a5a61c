#include "state/app_state.h"

namespace pmr::state {
namespace {
constexpr std::string_view kSection = "JDQFACE";
}

void AppState::OpenConfig(std::filesystem::path path) {
  MutexLock lock(mutex_);
  config_ = std::make_unique<IniFile>(std::move(path));
}

void AppState::ReleaseConfig() {
  MutexLock lock(mutex_);
  config_.reset();
}

std::string AppState::ReadConfig(std::string_view key) const {
  MutexLock lock(mutex_);
  return config_ ? config_->ReadString(kSection, key, "") : std::string();
}

bool AppState::WriteConfig(std::string_view key, std::string_view value) {
  MutexLock lock(mutex_);
  return config_ && config_->WriteString(kSection, key, value);
}

AppState::LastEvent AppState::LastEventValues() const {
  MutexLock lock(mutex_);
  return {last_card_id_, last_pic_url_, last_event_time_};
}

void AppState::SetLastPicture(std::string card_id, std::string pic_url) {
  MutexLock lock(mutex_);
  last_card_id_ = std::move(card_id);
  last_pic_url_ = std::move(pic_url);
}

}  // namespace pmr::state
