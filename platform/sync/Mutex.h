// The only mutex and condition variable of the SDK's own code. Each thread counts
// the locks of ours it holds, so that a call into the game's code can check that
// it holds none (a callback that calls us again would wait on itself, and one
// that blocks would stall every thread wanting the lock). The annotations let
// clang's -Wthread-safety check the "guarded by" notes; other compilers ignore them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define NIMO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define NIMO_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) NIMO_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY NIMO_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) NIMO_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) NIMO_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_AFTER(...) NIMO_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) NIMO_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) NIMO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) NIMO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) NIMO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) NIMO_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) NIMO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS NIMO_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace nimo_sync {

namespace detail {
inline thread_local int tLocksHeld = 0;
}  // namespace detail

// Locks of ours the calling thread holds now (a condition-variable wait does not
// count: its lock is released while it waits).
inline int LocksHeld() { return detail::tLocksHeld; }

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() {
    m_.lock();
    ++detail::tLocksHeld;
  }
  void unlock() RELEASE() {
    --detail::tLocksHeld;
    m_.unlock();
  }
  bool try_lock() TRY_ACQUIRE(true) {
    if (!m_.try_lock()) return false;
    ++detail::tLocksHeld;
    return true;
  }

 private:
  std::mutex m_;
};

// Holds m for the scope, as std::lock_guard.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~MutexLock() RELEASE() { m_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& m_;
};

// As std::unique_lock: may be released and taken again, and waited on.
class SCOPED_CAPABILITY UniqueLock {
 public:
  explicit UniqueLock(Mutex& m) ACQUIRE(m) : lock_(m) {}
  UniqueLock(Mutex& m, std::defer_lock_t) EXCLUDES(m) : lock_(m, std::defer_lock) {}
  ~UniqueLock() RELEASE() {}
  UniqueLock(const UniqueLock&) = delete;
  UniqueLock& operator=(const UniqueLock&) = delete;

  void lock() ACQUIRE() { lock_.lock(); }
  void unlock() RELEASE() { lock_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return lock_.try_lock(); }
  bool owns_lock() const { return lock_.owns_lock(); }

 private:
  friend class CondVar;
  std::unique_lock<Mutex> lock_;
};

// Waits release the lock through Mutex::unlock, so the count stays right.
class CondVar {
 public:
  void notify_one() { cv_.notify_one(); }
  void notify_all() { cv_.notify_all(); }

  void wait(UniqueLock& lock) { cv_.wait(lock.lock_); }
  template <class Pred>
  void wait(UniqueLock& lock, Pred pred) {
    cv_.wait(lock.lock_, pred);
  }
  template <class Rep, class Period, class Pred>
  bool wait_for(UniqueLock& lock, const std::chrono::duration<Rep, Period>& d, Pred pred) {
    return cv_.wait_for(lock.lock_, d, pred);
  }
  template <class Clock, class Duration>
  std::cv_status wait_until(UniqueLock& lock, const std::chrono::time_point<Clock, Duration>& t) {
    return cv_.wait_until(lock.lock_, t);
  }
  template <class Clock, class Duration, class Pred>
  bool wait_until(UniqueLock& lock, const std::chrono::time_point<Clock, Duration>& t, Pred pred) {
    return cv_.wait_until(lock.lock_, t, pred);
  }

 private:
  std::condition_variable_any cv_;
};

}  // namespace nimo_sync
