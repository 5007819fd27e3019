#include "util/sync.h"

namespace tsl {

void condition::wait() {
  // The caller holds the mutex, and holds it again when this returns.
  std::unique_lock<std::mutex> held(mutex_->native_, std::adopt_lock);
  changed_.wait(held);
  held.release();
}

bool condition::wait_until(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> held(mutex_->native_, std::adopt_lock);
  const bool signalled = changed_.wait_until(held, deadline) == std::cv_status::no_timeout;
  held.release();
  return signalled;
}

void event::set() {
  mutex_lock hold(lock_);
  signalled_ = true;
  if (manual_reset_) {
    changed_.signal_all();
  } else {
    changed_.signal();
  }
}

void event::reset() {
  mutex_lock hold(lock_);
  signalled_ = false;
}

void event::wait() {
  mutex_lock hold(lock_);
  while (!signalled_) changed_.wait();
  if (!manual_reset_) signalled_ = false;
}

}  // namespace tsl
