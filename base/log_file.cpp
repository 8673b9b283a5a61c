#include "base/log_file.h"

#include <cstdio>
#include <deque>
#include <exception>
#include <fstream>
#include <optional>
#include <system_error>
#include <utility>

#include "base/file_path.h"
#include "base/mutex.h"

namespace pmr {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// "yyyy-mm-dd hh:mm:ss.zzz" and the blank after it.
constexpr std::size_t kStampBytes = 24;
constexpr std::string_view kNamePrefix = "pmrface-";
constexpr std::string_view kNameSuffix = ".log";
constexpr std::size_t kNameBytes = 22;

struct Entry {
  DateTime stamp;
  std::string text;
};

struct Day {
  int year;
  int month;
  int day;
  friend bool operator==(const Day&, const Day&) = default;
};

DateTime Midnight(const DateTimeFields& f) {
  return DateTime::FromFields({.year = f.year, .month = f.month, .day = f.day});
}

std::string FileName(const DateTimeFields& f) {
  char name[64];
  std::snprintf(name, sizeof name, "pmrface-%04d-%02d-%02d.log", f.year, f.month, f.day);
  return name;
}

// The day named by exactly pmrface-yyyy-mm-dd.log, at its midnight.
std::optional<DateTime> DayOfName(std::string_view name) {
  if (name.size() != kNameBytes || !name.starts_with(kNamePrefix) || !name.ends_with(kNameSuffix)) {
    return std::nullopt;
  }
  const std::string_view date = name.substr(kNamePrefix.size(), 10);
  int parts[3] = {};
  int part = 0;
  for (std::size_t i = 0; i < date.size(); ++i) {
    if (i == 4 || i == 7) {
      if (date[i] != '-') return std::nullopt;
      ++part;
    } else if (date[i] >= '0' && date[i] <= '9') {
      parts[part] = parts[part] * 10 + (date[i] - '0');
    } else {
      return std::nullopt;
    }
  }
  try {
    return Midnight({.year = parts[0], .month = parts[1], .day = parts[2]});
  } catch (const DateTimeError&) {
    return std::nullopt;  // pmrface-2024-13-40.log is not ours
  }
}

void RemoveOldFiles(const fs::path& folder, DateTime now, int keep_days) {
  const DateTime today = Midnight(now.ToFields());
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::optional<DateTime> day = DayOfName(PathToUtf8(it->path().filename()));
    std::error_code ignored;
    if (day && today.days() - day->days() > keep_days && it->is_regular_file(ignored)) {
      fs::remove(it->path(), ignored);
    }
  }
}

// The stamp, the text with its line breaks turned into the line end and a TAB, the line end.
void AppendLine(std::string& out, const DateTimeFields& f, std::string_view text) {
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", f.year, f.month, f.day,
                f.hour, f.minute, f.second, f.millisecond);
  out += stamp;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\r' && c != '\n') {
      out += c;
      continue;
    }
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    out += LogFile::kNewline;
    out += '\t';
  }
  out += LogFile::kNewline;
}

// The writer thread's side: the open day's file and what it knows of it.
class DayFileWriter {
 public:
  explicit DayFileWriter(std::uintmax_t cap)
      : cap_(cap),
        cap_text_("the log file reached its daily cap of " + std::to_string(cap) +
                  " bytes: further lines of this day are dropped"),
        cap_line_bytes_(kStampBytes + cap_text_.size() + LogFile::kNewline.size()) {}

  // Lines the disk refuses are dropped; the next batch opens the file again.
  void WriteBatch(const fs::path& folder, std::uint64_t dropped, DateTime dropped_at,
                  const std::deque<Entry>& batch) {
    if (folder != folder_) {
      Reset();
      folder_ = folder;
    }
    failed_ = false;
    if (dropped > 0) {
      Add(dropped_at, std::to_string(dropped) + (dropped == 1 ? " log line" : " log lines") +
                          " dropped: the disk did not keep up");
    }
    for (const Entry& entry : batch) Add(entry.stamp, entry.text);
    Commit();
  }

  void Reset() {
    file_.close();
    file_.clear();
    buffer_.clear();
    day_.reset();
    capped_ = false;
  }

 private:
  void Add(DateTime stamp, std::string_view text) {
    if (failed_) return;
    DateTimeFields f;
    try {
      f = stamp.ToFields();
    } catch (const DateTimeError&) {
      return;
    }
    const Day day{f.year, f.month, f.day};
    if (day_ != day || !file_.is_open()) {
      Commit();
      if (failed_) return;
      if (day_ != day) capped_ = false;
      if (!OpenDay(day, f)) {
        failed_ = true;
        return;
      }
    }
    if (capped_) return;
    // Room is always kept for the cap line, so the file never passes the cap.
    const std::size_t mark = buffer_.size();
    AppendLine(buffer_, f, text);
    const std::uintmax_t bytes = buffer_.size() - mark;
    if (size_ + bytes + cap_line_bytes_ <= cap_) {
      size_ += bytes;
      return;
    }
    buffer_.resize(mark);
    capped_ = true;
    if (size_ + cap_line_bytes_ <= cap_) {
      AppendLine(buffer_, f, cap_text_);
      size_ += cap_line_bytes_;
    }
  }

  bool OpenDay(const Day& day, const DateTimeFields& f) {
    file_.close();
    file_.clear();
    day_ = day;
    std::error_code ec;
    fs::create_directories(folder_, ec);  // it may have been removed since Open
    const fs::path path = folder_ / PathFromUtf8(FileName(f));
    size_ = fs::file_size(path, ec);
    if (ec) size_ = 0;
    file_.open(path, std::ios::binary | std::ios::app);
    return file_.is_open();
  }

  void Commit() {
    if (buffer_.empty()) return;
    file_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    file_.flush();
    buffer_.clear();
    if (!file_) {
      // What reached the disk is unknown: the next open reads the size again.
      file_.close();
      file_.clear();
      failed_ = true;
    }
  }

  const std::uintmax_t cap_;
  const std::string cap_text_;
  const std::uintmax_t cap_line_bytes_;
  fs::path folder_;
  std::ofstream file_;
  std::optional<Day> day_;
  std::uintmax_t size_ = 0;  // of day_'s file, the buffer included
  bool capped_ = false;      // day_'s lines are dropped
  bool failed_ = false;      // the rest of this batch is dropped
  std::string buffer_;
};

}  // namespace

struct LogFile::Shared {
  explicit Shared(const LogFileOptions& o) : options(o) {}

  const LogFileOptions options;
  Mutex mutex;
  // Signals every change below to the writer, Flush and the destructor.
  CondVar changed;
  std::deque<Entry> pending GUARDED_BY(mutex);
  std::size_t pending_bytes GUARDED_BY(mutex) = 0;
  std::uint64_t dropped GUARDED_BY(mutex) = 0;  // since the writer last took the queue
  DateTime first_dropped GUARDED_BY(mutex);
  std::optional<fs::path> folder GUARDED_BY(mutex);  // none before Open
  std::uint64_t written GUARDED_BY(mutex) = 0;       // lines given to Write
  std::uint64_t done GUARDED_BY(mutex) = 0;          // of those, written or dropped
  bool stopping GUARDED_BY(mutex) = false;
  bool stopped GUARDED_BY(mutex) = false;
  bool writer_idle GUARDED_BY(mutex) = false;  // waiting for lines: the next Write wakes it
  bool flush_wanted GUARDED_BY(mutex) = false;  // a Flush waits: no gathering
};

LogFile::LogFile(const Clock& clock, LogFileOptions options)
    : clock_(clock), shared_(std::make_shared<Shared>(options)), thread_(Run, shared_) {}

LogFile::~LogFile() {
  bool stopped = false;
  {
    const auto deadline = std::chrono::steady_clock::now() + 1s;
    Shared& s = *shared_;
    MutexLock lock(s.mutex);
    s.stopping = true;
    s.changed.NotifyAll();
    while (!s.stopped && s.changed.WaitUntil(s.mutex, deadline)) {
    }
    stopped = s.stopped;
  }
  if (stopped) {
    thread_.join();
  } else {
    thread_.detach();  // it holds the shared state and touches nothing of ours
  }
}

void LogFile::Open(const fs::path& folder) {
  try {
    std::error_code ec;
    fs::create_directories(folder, ec);
    RemoveOldFiles(folder, clock_.Now(), shared_->options.keep_days);
  } catch (const std::exception&) {
    // A name that cannot be read or a clock that fails: old files stay, logging goes on.
  }
  {
    MutexLock lock(shared_->mutex);
    shared_->folder = folder;
  }
  shared_->changed.NotifyAll();
}

void LogFile::Write(std::string line) {
  DateTime stamp;
  try {
    stamp = clock_.Now();
  } catch (const Error&) {
    return;
  }
  const std::size_t bytes = kStampBytes + line.size() + kNewline.size();
  {
    MutexLock lock(shared_->mutex);
    ++shared_->written;
    if (bytes > shared_->options.max_pending_bytes - shared_->pending_bytes) {
      if (shared_->dropped++ == 0) shared_->first_dropped = stamp;
    } else {
      shared_->pending.push_back({stamp, std::move(line)});
      shared_->pending_bytes += bytes;
    }
    if (!std::exchange(shared_->writer_idle, false)) return;
  }
  shared_->changed.NotifyAll();
}

bool LogFile::Flush(std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  Shared& s = *shared_;
  MutexLock lock(s.mutex);
  const std::uint64_t target = s.written;
  s.flush_wanted = true;
  s.changed.NotifyAll();
  while (s.done < target && s.changed.WaitUntil(s.mutex, deadline)) {
  }
  return s.done >= target;
}

void LogFile::Run(std::shared_ptr<Shared> shared) {
  Shared& s = *shared;
  DayFileWriter writer(s.options.daily_cap_bytes);
  MutexLock lock(s.mutex);
  const auto has_work = [&]() REQUIRES(s.mutex) { return s.folder && s.done < s.written; };
  while (true) {
    while (!s.stopping && !has_work()) {
      s.writer_idle = true;
      s.changed.Wait(s.mutex);
    }
    s.writer_idle = false;
    if (!has_work()) break;
    const auto gathered = std::chrono::steady_clock::now() + s.options.gather_time;
    while (!s.stopping && !s.flush_wanted && s.changed.WaitUntil(s.mutex, gathered)) {
    }
    s.flush_wanted = false;
    std::deque<Entry> batch = std::exchange(s.pending, {});
    s.pending_bytes = 0;
    const std::uint64_t dropped = std::exchange(s.dropped, 0);
    const DateTime dropped_at = s.first_dropped;
    const std::uint64_t taken = s.written;
    const fs::path folder = *s.folder;
    lock.Unlock();
    try {
      writer.WriteBatch(folder, dropped, dropped_at, batch);
    } catch (const std::exception&) {
      writer.Reset();  // out of memory: this batch is lost, the writer goes on
    }
    batch.clear();
    lock.Lock();
    s.done = taken;
    s.changed.NotifyAll();
  }
  s.stopped = true;
  s.changed.NotifyAll();
}

}  // namespace pmr
