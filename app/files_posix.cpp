#include <cstdlib>
#include <system_error>

#include "app/files.h"

namespace pmr::app {

std::filesystem::path RunningProgramFile() {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : self;
}

std::optional<std::string> ProgramFilesVariable() {
  if (const char* root = std::getenv("PROGRAMFILES")) return std::string(root);
  return std::nullopt;
}

std::string DefaultProgramFilesFolder() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) return data;
  if (const char* home = std::getenv("HOME"); home && *home) {
    return std::string(home) + "/.local/share";
  }
  return {};
}

const char* ProgramSourceName() { return "pmrface"; }
const char* InstalledProgramName() { return "pmr"; }

}  // namespace pmr::app
