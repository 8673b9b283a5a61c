#pragma once

// The stand-in portal's record of picture uploads: every accepted picture gets the next
// sequence number and, when a folder is given, is written there as "<n>_<pid>.jpg" (through a
// temporary file, so a reader never sees half a picture). Safe to use from any number of
// connection threads at once.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/checksum.h"
#include "base/mutex.h"

namespace pmr::portal_sim {

// 64-bit FNV-1a: enough for tests to tell that a picture arrived byte-exact.
using pmr::Fnv1a64;
using pmr::Hex64;

// Strict standard Base64 (A-Z a-z 0-9 + /, "=" only as the last one or two characters, length a
// multiple of 4). nullopt for anything else; the empty text decodes to no bytes.
std::optional<std::string> DecodeBase64Strict(std::string_view text);

// The pid as a safe part of a file name: bytes other than letters, digits, "-" and "_" become "_".
std::string FileNamePart(std::string_view pid);

struct UploadRecord {
  std::uint64_t number = 0;
  std::string pid;
  std::string taketime;
  std::size_t bytes = 0;
  std::uint64_t hash = 0;
  std::string file_name;  // empty when the store keeps no folder
};

class UploadStore {
 public:
  // `folder` empty: pictures are checked and counted but not written.
  explicit UploadStore(std::filesystem::path folder = {});

  // Numbers and keeps one picture. Throws pmr::Error when the file cannot be written; the
  // number is then not used and nothing is counted.
  UploadRecord Add(std::string_view pid, std::string_view taketime, std::string_view picture);

  std::vector<UploadRecord> Records() const;
  // Uploads per pid.
  std::map<std::string, std::size_t> CountsByPid() const;
  std::size_t Count() const;
  // Pictures written to the folder that are still there.
  std::size_t FilesInFolder() const;
  const std::filesystem::path& folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
  mutable Mutex mutex_;
  std::uint64_t next_number_ GUARDED_BY(mutex_) = 1;
  std::vector<UploadRecord> records_ GUARDED_BY(mutex_);
};

}  // namespace pmr::portal_sim
