#include <system_error>

#include "app/files.h"

namespace pmr::app {

std::filesystem::path RunningProgramFile() {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : self;
}

}  // namespace pmr::app
