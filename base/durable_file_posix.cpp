#include <fcntl.h>
#include <unistd.h>

#include "base/durable_file.h"

namespace pmr {

bool SyncToDisk(const std::filesystem::path& folder,
                const std::vector<std::filesystem::path>& files) {
  // File by file, not the whole file system: a flush of everything would also write what other
  // files hold only for a moment (pictures replaced by the next of their name).
  bool synced = true;
  for (const std::filesystem::path& file : files) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;  // gone already: delivered
    synced = ::fdatasync(fd) == 0 && synced;
    ::close(fd);
  }
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  synced = ::fsync(fd) == 0 && synced;
  ::close(fd);
  return synced;
}

}  // namespace pmr
