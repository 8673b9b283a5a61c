#pragma once

// The configuration file in the private-profile (INI) format, the same on every platform.
// Section and key names compare case-insensitively (ASCII); a missing file, section or key
// reads as the default. Values are UTF-8 inside the program and code page 936 on disk; a value
// is read up to 2047 bytes of its on-disk form. Every write goes to the file at once, through a
// temporary file renamed over it, so a crash never leaves a half-written file.
// Thread-safe: one IniFile may be read and written from several threads.

#include <filesystem>
#include <string>
#include <string_view>

#include "base/mutex.h"

namespace pmr::state {

class IniFile {
 public:
  // Opening reads and creates nothing; each call works on the file as it is then.
  explicit IniFile(std::filesystem::path path) : path_(std::move(path)) {}

  const std::filesystem::path& path() const { return path_; }

  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view default_value) const;

  // Replaces the key's value in place, or adds the key (and the section) when missing.
  // Returns false when the file cannot be written; the old file then stays as it was.
  bool WriteString(std::string_view section, std::string_view key, std::string_view value);

  static constexpr std::size_t kMaxValueBytes = 2047;

 private:
  std::filesystem::path path_;
  mutable Mutex mutex_;  // one reader or writer of the file at a time
};

}  // namespace pmr::state
