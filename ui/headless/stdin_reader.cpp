#include "ui/headless/stdin_reader.h"

namespace pmr::ui::headless {

void LineSplitter::Feed(std::string_view bytes) {
  while (!bytes.empty()) {
    std::size_t lf = bytes.find('\n');
    std::string_view part = bytes.substr(0, lf);
    if (!overlong_) {
      if (current_.size() + part.size() > kMaxLine) {
        overlong_ = true;
        current_.clear();
        on_error_("command line longer than " + std::to_string(kMaxLine) + " bytes ignored");
      } else {
        current_.append(part);
      }
    }
    if (lf == std::string_view::npos) return;
    Emit();
    bytes.remove_prefix(lf + 1);
  }
}

void LineSplitter::Finish() {
  if (!current_.empty() && !overlong_) Emit();
  current_.clear();
  overlong_ = false;
}

void LineSplitter::Emit() {
  if (!overlong_) {
    if (!current_.empty() && current_.back() == '\r') current_.pop_back();
    on_line_(std::move(current_));
  }
  current_.clear();
  overlong_ = false;
}

}  // namespace pmr::ui::headless
