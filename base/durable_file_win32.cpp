#include <windows.h>

#include "base/durable_file.h"

namespace pmr {

bool SyncFileToDisk(const std::filesystem::path& file) {
  HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  bool synced = ::FlushFileBuffers(handle) != 0;
  ::CloseHandle(handle);
  return synced;
}

// NTFS journals its folder entries; a renamed file keeps its new name after a power cut.
bool SyncFolderToDisk(const std::filesystem::path&) { return true; }

}  // namespace pmr
