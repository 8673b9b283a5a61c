#include <fcntl.h>
#include <unistd.h>

#include "base/durable_file.h"

namespace pmr {

bool SyncToDisk(const std::filesystem::path& folder,
                const std::vector<std::filesystem::path>& files) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
#ifdef __linux__
  // One journal commit for every file and name at once, where a commit per file would make the
  // disk the bottleneck of a busy terminal.
  (void)files;
  bool synced = ::syncfs(fd) == 0;
#else
  bool synced = true;
  for (const std::filesystem::path& file : files) {
    int file_fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (file_fd < 0) continue;  // gone already: delivered
    synced = ::fsync(file_fd) == 0 && synced;
    ::close(file_fd);
  }
  synced = ::fsync(fd) == 0 && synced;
#endif
  ::close(fd);
  return synced;
}

}  // namespace pmr
