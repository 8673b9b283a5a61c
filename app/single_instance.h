#pragma once

// One running copy of the program per logged-on user. The first start holds the instance
// lock for its whole life and takes wake-ups; a later start finds the lock taken, wakes the
// first and ends without reading its command line.
//   POSIX: an advisory lock on the file "kvtxlt" and a Unix-domain socket "kvtxltrunning" in a
//   folder only this user can reach ($XDG_RUNTIME_DIR, else /tmp/pmrface-<uid>).
//   Windows: the named mutex "kvtxlt" and the registered message "kvtxltrunning", broadcast to
//   every top-level window.
// Thread-safety: create, use and destroy the object on the UI thread. Wake-ups reach the app
// only through the poster it gives, which carries them to the UI thread.
// Failure: when the lock cannot be taken for any reason but another holder, the process runs
// as the first instance (then without wake-ups) and problem() says why.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace pmr::app {

class SingleInstance {
 public:
  // Hands a closure to the UI thread, e.g. ui::MainWindow::Post.
  using Poster = std::function<void(std::function<void()>)>;

  // Decides at once. `folder` holds the lock and the socket; empty = DefaultFolder(), which
  // tests override. Ignored on Windows.
  explicit SingleInstance(std::filesystem::path folder = {});
  // The first instance stops taking wake-ups, removes its socket and releases the lock.
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // True when another process (or another object in this one) holds the lock.
  bool AlreadyRunning() const;

  // Second instance: sends the wake-up to the first. True when it was handed over; the entry
  // ignores the result. False at once for the first instance.
  bool WakeFirst();

  // First instance: from now on every wake-up runs post(on_wake). Wake-ups sent before this
  // call wait and are delivered then. Call once; does nothing in a second instance.
  void Listen(Poster post, std::function<void()> on_wake);

  // Why the lock or the wake-up endpoint could not be made; empty when all is well.
  const std::string& problem() const;

  // POSIX: $XDG_RUNTIME_DIR when it is an absolute path, else /tmp/pmrface-<uid>.
  // Empty on Windows.
  static std::filesystem::path DefaultFolder();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace pmr::app
