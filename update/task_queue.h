// The work queue of one update stage: tasks first in, first out, and the two
// marks that end its workers' loops. One worker or several take from it.
// Threading: any thread may push, take, mark and wait; one mutex guards the
// tasks and the wake-ups, held only inside each call.
#pragma once

#include <atomic>
#include <deque>
#include <memory>

#include "update/update_task.h"
#include "util/sync.h"

namespace tsl {

class task_queue {
 public:
  // Appends at the back (new tasks and retries alike) and wakes a worker.
  void push(std::shared_ptr<update_task> task) EXCLUDES(lock_);
  // The front task, or null when the queue is empty.
  std::shared_ptr<update_task> take() EXCLUDES(lock_);
  bool empty() EXCLUDES(lock_);
  // Until a task is queued or a mark is set (at once when one is, or when
  // a push came since the last wait returned).
  void wait() EXCLUDES(lock_);

  // stop: leave at once, whatever is queued. no_more: leave once the queue
  // is empty. Both wake every worker.
  void stop() EXCLUDES(lock_);
  void no_more() EXCLUDES(lock_);
  bool stopped() const { return stop_.load(); }
  bool no_more_marked() const { return no_more_.load(); }

 private:
  void mark(std::atomic<bool>& flag) EXCLUDES(lock_);

  mutex lock_;
  condition changed_{&lock_};
  std::deque<std::shared_ptr<update_task>> tasks_ GUARDED_BY(lock_);
  bool pushed_ GUARDED_BY(lock_) = false;  // a push since the last wait returned
  std::atomic<bool> stop_{false};
  std::atomic<bool> no_more_{false};
};

}  // namespace tsl
