// The worker threads of a maker run. Each takes the next file to start, or,
// first, a piece of work that a file being published handed out (a block of
// a large file), and owns one publish_worker, so a run holds one coder per
// thread. The run's thread takes the results in queue order.
// Threading: every member may be called from any thread; one lock guards
// the queue position, the handed-out pieces and the finished marks.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "maker/maker_publish.h"
#include "util/sync.h"

namespace tsl {

class publish_pool : public work_helpers {
 public:
  // `work(i, worker, helpers)` does the per-file step of queue entry i; the
  // entries are started in `order` (a permutation of the queue). No entry is
  // started once `stop` is set; those started finish.
  using file_step =
      std::function<void(size_t index, publish_worker& worker, work_helpers& helpers)>;
  publish_pool(std::vector<size_t> order, file_step work, std::atomic<bool>& stop);
  ~publish_pool() override;
  publish_pool(const publish_pool&) = delete;
  publish_pool& operator=(const publish_pool&) = delete;

  // Starts up to `threads` threads, the first working with `first`. If not
  // even one can be started, the caller's thread does all the work here.
  void start(uint32_t threads, publish_worker& first) EXCLUDES(lock_);
  uint32_t threads() const { return static_cast<uint32_t>(threads_.size()); }

  enum class entry { finished, pending, never };
  // Waits at most `wait` for entry i: finished, still pending, or never to
  // be started (the run stopped before it).
  entry wait(size_t index, std::chrono::milliseconds wait) EXCLUDES(lock_);
  void join();

  // work_helpers
  void hand_out(std::function<void(publish_worker&)> piece) override EXCLUDES(lock_);
  void work_until(const std::function<bool()>& done, publish_worker& worker) override
      EXCLUDES(lock_);

 private:
  void work_loop(publish_worker& worker) EXCLUDES(lock_);
  // Runs the next piece or file, without the lock while it works; false when
  // there is none to start.
  bool run_one_locked(publish_worker& worker) REQUIRES(lock_);

  const std::vector<size_t> order_;
  file_step work_;
  std::atomic<bool>& stop_;
  std::vector<std::unique_ptr<publish_worker>> own_workers_;
  std::vector<std::thread> threads_;

  mutable mutex lock_;
  condition wake_{&lock_};
  size_t next_ GUARDED_BY(lock_) = 0;
  size_t in_progress_ GUARDED_BY(lock_) = 0;
  size_t running_ GUARDED_BY(lock_) = 0;
  std::vector<char> finished_ GUARDED_BY(lock_);
  std::deque<std::function<void(publish_worker&)>> pieces_ GUARDED_BY(lock_);
};

}  // namespace tsl
