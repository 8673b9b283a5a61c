#include "gateway/outbox.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <system_error>

#include "base/checksum.h"
#include "base/file_path.h"

namespace pmr::gateway {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kMagic = "PMRJOB 2\n";
constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr const char* kDamagedFolder = "damaged";
// A description longer than this is no description of ours.
constexpr std::size_t kMaxDescription = 1 << 20;

void AppendField(std::string& out, std::string_view key, std::string_view value) {
  out.append(key).append(" ").append(std::to_string(value.size())).append("\n");
  out.append(value).append("\n");
}

[[noreturn]] void Fail(const std::string& why) {
  throw OutboxError("not a whole upload job: " + why);
}

// Reads the fields of a description in order; every step checks what it reads.
class JobReader {
 public:
  explicit JobReader(std::string_view data) : data_(data) {}

  void Expect(std::string_view text) {
    if (data_.substr(at_, text.size()) != text) Fail("a field is missing or out of place");
    at_ += text.size();
  }
  uint64_t Number() {
    uint64_t value = 0;
    const char* begin = data_.data() + at_;
    auto [end, error] = std::from_chars(begin, data_.data() + data_.size(), value);
    if (error != std::errc() || end == begin) Fail("a number is missing");
    at_ += static_cast<std::size_t>(end - begin);
    return value;
  }
  // "key <length>\n<bytes>\n"
  std::string_view Field(std::string_view key) {
    Expect(key);
    Expect(" ");
    uint64_t length = Number();
    Expect("\n");
    if (length >= data_.size() - at_) Fail("cut short");
    std::string_view value = data_.substr(at_, static_cast<std::size_t>(length));
    at_ += static_cast<std::size_t>(length);
    Expect("\n");
    return value;
  }
  std::string_view Rest() const { return data_.substr(at_); }
  std::size_t at() const { return at_; }

 private:
  std::string_view data_;
  std::size_t at_ = 0;
};

// The description's check text: the picture's check value continued over the fields.
std::string CheckText(std::string_view head, const Check64& picture) {
  return Hex64(Fnv1a64(head, picture.Value()));
}

std::string JobHead(const UploadJob& job, std::uintmax_t picture_size) {
  std::string out;
  out.reserve(job.name.size() + job.pid.size() + job.take_time.size() + 128);
  out.append(kMagic);
  out.append("created ").append(std::to_string(job.created_ms)).append("\n");
  AppendField(out, "name", job.name);
  AppendField(out, "pid", job.pid);
  AppendField(out, "taketime", job.take_time);
  out.append("picture ").append(std::to_string(picture_size)).append("\n");
  return out;
}

struct Parsed {
  JobDescription description;
  std::size_t head_size = 0;
};

Parsed Parse(std::string_view file, UploadJob& job) {
  JobReader reader(file);
  reader.Expect(kMagic);
  reader.Expect("created ");
  job.created_ms = static_cast<int64_t>(reader.Number());
  reader.Expect("\n");
  job.name = std::string(reader.Field("name"));
  job.pid = std::string(reader.Field("pid"));
  job.take_time = std::string(reader.Field("taketime"));
  reader.Expect("picture ");
  Parsed parsed;
  parsed.description.picture_size = reader.Number();
  reader.Expect("\n");
  parsed.head_size = reader.at();
  reader.Expect("check ");
  const std::string_view rest = reader.Rest();
  if (rest.size() != 17 || rest.back() != '\n' ||
      rest.substr(0, 16).find_first_not_of("0123456789abcdef") != std::string_view::npos) {
    Fail("its check line is damaged");
  }
  parsed.description.check = std::string(rest.substr(0, 16));
  return parsed;
}

std::string ReadSmallFile(const fs::path& path, bool* missing) {
  std::ifstream in(path, std::ios::binary);
  std::error_code error;
  if (!in) {
    if (missing) *missing = !fs::exists(path, error);
    throw OutboxError("cannot open " + PathToUtf8(path.filename()));
  }
  const std::uintmax_t size = fs::file_size(path, error);
  if (error || size > kMaxDescription) Fail("its description is not one");
  std::string data(static_cast<std::size_t>(size), '\0');
  in.read(data.data(), static_cast<std::streamsize>(data.size()));
  if (static_cast<std::size_t>(in.gcount()) != data.size()) Fail("cut short");
  return data;
}

bool WriteFile(const fs::path& path, std::string_view data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  out.close();
  return !out.fail();
}

// Written under a temporary name and renamed, so the name never shows half a file.
bool PlaceFile(const fs::path& path, std::string_view data, std::error_code& error) {
  const fs::path temporary = fs::path(path).concat(kTemporarySuffix);
  if (WriteFile(temporary, data)) {
    fs::rename(temporary, path, error);
    if (!error) return true;
  }
  std::error_code ignored;
  fs::remove(temporary, ignored);
  return false;
}

// A name that sorts by the time of recording, then the order within this run; the run's own
// random part keeps names of two runs apart.
std::string JobId(int64_t now_ms, uint64_t sequence) {
  static const uint32_t run = [] {
    std::random_device random;
    return static_cast<uint32_t>(random());
  }();
  char text[64];
  std::snprintf(text, sizeof text, "j%016lld-%010llu-%08x", static_cast<long long>(now_ms),
                static_cast<unsigned long long>(sequence), static_cast<unsigned>(run));
  return text;
}

void MoveAside(const fs::path& folder, const fs::path& file) {
  std::error_code ignored;
  if (!fs::exists(file, ignored)) return;
  fs::create_directories(folder / kDamagedFolder, ignored);
  fs::rename(file, folder / kDamagedFolder / file.filename(), ignored);
}

}  // namespace

std::string EncodeJob(const UploadJob& job, std::string_view picture) {
  Check64 check;
  check.Update(picture);
  const std::string head = JobHead(job, picture.size());
  return head + "check " + CheckText(head, check) + "\n";
}

JobDescription DecodeJob(std::string_view file, UploadJob& job) {
  return Parse(file, job).description;
}

Outbox::Outbox(fs::path folder, OutboxLimits limits)
    : folder_(std::move(folder)), limits_(limits) {}

fs::path Outbox::JobPath(const UploadJob& job) const {
  return folder_ / PathFromUtf8(job.id + std::string(kJobSuffix));
}

fs::path Outbox::PicturePath(const UploadJob& job) const {
  return folder_ / PathFromUtf8(job.id + std::string(kPictureSuffix));
}

std::vector<UploadJob> Outbox::Restore(const Note& note) {
  std::vector<UploadJob> jobs;
  std::error_code error;
  fs::directory_iterator it(folder_, error);
  if (error) return jobs;
  std::set<std::string> descriptions, pictures;
  std::vector<fs::path> temporary;
  for (const fs::directory_entry& entry : it) {
    std::error_code ignored;
    if (!entry.is_regular_file(ignored)) continue;
    const std::string name = PathToUtf8(entry.path().filename());
    if (name.ends_with(kTemporarySuffix)) {
      temporary.push_back(entry.path());
    } else if (name.ends_with(kJobSuffix)) {
      descriptions.insert(name.substr(0, name.size() - kJobSuffix.size()));
    } else if (name.ends_with(kPictureSuffix)) {
      pictures.insert(name.substr(0, name.size() - kPictureSuffix.size()));
    }
  }
  auto say = [&note](const std::string& line) {
    if (note) note(line);
  };
  for (const fs::path& path : temporary) {
    // A file whose writing a crash cut short: never part of a job.
    std::error_code ignored;
    fs::remove(path, ignored);
    say("outbox: unfinished file " + PathToUtf8(path.filename()) + " removed");
  }
  for (const std::string& id : pictures) {
    if (descriptions.count(id)) continue;
    // The picture of a job whose description a crash kept from being written.
    std::error_code ignored;
    fs::remove(folder_ / PathFromUtf8(id + std::string(kPictureSuffix)), ignored);
    say("outbox: unfinished job " + id + " removed");
  }
  for (const std::string& id : descriptions) {
    UploadJob job;
    job.id = id;
    try {
      const std::string text = ReadSmallFile(JobPath(job), nullptr);
      const JobDescription description = DecodeJob(text, job);
      std::error_code size_error;
      const std::uintmax_t size = fs::file_size(PicturePath(job), size_error);
      // A picture cut short by a power cut is told by its length here; its bytes by the check
      // value when the job is sent.
      if (size_error) Fail("its picture is missing");
      if (size != description.picture_size) Fail("its picture has the wrong length");
      job.size = text.size() + size;
      jobs.push_back(std::move(job));
    } catch (const std::exception& e) {
      MoveAside(folder_, JobPath(job));
      MoveAside(folder_, PicturePath(job));
      say("outbox: damaged job " + id + " moved to damaged: " + e.what());
    }
  }
  MutexLock lock(mutex_);
  for (const UploadJob& job : jobs) {
    ++count_;
    bytes_ += job.size;
  }
  return jobs;  // the set gave them in the order of their ids: oldest first
}

std::optional<UploadJob> Outbox::Store(std::string name, std::string pid, std::string take_time,
                                       std::string_view picture, int64_t now_ms, std::string& why,
                                       const fs::path* written) {
  UploadJob job;
  job.name = std::move(name);
  job.pid = std::move(pid);
  job.take_time = std::move(take_time);
  job.created_ms = now_ms;
  const std::string description = EncodeJob(job, picture);
  job.size = description.size() + picture.size();
  {
    MutexLock lock(mutex_);
    if (count_ + 1 > limits_.max_jobs || bytes_ + job.size > limits_.max_bytes) {
      why = "the outbox is full (" + std::to_string(count_) + " jobs, " +
            std::to_string(bytes_) + " bytes; at most " + std::to_string(limits_.max_jobs) +
            " jobs, " + std::to_string(limits_.max_bytes) + " bytes)";
      return std::nullopt;
    }
    job.id = JobId(now_ms, ++sequence_);
    // Counted before the writing so that parallel stores cannot overrun the limits together.
    ++count_;
    bytes_ += job.size;
  }
  std::error_code error;
  fs::create_directories(folder_, error);
  const fs::path picture_path = PicturePath(job);
  bool placed = false;
  if (written) {
    std::error_code link_error;
    fs::create_hard_link(*written, picture_path, link_error);
    placed = !link_error;
  }
  if (!placed) placed = PlaceFile(picture_path, picture, error);
  if (placed && PlaceFile(JobPath(job), description, error)) return job;
  std::error_code ignored;
  fs::remove(picture_path, ignored);
  why = "cannot write in " + PathToUtf8(folder_) + (error ? ": " + error.message() : "");
  Forget(job);
  return std::nullopt;
}

void Outbox::ReadPicture(const UploadJob& job, const std::function<void(std::string_view)>& part,
                         bool* missing) const {
  if (missing) *missing = false;
  UploadJob read = job;
  const std::string text = ReadSmallFile(JobPath(job), missing);
  const Parsed parsed = Parse(text, read);
  std::ifstream in(PicturePath(job), std::ios::binary);
  std::error_code error;
  const std::uintmax_t size = fs::file_size(PicturePath(job), error);
  if (!in || error) Fail("its picture is missing");
  if (size != parsed.description.picture_size) Fail("its picture has the wrong length");
  Check64 check;
  std::string chunk(static_cast<std::size_t>(std::min<std::uintmax_t>(size, kPictureChunk)), '\0');
  for (std::uintmax_t left = size; left > 0;) {
    const auto take = static_cast<std::size_t>(std::min<std::uintmax_t>(left, kPictureChunk));
    in.read(chunk.data(), static_cast<std::streamsize>(take));
    if (static_cast<std::size_t>(in.gcount()) != take) Fail("its picture is cut short");
    const std::string_view piece(chunk.data(), take);
    check.Update(piece);
    part(piece);
    left -= take;
  }
  if (CheckText(std::string_view(text).substr(0, parsed.head_size), check) !=
      parsed.description.check) {
    Fail("its check value does not match");
  }
}

std::string Outbox::ReadPicture(const UploadJob& job, bool* missing) const {
  std::string picture;
  ReadPicture(job, [&picture](std::string_view piece) { picture.append(piece); }, missing);
  return picture;
}

void Outbox::Remove(const UploadJob& job) {
  // The description first: a crash in between leaves a picture alone, which a start removes.
  std::error_code ignored;
  fs::remove(JobPath(job), ignored);
  fs::remove(PicturePath(job), ignored);
  Forget(job);
}

void Outbox::SetAside(const UploadJob& job) {
  MoveAside(folder_, JobPath(job));
  MoveAside(folder_, PicturePath(job));
  Forget(job);
}

void Outbox::Forget(const UploadJob& job) {
  MutexLock lock(mutex_);
  if (count_ > 0) --count_;
  bytes_ -= std::min(bytes_, job.size);
}

std::size_t Outbox::Count() const {
  MutexLock lock(mutex_);
  return count_;
}

std::uintmax_t Outbox::Bytes() const {
  MutexLock lock(mutex_);
  return bytes_;
}

}  // namespace pmr::gateway
