#pragma once

// Making written files survive a power cut: their bytes, and their names in the folder.
// Best effort, never raises; false when the system refused.

#include <filesystem>
#include <vector>

namespace pmr {

// Puts `files` of `folder`, and the folder's own entries (a new name or a rename in it), on
// the disk. Files already gone are passed over.
bool SyncToDisk(const std::filesystem::path& folder,
                const std::vector<std::filesystem::path>& files);

}  // namespace pmr
