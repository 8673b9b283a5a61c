#include "gateway/upload_worker.h"

#include <algorithm>
#include <functional>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "base/durable_file.h"
#include "base/file_path.h"
#include "base/mutex.h"
#include "base/text.h"
#include "net/base64.h"
#include "net/http_client.h"
#include "portal/portal.h"

namespace pmr::gateway {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;
// How long new jobs gather before they are put on the disk together; most are delivered and
// gone by then, and those need no disk at all.
constexpr std::chrono::milliseconds kSyncGathering{1000};
// How long a runner or the disk syncer waits for more work before its thread ends.
constexpr std::chrono::milliseconds kIdleTime{10000};

int64_t NowUnixMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::chrono::milliseconds PauseAfter(int failures, const RetryPolicy& policy) {
  std::chrono::milliseconds pause = policy.first_pause;
  for (int i = 1; i < failures && pause < policy.longest_pause; ++i) pause *= 2;
  return std::min(pause, policy.longest_pause);
}

std::string Describe(const UploadJob& job) { return job.name + " for " + job.pid; }

}  // namespace

void ShowPictureCounters(state::AppState& state, state::WindowEffects& window) {
  // Reading the counters and handing the texts on happen as one step, so the texts reach the
  // window in the order the counters were read: the last text shown is never an older count.
  static Mutex order;
  MutexLock lock(order);
  window.SetStatus(1, std::to_string(state.PicsWaiting.load()) + "张图片等待上传...");
  window.SetStatus(2, std::to_string(state.PicsUploaded.load()) + "张图片已上传...");
}

UploadResult TPAThread::Execute() {
  state::AppState& state = *context_.state;
  state::WindowEffects& window = *context_.window;
  const std::string url = portal::UploadUrl(context_.portal_host);

  std::string picture;
  try {
    picture = PictureText ? std::move(*PictureText) : net::EncodePictureFile(PathFromUtf8(PicFile));
  } catch (const std::exception& e) {
    return {false, e.what()};  // nothing sent, nothing counted: the picture stays waiting
  }
  std::vector<std::string> lines;
  lines.reserve(4);
  lines.push_back("sp=" + state.SchoolSP());
  lines.push_back("picbase64=" + std::move(picture));
  lines.push_back("pid=" + Pid);
  lines.push_back("taketime=" + TakeTime);

  UploadResult result;
  try {
    net::THTTPClient client;
    client.Request().ContentType = "application/x-www-form-urlencoded";
    std::string reply = client.Post(url, lines);
    window.Log(state.FaceAddr() + ":" + DecodeUtf8ToAnsi(reply));
    state.PicsUploaded++;
    state.PicsWaiting--;
    result.delivered = true;
  } catch (const std::exception& e) {
    window.Log(url + "...错误！");
    result.reason = e.what();
  }
  ShowPictureCounters(state, window);
  return result;
}

struct UploadWorkers::Shared {
  struct Entry {
    UploadJob job;
    int failures = 0;
  };
  using Key = std::pair<SteadyClock::time_point, uint64_t>;  // due, then order of queuing

  std::shared_ptr<Outbox> outbox;
  UploadContext context;
  std::size_t max_parallel = 4;
  RetryPolicy policy;

  Mutex mutex;
  CondVar changed;
  std::map<Key, Entry> queue GUARDED_BY(mutex);
  uint64_t order GUARDED_BY(mutex) = 0;
  std::size_t runners GUARDED_BY(mutex) = 0;
  std::size_t in_flight GUARDED_BY(mutex) = 0;
  std::vector<UploadJob> unsynced GUARDED_BY(mutex);  // jobs not yet on the disk
  bool syncing GUARDED_BY(mutex) = false;
  bool stopping GUARDED_BY(mutex) = false;
  bool held GUARDED_BY(mutex) = false;

  void Log(std::string line) { context.window->LogDetail(std::move(line)); }

  void Enqueue(Entry entry, SteadyClock::time_point due, const std::shared_ptr<Shared>& self)
      REQUIRES(mutex) {
    queue.emplace(Key{due, ++order}, std::move(entry));
    changed.NotifyAll();
    AddRunners(self);
  }

  void AddRunners(const std::shared_ptr<Shared>& self) REQUIRES(mutex) {
    while (runners < std::min(max_parallel, queue.size() + in_flight) && !stopping && !held) {
      ++runners;
      // Each runner ends when the queue is empty; the shared block keeps what it needs alive
      // even when the owner is gone.
      std::thread(&Shared::Run, self).detach();
    }
  }

  // A job that will not be sent: it no longer waits.
  void Drop(const UploadJob& job, const std::string& why, bool set_aside) EXCLUDES(mutex) {
    if (set_aside) {
      outbox->SetAside(job);
    } else {
      outbox->Remove(job);
    }
    Log("upload: " + Describe(job) + " dropped: " + why);
    context.state->PicsWaiting--;
    ShowPictureCounters(*context.state, *context.window);
  }

  // One attempt; true when the job is to be tried again.
  bool Attempt(Entry& entry) EXCLUDES(mutex) {
    const UploadJob& job = entry.job;
    const auto age = std::chrono::milliseconds(NowUnixMs() - job.created_ms);
    if (age > policy.max_age) {
      Drop(job, "older than " + std::to_string(policy.max_age.count() / 86'400'000) + " days",
           false);
      return false;
    }
    TPAThread worker(context);
    worker.Pid = job.pid;
    worker.TakeTime = job.take_time;
    bool missing = false;
    try {
      std::string text;
      text.reserve(static_cast<std::size_t>(job.size / 3 * 4 + 4));
      outbox->ReadPicture(
          job, [&text](std::string_view part) { net::AppendOneLine(text, part); }, &missing);
      worker.PictureText = std::move(text);
    } catch (const std::exception& e) {
      Drop(job, missing ? "its job file is gone" : std::string(e.what()) + ", set aside", !missing);
      return false;
    }
    UploadResult result = worker.Execute();
    if (result.delivered) {
      outbox->Remove(job);
      return false;
    }
    ++entry.failures;
    Log("upload: " + Describe(job) + " failed (" + result.reason + "); try " +
        std::to_string(entry.failures + 1) + " in " +
        std::to_string(PauseAfter(entry.failures, policy).count() / 1000) + " s");
    return true;
  }

  // Waits while `has_work` is false, at most kIdleTime; gives has_work().
  bool WaitForWork(const std::function<bool()>& has_work) REQUIRES(mutex) {
    const auto until = SteadyClock::now() + kIdleTime;
    while (!stopping && !has_work() && changed.WaitUntil(mutex, until)) {
    }
    return has_work();
  }

  static void Run(std::shared_ptr<Shared> self) {
    Shared& s = *self;
    MutexLock lock(s.mutex);
    while (!s.stopping) {
      // A runner stays a while when the queue runs empty: starting a thread for the next
      // picture would hold up the answer to its callback.
      if (s.queue.empty() &&
          !s.WaitForWork([&s]() REQUIRES(s.mutex) { return !s.queue.empty(); })) {
        break;
      }
      if (s.stopping) break;
      auto first = s.queue.begin();
      // A copy: another runner may take that job while this one waits.
      const SteadyClock::time_point due = first->first.first;
      if (due > SteadyClock::now()) {
        s.changed.WaitUntil(s.mutex, due);
        continue;
      }
      Entry entry = std::move(first->second);
      s.queue.erase(first);
      ++s.in_flight;
      lock.Unlock();
      bool again = false;
      try {
        again = s.Attempt(entry);
      } catch (...) {
        // An upload never takes the process down; the job stays for the next start.
      }
      lock.Lock();
      --s.in_flight;
      if (again) {
        const auto next = SteadyClock::now() + PauseAfter(entry.failures, s.policy);
        s.queue.emplace(Key{next, ++s.order}, std::move(entry));
      }
      s.changed.NotifyAll();
    }
    --s.runners;
    s.changed.NotifyAll();
  }

  // Puts new job files on the disk shortly after they were written, off the callback's
  // thread and gathered into rounds: a power cut costs at most the last moment's jobs, never a
  // damaged one (a damaged one is told by its check value and set aside).
  static void Sync(std::shared_ptr<Shared> self) {
    Shared& s = *self;
    MutexLock lock(s.mutex);
    // Stays a while when nothing is left, for the same reason as a runner.
    while (!s.unsynced.empty() ||
           s.WaitForWork([&s]() REQUIRES(s.mutex) { return !s.unsynced.empty(); })) {
      const auto gathered = SteadyClock::now() + kSyncGathering;
      while (!s.stopping && s.changed.WaitUntil(s.mutex, gathered)) {
      }
      std::vector<UploadJob> jobs;
      jobs.swap(s.unsynced);
      lock.Unlock();
      std::vector<fs::path> files;
      for (const UploadJob& job : jobs) {
        std::error_code error;
        if (!fs::exists(s.outbox->JobPath(job), error)) continue;  // delivered already
        files.push_back(s.outbox->PicturePath(job));
        files.push_back(s.outbox->JobPath(job));
      }
      if (!files.empty()) SyncToDisk(s.outbox->folder(), files);
      lock.Lock();
    }
    s.syncing = false;
    s.changed.NotifyAll();
  }
};

UploadWorkers::UploadWorkers(std::shared_ptr<Outbox> outbox, UploadContext context,
                             std::size_t max_parallel, RetryPolicy policy, bool held)
    : shared_(std::make_shared<Shared>()) {
  {
    MutexLock lock(shared_->mutex);
    shared_->held = held;
  }
  shared_->outbox = std::move(outbox);
  shared_->context = std::move(context);
  shared_->max_parallel = max_parallel == 0 ? 1 : max_parallel;
  shared_->policy = policy;
}

UploadWorkers::~UploadWorkers() { Shutdown(std::chrono::milliseconds(0)); }

std::size_t UploadWorkers::Restore() {
  Shared& s = *shared_;
  std::vector<UploadJob> jobs = s.outbox->Restore([&s](const std::string& line) { s.Log(line); });
  const int64_t now_ms = NowUnixMs();
  std::size_t queued = 0;
  MutexLock lock(s.mutex);
  for (UploadJob& job : jobs) {
    if (std::chrono::milliseconds(now_ms - job.created_ms) > s.policy.max_age) {
      s.outbox->Remove(job);
      s.Log("upload: " + Describe(job) + " dropped at start: older than the picture folder keeps");
      continue;
    }
    s.Enqueue({std::move(job), 0}, SteadyClock::now(), shared_);
    ++queued;
  }
  lock.Unlock();
  if (queued > 0) {
    s.context.state->PicsWaiting += static_cast<int32_t>(queued);
    s.Log("outbox: " + std::to_string(queued) + " pictures not yet uploaded queued again");
    ShowPictureCounters(*s.context.state, *s.context.window);
  }
  return queued;
}

std::optional<UploadJob> UploadWorkers::Record(const std::string& name, const std::string& pid,
                                               const std::string& take_time,
                                               std::string_view picture,
                                               const std::filesystem::path* written) {
  Shared& s = *shared_;
  std::string why;
  std::optional<UploadJob> job =
      s.outbox->Store(name, pid, take_time, picture, NowUnixMs(), why, written);
  if (!job) {
    s.Log("outbox: " + name + " stays in the picture folder but is not queued for upload: " +
          why);
    return std::nullopt;
  }
  MutexLock lock(s.mutex);
  s.unsynced.push_back(*job);
  if (!s.syncing) {
    s.syncing = true;
    std::thread(&Shared::Sync, shared_).detach();
  } else {
    s.changed.NotifyAll();
  }
  return job;
}

void UploadWorkers::Start(UploadJob job) {
  MutexLock lock(shared_->mutex);
  if (shared_->stopping) return;  // it stays in the outbox for the next start
  shared_->Enqueue({std::move(job), 0}, SteadyClock::now(), shared_);
}

void UploadWorkers::Resume() {
  MutexLock lock(shared_->mutex);
  shared_->held = false;
  shared_->AddRunners(shared_);
}

bool UploadWorkers::Shutdown(std::chrono::milliseconds wait) {
  const auto deadline = SteadyClock::now() + wait;
  Shared& s = *shared_;
  MutexLock lock(s.mutex);
  s.stopping = true;
  s.changed.NotifyAll();
  while ((s.runners != 0 || s.syncing) && s.changed.WaitUntil(s.mutex, deadline)) {
  }
  return s.runners == 0 && !s.syncing;
}

bool UploadWorkers::WaitIdle(std::chrono::milliseconds wait) {
  const auto deadline = SteadyClock::now() + wait;
  Shared& s = *shared_;
  MutexLock lock(s.mutex);
  while ((!s.queue.empty() || s.in_flight != 0) && s.changed.WaitUntil(s.mutex, deadline)) {
  }
  return s.queue.empty() && s.in_flight == 0;
}

std::size_t UploadWorkers::Pending() const {
  MutexLock lock(shared_->mutex);
  return shared_->queue.size() + shared_->in_flight;
}

}  // namespace pmr::gateway
