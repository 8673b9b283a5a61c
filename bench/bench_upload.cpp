// Pictures delivered per second: the outbox path (the picture's bytes recorded as a job file,
// sent from it, the job removed once the portal took it) against the direct path that came
// before it (a worker reading the stored picture file when it runs), four uploads at once to a
// portal on loopback. Each iteration delivers one batch of 200 KB pictures and also stores
// each picture in the picture folder, as the callback does on both paths (the outbox takes a
// second name of the stored file where it can).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/file_path.h"
#include "gateway/upload_worker.h"
#include "net/http_server.h"

namespace {

namespace fs = std::filesystem;
using namespace pmr;
constexpr int kBatch = 40;
constexpr std::size_t kPictureBytes = 200 * 1024;

class Quiet final : public state::WindowEffects {
 public:
  void Log(std::string) override {}
  void SetStatus(int, std::string) override {}
  void LogDetail(std::string) override {}
};

struct Rig {
  Rig() : portal(0) {
    folder = fs::temp_directory_path() / ("pmr_bench_upload_" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder / "pic");
    portal.Bindings.push_back({"127.0.0.1", 0});
    portal.OnCommandGet = [](net::TPeerThread&, net::THTTPRequestInfo&,
                             net::THTTPResponseInfo& res) { res.ContentText = "ok"; };
    portal.SetActive(true);
    host = "127.0.0.1:" + std::to_string(portal.ListeningPort());
    state.SetSchoolSP("SP");
    for (int i = 0; i < kBatch; ++i) {
      std::string bytes(kPictureBytes, '\0');
      for (std::size_t b = 0; b < bytes.size(); ++b) bytes[b] = static_cast<char>(b * 7 + i);
      pictures.push_back(std::move(bytes));
    }
  }
  ~Rig() {
    portal.SetActive(false);
    fs::remove_all(folder);
  }
  // As a fetch stores it: under a temporary name, then renamed; `written` sees the file in
  // between.
  template <typename Written>
  void StorePicture(int i, Written written) {
    const fs::path temporary = folder / "pic" / ".fetch.part";
    std::ofstream(temporary, std::ios::binary) << pictures[static_cast<std::size_t>(i)];
    written(temporary);
    fs::rename(temporary, folder / "pic" / ("p" + std::to_string(i) + ".jpg"));
  }

  net::THTTPServer portal;
  fs::path folder;
  std::string host;
  state::AppState state;
  Quiet window;
  std::vector<std::string> pictures;
};

Rig& TheRig() {
  static Rig rig;
  return rig;
}

void BM_Direct(benchmark::State& state) {
  Rig& rig = TheRig();
  for (auto _ : state) {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<int> queue;
    bool done = false;
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
      workers.emplace_back([&] {
        for (;;) {
          std::unique_lock lock(mutex);
          changed.wait(lock, [&] { return !queue.empty() || done; });
          if (queue.empty()) return;
          int i = queue.front();
          queue.pop_front();
          lock.unlock();
          gateway::TPAThread worker(gateway::UploadContext{&rig.state, &rig.window, rig.host});
          worker.PicFile = PathToUtf8(rig.folder / "pic" / ("p" + std::to_string(i) + ".jpg"));
          worker.Pid = "fp" + std::to_string(i);
          worker.TakeTime = "2026-12-10 08:00:00";
          if (!worker.Execute().delivered) state.SkipWithError("an upload failed");
        }
      });
    }
    for (int i = 0; i < kBatch; ++i) {
      rig.StorePicture(i, [](const fs::path&) {});
      std::lock_guard lock(mutex);
      queue.push_back(i);
      changed.notify_one();
    }
    {
      std::lock_guard lock(mutex);
      done = true;
    }
    changed.notify_all();
    for (auto& t : workers) t.join();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_Outbox(benchmark::State& state) {
  Rig& rig = TheRig();
  gateway::UploadWorkers uploads(std::make_shared<gateway::Outbox>(rig.folder / "outbox"),
                                 gateway::UploadContext{&rig.state, &rig.window, rig.host});
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      std::optional<gateway::UploadJob> job;
      rig.StorePicture(i, [&](const fs::path& written) {
        job = uploads.Record("p" + std::to_string(i) + ".jpg", "fp" + std::to_string(i),
                             "2026-12-10 08:00:00", rig.pictures[static_cast<std::size_t>(i)],
                             &written);
      });
      if (!job) {
        state.SkipWithError("the outbox refused a job");
        return;
      }
      uploads.Start(std::move(*job));
    }
    if (!uploads.WaitIdle(std::chrono::seconds(60))) state.SkipWithError("not delivered");
  }
  if (uploads.Pending() != 0 || rig.state.PicsUploaded <= 0) state.SkipWithError("lost");
  state.SetItemsProcessed(state.iterations() * kBatch);
}

BENCHMARK(BM_Direct)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Outbox)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
