#pragma once

// The daily log file <folder>/pmrface-yyyy-mm-dd.log: each line stamped with the clock's local
// time and written in UTF-8 by a background thread, so that a slow or failing disk never holds
// up the caller. Disk failures drop lines and are never raised; the writer tries again with the
// lines that come later.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "base/datetime.h"

namespace pmr {

struct LogFileOptions {
  // Per day's file, what an earlier run wrote to it included; the file never passes it. The
  // first line that would leave no room for a notice saying so is replaced by that notice, and
  // the rest of that day's lines are dropped.
  std::uintmax_t daily_cap_bytes = 64ull << 20;
  // Open removes the files of days more than this before today.
  int keep_days = 30;
  // Queued but not yet written, each line counted with its stamp and line end; lines beyond
  // are dropped and their number written once the writer catches up.
  std::size_t max_pending_bytes = 8u << 20;
  // Lines wait this long for more to come, then all go out in one write: a burst of lines
  // costs the writer one wake-up, not one each. Flush and the destructor cut the wait short.
  std::chrono::milliseconds gather_time{20};
};

// Thread-safe. Write never waits on the disk.
class LogFile {
 public:
  // The platform's line end in text files: "\r\n" on Windows, "\n" elsewhere.
  static const std::string_view kNewline;

  // `clock` must outlive this object; the writer thread never reads it.
  explicit LogFile(const Clock& clock, LogFileOptions options = {});
  // Writes what is queued and stops the writer. Waits at most about a second: a writer stuck
  // on the disk is left to finish on its own.
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Creates `folder` with its parents when missing, removes the pmrface-yyyy-mm-dd.log files
  // of days more than keep_days before today (other names are left alone), and starts writing
  // there, beginning with the lines queued before. A later call moves the log to another folder.
  void Open(const std::filesystem::path& folder);

  // Queues one line stamped with the clock's time now. A line break inside (CR, LF or CRLF)
  // becomes the line end and a TAB, so no text can pass for a line of its own.
  void Write(std::string line);

  // Waits until every line queued so far has been written and flushed, or dropped; false when
  // `wait` ran out first, as it does before Open while lines wait.
  bool Flush(std::chrono::milliseconds wait);

 private:
  struct Shared;
  static void Run(std::shared_ptr<Shared> shared);

  const Clock& clock_;
  // Shared with the writer thread, which may outlive this object (see the destructor).
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace pmr
