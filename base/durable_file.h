#pragma once

// Making a written file survive a power cut: its bytes, and its name in the folder.
// Both are best effort and never raise; false when the system refused.

#include <filesystem>

namespace pmr {

// Flushes the file's data to the disk.
bool SyncFileToDisk(const std::filesystem::path& file);

// Flushes the folder's entries (a rename or a new name in it) to the disk. Where the file
// system journals its names by itself this does nothing and answers true.
bool SyncFolderToDisk(const std::filesystem::path& folder);

}  // namespace pmr
