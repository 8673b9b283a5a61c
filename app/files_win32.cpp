#include <windows.h>

#include <cstdlib>
#include <vector>

#include "app/files.h"
#include "base/text.h"

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

std::optional<std::string> ProgramFilesVariable() {
  const wchar_t* root = _wgetenv(L"PROGRAMFILES");
  if (!root) return std::nullopt;
  const std::wstring wide(root);
  return pmr::Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
}

std::string DefaultProgramFilesFolder() { return {}; }

const char* ProgramSourceName() { return "pmrface.exe"; }
const char* InstalledProgramName() { return "pmr.exe"; }

}  // namespace pmr::app
