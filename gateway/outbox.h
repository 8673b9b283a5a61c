#pragma once

// The durable outbox of picture uploads, in a folder of the installation (kvt/outbox). A job
// is two files: "<id>.jpg", a snapshot of the picture's bytes as they were stored (a second
// name of the fetched file where the file system allows, so the bytes are not written twice;
// a copy elsewhere), and "<id>.job", its card id, capture time, file name, size and a check
// value over all of it. The picture comes first and the description is written under a
// temporary name and renamed, so a crash leaves either the whole job or none; the check value
// tells a job damaged by a power cut. A job is removed only once the portal has accepted it
// (or it is dropped for its age). Thread-safe; the folder is created on first use.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/mutex.h"

namespace pmr::gateway {

// One picture's upload as the outbox keeps it.
struct UploadJob {
  std::string id;           // names the job's files; ids sort oldest first
  std::string name;         // the picture's file name in the picture folder
  std::string pid;          // the card id
  std::string take_time;    // "yyyy-mm-dd hh:mm:ss"
  int64_t created_ms = 0;   // when it was recorded, ms since 1970 UTC
  std::uintmax_t size = 0;  // bytes of both files, for the limits
};

// At 200 KB a picture, the defaults hold about 20 000 pictures: weeks of a school's events
// while the portal is away, and never more than 4 GiB of the PC's disk.
struct OutboxLimits {
  std::size_t max_jobs = 20'000;
  std::uintmax_t max_bytes = 4ull << 30;
};

// A job whose files are missing, cut short or fail their check.
class OutboxError : public pmr::Error {
 public:
  using pmr::Error::Error;
};

class Outbox {
 public:
  using Note = std::function<void(const std::string& line)>;
  static constexpr std::string_view kJobSuffix = ".job";
  static constexpr std::string_view kPictureSuffix = ".jpg";
  // Parts of a picture handed on by ReadPicture.
  static constexpr std::size_t kPictureChunk = 48 * 1024;

  explicit Outbox(std::filesystem::path folder, OutboxLimits limits = {});
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  const std::filesystem::path& folder() const { return folder_; }

  // Reads the folder after a start: removes what a crash left unfinished (temporary files, a
  // picture without its description), moves jobs that cannot be read to "damaged" beside
  // them, and gives the others oldest first. Each file removed or moved gets a line in
  // `note`. Counts the jobs toward the limits.
  std::vector<UploadJob> Restore(const Note& note);

  // Records a job for `picture`; nullopt with the reason in `why` when the outbox is full or
  // the disk refused. `written`, when given, is a file that holds exactly these bytes and is
  // never written again (the fetch's own file before it takes the picture's name): the job
  // then gets a second name of it instead of a copy. `now_ms`: ms since 1970 UTC.
  std::optional<UploadJob> Store(std::string name, std::string pid, std::string take_time,
                                 std::string_view picture, int64_t now_ms, std::string& why,
                                 const std::filesystem::path* written = nullptr);

  // Hands the job's picture to `part` in order, in parts of kPictureChunk bytes (the last may
  // be shorter), and checks it whole at the end. Raises OutboxError when the job is gone
  // (`missing` set) or damaged; parts already handed on are then to be thrown away.
  void ReadPicture(const UploadJob& job, const std::function<void(std::string_view)>& part,
                   bool* missing = nullptr) const;
  // The whole picture (for tests).
  std::string ReadPicture(const UploadJob& job, bool* missing = nullptr) const;

  // Removes a delivered or dropped job.
  void Remove(const UploadJob& job);
  // Moves a damaged job to the "damaged" folder beside the jobs, out of the limits.
  void SetAside(const UploadJob& job);

  std::filesystem::path JobPath(const UploadJob& job) const;
  std::filesystem::path PicturePath(const UploadJob& job) const;
  std::size_t Count() const;
  std::uintmax_t Bytes() const;

 private:
  void Forget(const UploadJob& job) EXCLUDES(mutex_);

  const std::filesystem::path folder_;
  const OutboxLimits limits_;
  mutable Mutex mutex_;
  std::size_t count_ GUARDED_BY(mutex_) = 0;
  std::uintmax_t bytes_ GUARDED_BY(mutex_) = 0;
  uint64_t sequence_ GUARDED_BY(mutex_) = 0;
};

// The description file of a job for `picture`, and its reading: the job's fields (id and
// size left as they are), the picture's size and its check text. Raises OutboxError for what
// is not a whole description. For tests of damaged jobs too.
std::string EncodeJob(const UploadJob& job, std::string_view picture);
struct JobDescription {
  std::uintmax_t picture_size = 0;
  std::string check;  // the line's 16 hex digits
};
JobDescription DecodeJob(std::string_view file, UploadJob& job);

}  // namespace pmr::gateway
