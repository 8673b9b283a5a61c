#pragma once

// A mutex, its scoped lock and a condition variable that clang's thread-safety analysis
// understands (-Wthread-safety): members marked GUARDED_BY(mu) may be touched only with mu
// held, and the build fails otherwise. On other compilers the attributes expand to nothing
// and the types are thin wrappers over the standard ones.

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define PMR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define PMR_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) PMR_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY PMR_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) PMR_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) PMR_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) PMR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) PMR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) PMR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) PMR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) PMR_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) PMR_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS PMR_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace pmr {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return mu_.try_lock(); }

 private:
  friend class CondVar;
  std::mutex mu_;
};

// Holds the mutex from construction to destruction; Unlock and Lock let a block leave it for a
// slow step in the middle.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.Lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mu_.Unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Unlock() RELEASE() {
    mu_.Unlock();
    held_ = false;
  }
  void Lock() ACQUIRE() {
    mu_.Lock();
    held_ = true;
  }

 private:
  Mutex& mu_;
  bool held_ = true;
};

// Waits release the mutex while they sleep and hold it again when they return, as the caller
// held it before: to the analysis the mutex stays held throughout. Wake-ups may be spurious,
// so callers wait in a loop on their condition.
class CondVar {
 public:
  void Wait(Mutex& mu) REQUIRES(mu) {
    std::unique_lock lock(mu.mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // False when `deadline` passed.
  template <class Clock, class Duration>
  bool WaitUntil(Mutex& mu, const std::chrono::time_point<Clock, Duration>& deadline) REQUIRES(mu) {
    std::unique_lock lock(mu.mu_, std::adopt_lock);
    const bool woken = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }
  void NotifyOne() { cv_.notify_one(); }
  void NotifyAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace pmr
