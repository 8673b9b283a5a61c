#include <fcntl.h>
#include <unistd.h>

#include "base/durable_file.h"

namespace pmr {
namespace {

bool SyncPath(const std::filesystem::path& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

}  // namespace

bool SyncFileToDisk(const std::filesystem::path& file) { return SyncPath(file, O_RDONLY); }

bool SyncFolderToDisk(const std::filesystem::path& folder) {
  return SyncPath(folder, O_RDONLY | O_DIRECTORY);
}

}  // namespace pmr
