#pragma once

// The lines of the hidden log memo, shared by every backend (the memo is never shown, so
// nothing platform-specific is needed to keep it).
// Not thread-safe: the window's UI thread owns it.

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "ui/window.h"

namespace pmr::ui {

class LogMemo {
 public:
  explicit LogMemo(std::size_t max_lines = kMemoMaxLines);

  // Adds `text` as one line, or as several when it holds CR, LF or CR LF line breaks.
  // Returns the lines added, so a backend can echo them.
  std::vector<std::string> Append(const std::string& text);
  std::vector<std::string> Lines() const { return {lines_.begin(), lines_.end()}; }
  std::size_t size() const { return lines_.size(); }

 private:
  std::size_t max_lines_;
  std::deque<std::string> lines_;
};

// Splits at CR LF, CR or LF; a final line break adds no empty line, and "" is one empty line.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace pmr::ui
