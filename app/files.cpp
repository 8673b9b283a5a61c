#include "app/files.h"

#include "base/file_path.h"

#include <optional>
#include <string_view>
#include <system_error>

namespace pmr::app {
namespace fs = std::filesystem;

std::string ProgramFilesFolder() {
  if (std::optional<std::string> root = ProgramFilesVariable()) return *root;
  return DefaultProgramFilesFolder();
}

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// "*" and "?" wildcards, letter case ignored as the platform's file names do.
bool Wildcard(std::string_view name, std::string_view mask) {
  std::size_t n = 0, m = 0, star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || Lower(mask[m]) == Lower(name[n]))) {
      ++n, ++m;
    } else if (m < mask.size() && mask[m] == '*') {
      star = m++;
      resume = n;
    } else if (star != std::string_view::npos) {
      m = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

bool MatchesMask(const std::string& name, const std::string& mask) {
  // Windows file masks: "*.*" takes every name, with or without a dot.
  if (mask == "*.*") return true;
  return Wildcard(name, mask);
}

}  // namespace

void DeleteOldFiles(const fs::path& folder, const std::string& mask, int32_t day_limit,
                    std::chrono::system_clock::time_point now) {
  std::error_code error;
  fs::directory_iterator it(folder, error);
  if (error) return;
  for (const fs::directory_entry& entry : it) {
    std::error_code e;
    if (entry.is_directory(e) || !MatchesMask(PathToUtf8(entry.path().filename()), mask)) continue;
    auto written = entry.last_write_time(e);
    if (e) continue;
    auto written_sys = fs::file_time_type::clock::to_sys(written);
    auto difference = now > written_sys ? now - written_sys : written_sys - now;
    auto whole_days = std::chrono::duration_cast<std::chrono::hours>(difference).count() / 24;
    if (whole_days > day_limit) fs::remove(entry.path(), e);
  }
}

bool CopyIfMissing(const fs::path& source, const fs::path& target) {
  std::error_code error;
  if (fs::exists(target, error) || error) return false;
  // Copied under another name and renamed whole: a copy cut short by a power cut would
  // otherwise stay as a broken program that is never replaced.
  fs::path partial = target;
  partial += ".partial";
  // Removed rather than overwritten: MinGW's copy_file takes every existing file for the source
  // itself and refuses to overwrite it.
  fs::remove(partial, error);
  if (!fs::copy_file(source, partial, error) || error) {
    fs::remove(partial, error);
    return false;
  }
  fs::rename(partial, target, error);
  if (error) fs::remove(partial, error);
  return !error;
}

}  // namespace pmr::app
