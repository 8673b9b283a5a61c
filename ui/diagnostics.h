#pragma once

// What every backend does the same with its diagnostics: one line per event on standard
// output ("log: LINE", "status[N]: TEXT", ...), and a callback's escaped exception reported
// without stopping the loop.

#include <functional>
#include <string>

namespace pmr::ui {

// `line` with its line breaks shown as \n and \r, so that one event stays one output line.
std::string EscapeLineBreaks(const std::string& line);

// Writes the escaped line and a line break to standard output and flushes it.
void WriteDiagnosticLine(const std::string& line);

// Runs `fn`; an exception is given to `report` as "error: WHAT" and the loop goes on. No
// dialog, so an unattended bridge never waits for a click.
void RunReportingErrors(const std::function<void()>& fn,
                        const std::function<void(const std::string&)>& report);

}  // namespace pmr::ui
