#include "maker/maker_pool.h"

#include <new>
#include <system_error>
#include <utility>

namespace tsl {

publish_pool::publish_pool(std::vector<size_t> order, file_step work, std::atomic<bool>& stop)
    : order_(std::move(order)), work_(std::move(work)), stop_(stop), finished_(order_.size(), 0) {}

publish_pool::~publish_pool() { join(); }

void publish_pool::start(uint32_t threads, publish_worker& first) {
  for (uint32_t k = 0; k < threads; ++k) {
    publish_worker* worker = &first;
    if (k > 0) {
      own_workers_.emplace_back(new (std::nothrow) publish_worker);
      worker = own_workers_.back().get();
      if (!worker) break;
    }
    {
      mutex_lock hold(lock_);
      ++running_;
    }
    try {
      threads_.emplace_back([this, worker] { work_loop(*worker); });
    } catch (const std::system_error&) {
      // Fewer threads then; the run goes on with those it has.
      mutex_lock hold(lock_);
      --running_;
      break;
    }
  }
  if (threads_.empty()) {
    {
      mutex_lock hold(lock_);
      ++running_;
    }
    work_loop(first);
  }
}

bool publish_pool::run_one_locked(publish_worker& worker) {
  if (!pieces_.empty()) {
    std::function<void(publish_worker&)> piece = std::move(pieces_.front());
    pieces_.pop_front();
    {
      mutex_unlock working(lock_);
      piece(worker);
    }
    wake_.signal_all();
    return true;
  }
  if (next_ < order_.size() && !stop_) {
    const size_t index = order_[next_++];
    ++in_progress_;
    {
      mutex_unlock working(lock_);
      work_(index, worker, *this);
    }
    finished_[index] = 1;
    --in_progress_;
    wake_.signal_all();
    return true;
  }
  return false;
}

void publish_pool::work_loop(publish_worker& worker) {
  mutex_lock hold(lock_);
  for (;;) {
    if (run_one_locked(worker)) continue;
    // A file still in progress may yet hand out pieces.
    if (in_progress_ == 0) break;
    wake_.wait();
  }
  --running_;
  wake_.signal_all();
}

void publish_pool::hand_out(std::function<void(publish_worker&)> piece) {
  mutex_lock hold(lock_);
  pieces_.push_back(std::move(piece));
  wake_.signal_all();
}

void publish_pool::work_until(const std::function<bool()>& done, publish_worker& worker) {
  mutex_lock hold(lock_);
  while (!done()) {
    if (!pieces_.empty()) {
      run_one_locked(worker);
    } else {
      wake_.wait();
    }
  }
}

publish_pool::entry publish_pool::wait(size_t index, std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  mutex_lock hold(lock_);
  // Every started entry finishes before its thread ends: with no thread
  // left, an entry not finished was never started.
  while (!finished_[index] && running_ != 0) {
    if (!wake_.wait_until(deadline)) break;
  }
  if (finished_[index]) return entry::finished;
  return running_ == 0 ? entry::never : entry::pending;
}

void publish_pool::join() {
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

}  // namespace tsl
