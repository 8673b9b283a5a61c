#pragma once

// Reads standard input line by line on a thread of its own and hands each line, without its
// line end, to `on_line` on that thread. The end of input only ends the reading. The
// destructor stops the thread and joins it, also while it waits for input.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace pmr::ui::headless {

// Cuts a byte stream into lines at LF (a CR before it is dropped). A line longer than
// kMaxLine is refused as a whole: `on_error` is told once and its bytes up to the next LF are
// skipped.
class LineSplitter {
 public:
  static constexpr std::size_t kMaxLine = 64 * 1024;

  LineSplitter(std::function<void(std::string)> on_line,
               std::function<void(const std::string&)> on_error)
      : on_line_(std::move(on_line)), on_error_(std::move(on_error)) {}

  void Feed(std::string_view bytes);
  // The end of input: a last line without LF still counts.
  void Finish();

 private:
  void Emit();

  std::function<void(std::string)> on_line_;
  std::function<void(const std::string&)> on_error_;
  std::string current_;
  bool overlong_ = false;
};

class StdinReader {
 public:
  StdinReader(std::function<void(std::string)> on_line,
              std::function<void(const std::string&)> on_error);
  ~StdinReader();
  StdinReader(const StdinReader&) = delete;
  StdinReader& operator=(const StdinReader&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace pmr::ui::headless
