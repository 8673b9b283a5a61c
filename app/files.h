#pragma once

// Install folders and the clean-up of old pictures.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace pmr::app {

// The install root: PROGRAMFILES when set. Elsewhere than Windows an unset PROGRAMFILES falls
// back to $XDG_DATA_HOME, then ~/.local/share; on Windows it is the empty text.
std::string ProgramFilesFolder();

// Deletes the files of `folder` (its own entries only; subfolders are neither entered nor
// removed) that match `mask` and whose last write lies more than `day_limit` whole days away
// from `now`, in the past or in the future. Failures are ignored. "*.*" matches every name.
void DeleteOldFiles(const std::filesystem::path& folder, const std::string& mask, int32_t day_limit,
                    std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

// The running program's own file.
std::filesystem::path RunningProgramFile();

// PROGRAMFILES as UTF-8 (on Windows read wide: the ANSI environment loses what the code page
// lacks); nullopt when unset.
std::optional<std::string> ProgramFilesVariable();

// The install root when PROGRAMFILES is unset: empty on Windows, else $XDG_DATA_HOME or
// ~/.local/share.
std::string DefaultProgramFilesFolder();

// The program file that start-up installs (a bare name, looked up in the working folder) and
// the name of the installed copy.
const char* ProgramSourceName();
const char* InstalledProgramName();

// Copies `source` to `target` unless `target` exists; failures are ignored. True if copied.
bool CopyIfMissing(const std::filesystem::path& source, const std::filesystem::path& target);

}  // namespace pmr::app
