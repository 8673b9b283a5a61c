#include "base/log_file.h"

namespace pmr {

// Notepad and the other tools a school's staff would open the file with expect CRLF.
const std::string_view LogFile::kNewline = "\r\n";

}  // namespace pmr
