#include "ui/log_memo.h"

namespace pmr::ui {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> out;
  std::string current;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      out.push_back(std::move(current));
      current.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty() || out.empty()) out.push_back(std::move(current));
  return out;
}

LogMemo::LogMemo(std::size_t max_lines) : max_lines_(max_lines == 0 ? 1 : max_lines) {
  lines_.push_back("Memo1");
}

std::vector<std::string> LogMemo::Append(const std::string& text) {
  std::vector<std::string> added = SplitLines(text);
  for (const std::string& line : added) lines_.push_back(line);
  while (lines_.size() > max_lines_) lines_.pop_front();
  return added;
}

}  // namespace pmr::ui
