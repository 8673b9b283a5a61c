#include "gateway/outbox.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <random>
#include <system_error>

#include "base/checksum.h"
#include "base/file_path.h"

namespace pmr::gateway {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kMagic = "PMRJOB 1\n";
constexpr std::string_view kJobSuffix = ".job";
constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr const char* kDamagedFolder = "damaged";
// "check " + 16 hex digits + "\n"
constexpr std::size_t kCheckLineSize = 23;
// Enough for the head of any ordinary job; a longer head is read whole.
constexpr std::size_t kHeadProbe = 64 * 1024;

void AppendField(std::string& out, std::string_view key, std::string_view value) {
  out.append(key).append(" ").append(std::to_string(value.size())).append("\n");
  out.append(value).append("\n");
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Reads the fields of a job file in order; every step checks what it reads.
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
  // "key <length>\n<bytes>\n"; with `keep` false only the length is taken (the bytes may lie
  // beyond what was read).
  std::string_view Field(std::string_view key, bool keep, uint64_t* length_out = nullptr) {
    Expect(key);
    Expect(" ");
    uint64_t length = Number();
    Expect("\n");
    if (length_out) *length_out = length;
    if (!keep) return {};
    if (length > data_.size() - at_ || data_.size() - at_ - length < 1) Fail("cut short");
    std::string_view value = data_.substr(at_, static_cast<std::size_t>(length));
    at_ += static_cast<std::size_t>(length);
    Expect("\n");
    return value;
  }
  std::size_t at() const { return at_; }
  [[noreturn]] static void Fail(const std::string& why) {
    throw OutboxError("not a whole upload job: " + why);
  }

 private:
  std::string_view data_;
  std::size_t at_ = 0;
};

std::string ReadFile(const fs::path& path, std::size_t most, bool* missing) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::error_code ignored;
    if (missing) *missing = !fs::exists(path, ignored);
    throw OutboxError("cannot open " + PathToUtf8(path.filename()));
  }
  std::string data;
  char chunk[64 * 1024];
  while (data.size() < most && in.read(chunk, sizeof chunk).gcount() > 0) {
    data.append(chunk, static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) throw OutboxError("cannot read " + PathToUtf8(path.filename()));
  return data;
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

}  // namespace

std::string EncodeJob(const UploadJob& job, std::string_view picture) {
  std::string out;
  out.reserve(picture.size() + job.name.size() + job.pid.size() + 128);
  out.append(kMagic);
  out.append("created ").append(std::to_string(job.created_ms)).append("\n");
  AppendField(out, "name", job.name);
  AppendField(out, "pid", job.pid);
  AppendField(out, "taketime", job.take_time);
  AppendField(out, "picture", picture);
  const std::string check = Hex64(Fnv1a64(out));
  out.append("check ").append(check).append("\n");
  return out;
}

std::uintmax_t DecodeJob(std::string_view file, UploadJob& job, std::string* picture) {
  JobReader reader(file);
  reader.Expect(kMagic);
  reader.Expect("created ");
  job.created_ms = static_cast<int64_t>(reader.Number());
  reader.Expect("\n");
  job.name = std::string(reader.Field("name", true));
  job.pid = std::string(reader.Field("pid", true));
  job.take_time = std::string(reader.Field("taketime", true));
  uint64_t length = 0;
  const std::size_t picture_at = [&] {
    reader.Field("picture", false, &length);
    return reader.at();
  }();
  const std::uintmax_t whole = picture_at + length + 1 + kCheckLineSize;
  if (!picture) return whole;
  // Whole file: the picture, its line end, the check line and nothing after.
  if (length > file.size() || file.size() - length != picture_at + 1 + kCheckLineSize) {
    JobReader::Fail("its length is wrong");
  }
  const std::size_t check_at = picture_at + static_cast<std::size_t>(length) + 1;
  const std::string expected = "check " + Hex64(Fnv1a64(file.substr(0, check_at))) + "\n";
  if (file.substr(check_at) != expected) JobReader::Fail("its check value does not match");
  picture->assign(file.substr(picture_at, static_cast<std::size_t>(length)));
  return whole;
}

Outbox::Outbox(fs::path folder, OutboxLimits limits)
    : folder_(std::move(folder)), limits_(limits) {}

std::vector<UploadJob> Outbox::Restore(const Note& note) {
  std::vector<UploadJob> jobs;
  std::error_code error;
  fs::directory_iterator it(folder_, error);
  if (error) return jobs;
  std::vector<fs::path> bad;
  for (const fs::directory_entry& entry : it) {
    const std::string name = PathToUtf8(entry.path().filename());
    std::error_code ignored;
    if (!entry.is_regular_file(ignored)) continue;
    if (EndsWith(name, kTemporarySuffix)) {
      // A job whose writing a crash cut short: it never was a job.
      fs::remove(entry.path(), ignored);
      if (note) note("outbox: unfinished job file " + name + " removed");
      continue;
    }
    if (!EndsWith(name, kJobSuffix)) continue;
    UploadJob job;
    job.id = name;
    try {
      job.size = fs::file_size(entry.path());
      std::string head = ReadFile(entry.path(), kHeadProbe, nullptr);
      std::uintmax_t whole = 0;
      try {
        whole = DecodeJob(head, job, nullptr);
      } catch (const OutboxError&) {
        if (head.size() >= job.size) throw;
        whole = DecodeJob(ReadFile(entry.path(), SIZE_MAX, nullptr), job, nullptr);
      }
      // A file cut short by a power cut is told by its length alone; the check value is
      // read when the job is sent.
      if (whole != job.size) JobReader::Fail("its length is wrong");
      jobs.push_back(std::move(job));
    } catch (const std::exception& e) {
      bad.push_back(entry.path());
      if (note) note("outbox: damaged job " + name + " moved to damaged: " + e.what());
    }
  }
  for (const fs::path& path : bad) {
    std::error_code ignored;
    fs::create_directories(folder_ / kDamagedFolder, ignored);
    fs::rename(path, folder_ / kDamagedFolder / path.filename(), ignored);
  }
  std::sort(jobs.begin(), jobs.end(),
            [](const UploadJob& a, const UploadJob& b) { return a.id < b.id; });
  std::lock_guard lock(mutex_);
  for (const UploadJob& job : jobs) {
    ++count_;
    bytes_ += job.size;
  }
  return jobs;
}

std::optional<UploadJob> Outbox::Store(std::string name, std::string pid, std::string take_time,
                                       std::string_view picture, int64_t now_ms,
                                       std::string& why) {
  UploadJob job;
  job.name = std::move(name);
  job.pid = std::move(pid);
  job.take_time = std::move(take_time);
  job.created_ms = now_ms;
  std::string data = EncodeJob(job, picture);
  job.size = data.size();
  {
    std::lock_guard lock(mutex_);
    if (count_ + 1 > limits_.max_jobs || bytes_ + job.size > limits_.max_bytes) {
      why = "the outbox is full (" + std::to_string(count_) + " jobs, " +
            std::to_string(bytes_) + " bytes; at most " + std::to_string(limits_.max_jobs) +
            " jobs, " + std::to_string(limits_.max_bytes) + " bytes)";
      return std::nullopt;
    }
    job.id = JobId(now_ms, ++sequence_) + std::string(kJobSuffix);
    // Counted before the write so that parallel stores cannot overrun the limits together.
    ++count_;
    bytes_ += job.size;
  }
  const fs::path target = folder_ / job.id;
  const fs::path temporary = folder_ / (job.id + std::string(kTemporarySuffix));
  std::error_code error;
  fs::create_directories(folder_, error);
  bool written = false;
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (out) {
      out.write(data.data(), static_cast<std::streamsize>(data.size()));
      out.close();
      written = !out.fail();
    }
  }
  if (written) {
    fs::rename(temporary, target, error);
    written = !error;
  }
  if (!written) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    why = "cannot write " + PathToUtf8(temporary) + (error ? ": " + error.message() : "");
    Forget(job);
    return std::nullopt;
  }
  return job;
}

std::string Outbox::ReadPicture(const UploadJob& job, bool* missing) const {
  if (missing) *missing = false;
  std::string data = ReadFile(PathOf(job), SIZE_MAX, missing);
  UploadJob read = job;
  std::string picture;
  DecodeJob(data, read, &picture);
  return picture;
}

void Outbox::Remove(const UploadJob& job) {
  std::error_code ignored;
  fs::remove(PathOf(job), ignored);
  Forget(job);
}

void Outbox::SetAside(const UploadJob& job) {
  std::error_code ignored;
  fs::create_directories(folder_ / kDamagedFolder, ignored);
  fs::rename(PathOf(job), folder_ / kDamagedFolder / PathFromUtf8(job.id), ignored);
  Forget(job);
}

void Outbox::Forget(const UploadJob& job) {
  std::lock_guard lock(mutex_);
  if (count_ > 0) --count_;
  bytes_ -= std::min(bytes_, job.size);
}

std::size_t Outbox::Count() const {
  std::lock_guard lock(mutex_);
  return count_;
}

std::uintmax_t Outbox::Bytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

}  // namespace pmr::gateway
