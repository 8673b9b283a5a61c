#include "base/log_file.h"

namespace pmr {

const std::string_view LogFile::kNewline = "\n";

}  // namespace pmr
