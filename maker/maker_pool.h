// The worker threads of a maker run. Each takes the next file to start, or,
// first, a piece of work that a file being published handed out (a block of
// a large file), and owns one publish_worker, so a run holds one coder per
// thread. The run's thread takes the results in queue order.
// Threading: every member may be called from any thread; one lock guards
// the queue position, the handed-out pieces and the finished marks.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "maker/maker_publish.h"

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
  void start(uint32_t threads, publish_worker& first);
  uint32_t threads() const { return static_cast<uint32_t>(threads_.size()); }

  enum class entry { finished, pending, never };
  // Waits at most `wait` for entry i: finished, still pending, or never to
  // be started (the run stopped before it).
  entry wait(size_t index, std::chrono::milliseconds wait);
  void join();

  // work_helpers
  void hand_out(std::function<void(publish_worker&)> piece) override;
  void work_until(const std::function<bool()>& done, publish_worker& worker) override;

 private:
  void work_loop(publish_worker& worker);
  bool run_one_locked(std::unique_lock<std::mutex>& hold, publish_worker& worker);

  const std::vector<size_t> order_;
  file_step work_;
  std::atomic<bool>& stop_;
  std::vector<std::unique_ptr<publish_worker>> own_workers_;
  std::vector<std::thread> threads_;

  mutable std::mutex lock_;
  std::condition_variable wake_;
  size_t next_ = 0;                                          // REQUIRES: lock_ held
  size_t in_progress_ = 0;                                   // REQUIRES: lock_ held
  size_t running_ = 0;                                       // REQUIRES: lock_ held
  std::vector<char> finished_;                               // REQUIRES: lock_ held
  std::deque<std::function<void(publish_worker&)>> pieces_;  // REQUIRES: lock_ held
};

}  // namespace tsl
