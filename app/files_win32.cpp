#include <windows.h>

#include <vector>

#include "app/files.h"

namespace pmr::app {

std::filesystem::path RunningProgramFile() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return std::filesystem::path(std::wstring(buffer.data(), n));
    buffer.resize(buffer.size() * 2);
  }
}

std::string DefaultProgramFilesFolder() { return {}; }

const char* ProgramSourceName() { return "pmrface.exe"; }
const char* InstalledProgramName() { return "pmr.exe"; }

}  // namespace pmr::app
