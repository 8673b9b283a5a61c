#include "gateway/upload_worker.h"

#include <mutex>
#include <thread>
#include <vector>

#include "base/file_path.h"
#include "base/text.h"
#include "net/base64.h"
#include "net/http_client.h"
#include "portal/portal.h"

namespace pmr::gateway {

void ShowPictureCounters(app::AppState& state, app::WindowEffects& window) {
  // Reading the counters and handing the texts on happen as one step, so the texts reach the
  // window in the order the counters were read: the last text shown is never an older count.
  static std::mutex order;
  std::lock_guard lock(order);
  window.SetStatus(1, std::to_string(state.PicsWaiting.load()) + "张图片等待上传...");
  window.SetStatus(2, std::to_string(state.PicsUploaded.load()) + "张图片已上传...");
}

void TPAThread::Execute() {
  app::AppState& state = *context_.state;
  app::WindowEffects& window = *context_.window;
  const std::string url = portal::UploadUrl(context_.portal_host);

  std::string picture;
  try {
    picture = net::EncodePictureFile(PathFromUtf8(PicFile));
  } catch (const std::exception&) {
    return;  // nothing sent, nothing counted: the picture stays waiting
  }
  std::vector<std::string> lines;
  lines.reserve(4);
  lines.push_back("sp=" + state.SchoolSP());
  lines.push_back("picbase64=" + std::move(picture));
  lines.push_back("pid=" + Pid);
  lines.push_back("taketime=" + TakeTime);

  try {
    net::THTTPClient client;
    client.Request().ContentType = "application/x-www-form-urlencoded";
    std::string reply = client.Post(url, lines);
    window.Log(state.FaceAddr() + ":" + DecodeUtf8ToAnsi(reply));
    state.PicsUploaded++;
    state.PicsWaiting--;
  } catch (const std::exception&) {
    window.Log(url + "...错误！");
  }
  ShowPictureCounters(state, window);
}

UploadWorkers::UploadWorkers(std::size_t max_parallel) : shared_(std::make_shared<Shared>()) {
  shared_->max_parallel = max_parallel == 0 ? 1 : max_parallel;
}

UploadWorkers::~UploadWorkers() { Shutdown(std::chrono::milliseconds(0)); }

void UploadWorkers::Start(TPAThread worker) {
  std::lock_guard lock(shared_->mutex);
  if (shared_->stopping) return;
  shared_->queue.push_back(std::move(worker));
  if (shared_->running < shared_->max_parallel) {
    ++shared_->running;
    // Each runner drains the queue and ends when it is empty; the shared block keeps what it
    // needs alive even when the owner is gone.
    std::thread(&UploadWorkers::Run, shared_).detach();
  }
}

void UploadWorkers::Run(std::shared_ptr<Shared> shared) {
  for (;;) {
    std::unique_lock lock(shared->mutex);
    if (shared->queue.empty() || shared->stopping) {
      --shared->running;
      shared->changed.notify_all();
      return;
    }
    TPAThread worker = std::move(shared->queue.front());
    shared->queue.pop_front();
    lock.unlock();
    try {
      worker.Execute();
    } catch (...) {
      // A worker never takes the process down.
    }
  }
}

bool UploadWorkers::Shutdown(std::chrono::milliseconds wait) {
  std::unique_lock lock(shared_->mutex);
  shared_->stopping = true;
  shared_->queue.clear();
  return shared_->changed.wait_for(lock, wait, [&] { return shared_->running == 0; });
}

bool UploadWorkers::WaitIdle(std::chrono::milliseconds wait) {
  std::unique_lock lock(shared_->mutex);
  return shared_->changed.wait_for(lock, wait,
                                   [&] { return shared_->running == 0 && shared_->queue.empty(); });
}

}  // namespace pmr::gateway
