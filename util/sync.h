// The program's locks and waits, in the form that clang's thread safety
// analysis checks (util/thread_annotations.h): a mutex, the scoped lock
// that holds one and the scope that gives one up, a condition variable bound
// to one mutex, and an event.
// Threading: every member may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "util/thread_annotations.h"

namespace tsl {

class CAPABILITY("mutex") mutex {
 public:
  mutex() = default;
  mutex(const mutex&) = delete;
  mutex& operator=(const mutex&) = delete;

  void lock() ACQUIRE() { native_.lock(); }
  void unlock() RELEASE() { native_.unlock(); }
  // Tells the analysis that the caller holds the lock where it cannot see
  // it taken: in a library's callback that runs inside a locked call.
  // Checks nothing at run time.
  void assert_held() const ASSERT_CAPABILITY(this) {}

 private:
  friend class condition;
  std::mutex native_;
};

// Holds a mutex from its construction to the end of its scope.
class SCOPED_CAPABILITY mutex_lock {
 public:
  explicit mutex_lock(mutex& held) ACQUIRE(held) : mutex_(held) { mutex_.lock(); }
  ~mutex_lock() RELEASE() { mutex_.unlock(); }
  mutex_lock(const mutex_lock&) = delete;
  mutex_lock& operator=(const mutex_lock&) = delete;

 private:
  mutex& mutex_;
};

// Gives up a held mutex from its construction to the end of its scope, and
// holds it again then, also when the scope is left by an exception: around
// a call that must run without the lock.
class SCOPED_CAPABILITY mutex_unlock {
 public:
  explicit mutex_unlock(mutex& held) RELEASE(held) : mutex_(held) { mutex_.unlock(); }
  ~mutex_unlock() RELEASE() { mutex_.lock(); }
  mutex_unlock(const mutex_unlock&) = delete;
  mutex_unlock& operator=(const mutex_unlock&) = delete;

 private:
  mutex& mutex_;
};

// A condition variable bound to one mutex. Its waits must be called with
// that mutex held (the analysis cannot tell which mutex a condition is bound
// to, so it does not check this); they give it up while they wait and hold
// it again when they return, possibly without a signal: callers wait in a
// loop over what they wait for.
class condition {
 public:
  explicit condition(mutex* bound) : mutex_(bound) {}
  condition(const condition&) = delete;
  condition& operator=(const condition&) = delete;

  void wait();
  // False once `deadline` has passed.
  bool wait_until(std::chrono::steady_clock::time_point deadline);
  void signal() { changed_.notify_one(); }
  void signal_all() { changed_.notify_all(); }

 private:
  std::condition_variable changed_;
  mutex* const mutex_;
};

// A flag that threads wait for. Manual reset: once set, it lets every wait
// pass until it is reset. Auto reset: a set lets one wait pass and is used
// up by it; a set while nobody waits is kept for the next wait.
class event {
 public:
  explicit event(bool manual_reset) : manual_reset_(manual_reset) {}
  event(const event&) = delete;
  event& operator=(const event&) = delete;

  void set() EXCLUDES(lock_);
  void reset() EXCLUDES(lock_);
  void wait() EXCLUDES(lock_);

 private:
  const bool manual_reset_;
  mutex lock_;
  condition changed_{&lock_};
  bool signalled_ GUARDED_BY(lock_) = false;
};

}  // namespace tsl
