// The work queue of one update stage: tasks first in, first out, and the two
// marks that end its workers' loops. One worker or several take from it.
// Threading: any thread may push, take, mark and wait; one mutex guards the
// tasks and the wake-ups, held only inside each call.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "update/update_task.h"

namespace tsl {

class task_queue {
 public:
  // Appends at the back (new tasks and retries alike) and wakes a worker.
  void push(std::shared_ptr<update_task> task);
  // The front task, or null when the queue is empty.
  std::shared_ptr<update_task> take();
  bool empty();
  // Until a task is queued or a mark is set (at once when one is, or when
  // a push came since the last wait returned).
  void wait();

  // stop: leave at once, whatever is queued. no_more: leave once the queue
  // is empty. Both wake every worker.
  void stop();
  void no_more();
  bool stopped() const { return stop_.load(); }
  bool no_more_marked() const { return no_more_.load(); }

 private:
  void mark(std::atomic<bool>& flag);

  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<update_task>> tasks_;  // REQUIRES: lock_ held
  bool pushed_ = false;  // REQUIRES: lock_ held; a push since the last wait returned
  std::atomic<bool> stop_{false};
  std::atomic<bool> no_more_{false};
};

}  // namespace tsl
