#include "ui/diagnostics.h"

#include <cstdio>
#include <exception>

namespace pmr::ui {

std::string EscapeLineBreaks(const std::string& line) {
  std::string out;
  out.reserve(line.size());
  for (char c : line) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

void WriteDiagnosticLine(const std::string& line) {
  const std::string out = EscapeLineBreaks(line) + '\n';
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

void RunReportingErrors(const std::function<void()>& fn,
                        const std::function<void(const std::string&)>& report) {
  if (!fn) return;
  try {
    fn();
  } catch (const std::exception& e) {
    report(std::string("error: ") + e.what());
  } catch (...) {
    report("error: unknown exception");
  }
}

}  // namespace pmr::ui
