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
  std::error_code error;
  const std::uintmax_t size = fs::file_size(path, error);
  std::string data(error ? 0 : static_cast<std::size_t>(std::min<std::uintmax_t>(size, most)), '\0');
  in.read(data.data(), static_cast<std::streamsize>(data.size()));
  if (in.bad() || static_cast<std::size_t>(in.gcount()) != data.size()) {
    throw OutboxError("cannot read " + PathToUtf8(path.filename()));
  }
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

namespace {

// Everything before the picture's bytes.
std::string JobHead(const UploadJob& job, std::size_t picture_size) {
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

// The picture's line end and the check line, whose value covers the head and the picture.
std::string JobTail(std::string_view head, const Check64& picture) {
  return "\ncheck " + Hex64(Fnv1a64(head, picture.Value())) + "\n";
}

std::string JobTail(std::string_view head, std::string_view picture) {
  Check64 check;
  check.Update(picture);
  return JobTail(head, check);
}

struct JobLayout {
  std::size_t picture_at = 0;
  std::size_t picture_size = 0;
  std::uintmax_t whole_size = 0;
};

// With `whole`, `file` is the whole file and its length and check value are checked.
JobLayout ParseJob(std::string_view file, UploadJob& job, bool whole) {
  JobReader reader(file);
  reader.Expect(kMagic);
  reader.Expect("created ");
  job.created_ms = static_cast<int64_t>(reader.Number());
  reader.Expect("\n");
  job.name = std::string(reader.Field("name", true));
  job.pid = std::string(reader.Field("pid", true));
  job.take_time = std::string(reader.Field("taketime", true));
  uint64_t length = 0;
  reader.Field("picture", false, &length);
  if (length > (uint64_t{1} << 40)) JobReader::Fail("its length is wrong");
  JobLayout layout;
  layout.picture_at = reader.at();
  layout.whole_size = layout.picture_at + length + kCheckLineSize + 1;
  if (!whole) return layout;
  if (length > file.size() || file.size() != layout.whole_size) {
    JobReader::Fail("its length is wrong");
  }
  layout.picture_size = static_cast<std::size_t>(length);
  const std::string_view picture = file.substr(layout.picture_at, layout.picture_size);
  if (file.substr(layout.picture_at + layout.picture_size) !=
      JobTail(file.substr(0, layout.picture_at), picture)) {
    JobReader::Fail("its check value does not match");
  }
  return layout;
}

}  // namespace

std::string EncodeJob(const UploadJob& job, std::string_view picture) {
  const std::string head = JobHead(job, picture.size());
  return head + std::string(picture) + JobTail(head, picture);
}

std::uintmax_t DecodeJob(std::string_view file, UploadJob& job, std::string* picture) {
  JobLayout layout = ParseJob(file, job, picture != nullptr);
  if (picture) picture->assign(file.substr(layout.picture_at, layout.picture_size));
  return layout.whole_size;
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
  const std::string head = JobHead(job, picture.size());
  const std::string tail = JobTail(head, picture);
  job.size = head.size() + picture.size() + tail.size();
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
      // In parts: the picture is not copied once more.
      out.write(head.data(), static_cast<std::streamsize>(head.size()));
      out.write(picture.data(), static_cast<std::streamsize>(picture.size()));
      out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
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

void Outbox::ReadPicture(const UploadJob& job, const std::function<void(std::string_view)>& part,
                         bool* missing) const {
  if (missing) *missing = false;
  const fs::path path = PathOf(job);
  std::error_code error;
  const std::uintmax_t size = fs::file_size(path, error);
  std::ifstream in(path, std::ios::binary);
  if (error || !in) {
    if (missing) *missing = !fs::exists(path, error);
    throw OutboxError("cannot open " + job.id);
  }
  // One buffer of a few parts' size for the whole file; the check value runs along.
  std::string head(static_cast<std::size_t>(std::min<std::uintmax_t>(size, 4096)), '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  UploadJob read = job;
  JobLayout layout;
  try {
    layout = ParseJob(head, read, false);
  } catch (const OutboxError&) {
    // A head longer than the probe (a very long card id): read the file whole.
    if (head.size() >= size) throw;
    std::string data = ReadFile(path, SIZE_MAX, nullptr);
    layout = ParseJob(data, read, true);
    part(std::string_view(data).substr(layout.picture_at, layout.picture_size));
    return;
  }
  if (layout.whole_size != size || !in) JobReader::Fail("its length is wrong");
  std::size_t left = static_cast<std::size_t>(size - layout.picture_at - 1 - kCheckLineSize);
  Check64 check;
  std::string buffer = head.substr(layout.picture_at);
  std::string chunk;
  while (left > 0) {
    const std::size_t take = std::min(left, kPictureChunk);
    if (buffer.size() < take) {
      const std::size_t have = buffer.size();
      buffer.resize(take);
      in.read(buffer.data() + have, static_cast<std::streamsize>(take - have));
      if (!in) JobReader::Fail("cut short");
    }
    const std::string_view piece(buffer.data(), take);
    check.Update(piece);
    part(piece);
    buffer.erase(0, take);
    left -= take;
  }
  std::string tail = buffer;
  const std::size_t have = tail.size();
  tail.resize(kCheckLineSize + 1);
  in.read(tail.data() + have, static_cast<std::streamsize>(tail.size() - have));
  if (!in || tail != JobTail(std::string_view(head).substr(0, layout.picture_at), check)) JobReader::Fail("its check value does not match");
}

std::string Outbox::ReadPicture(const UploadJob& job, bool* missing) const {
  std::string picture;
  ReadPicture(job, [&picture](std::string_view piece) { picture.append(piece); }, missing);
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
