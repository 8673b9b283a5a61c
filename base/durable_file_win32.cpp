#include <windows.h>

#include "base/durable_file.h"

namespace pmr {

// NTFS journals its folder entries: a renamed file keeps its new name after a power cut, so
// only the files' data need flushing.
bool SyncToDisk(const std::filesystem::path&, const std::vector<std::filesystem::path>& files) {
  bool synced = true;
  for (const std::filesystem::path& file : files) {
    HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) continue;  // gone already: delivered
    synced = ::FlushFileBuffers(handle) != 0 && synced;
    ::CloseHandle(handle);
  }
  return synced;
}

}  // namespace pmr
