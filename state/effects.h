#pragma once

// What workers and connection threads may do to the main window. Every call is safe from any
// thread; the window carries it out on its own thread, in the order of the calls, and drops
// it once the window is gone.

#include <string>

namespace pmr::state {

class WindowEffects {
 public:
  virtual ~WindowEffects() = default;
  // Appends one line to the hidden log memo.
  virtual void Log(std::string line) = 0;
  // Sets the text of status panel 0, 1 or 2.
  virtual void SetStatus(int panel, std::string text) = 0;
  // A line for the log file only: why something failed or was dropped where the memo keeps
  // silent. Never waits on the disk.
  virtual void LogDetail(std::string line) = 0;
};

}  // namespace pmr::state
