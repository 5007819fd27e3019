// The work queue of one update worker: tasks first in, first out, a wake-up
// event, and the two marks that end the worker's loop.
// Threading: any thread may push, take and mark; one worker waits. The
// queue's mutex is held only while a task is appended or taken, the event's
// only inside set and wait; neither is held while the other is taken.
#pragma once

#include <atomic>
#include <deque>
#include <memory>

#include "update/update_task.h"
#include "util/sync.h"

namespace tsl {

class task_queue {
 public:
  // Appends at the back (new tasks and retries alike) and wakes the worker.
  void push(std::shared_ptr<update_task> task) EXCLUDES(lock_);
  // The front task, or null when the queue is empty.
  std::shared_ptr<update_task> take() EXCLUDES(lock_);
  bool empty() EXCLUDES(lock_);
  // Until the next push or mark (or at once, when one came since the last wait).
  void wait() { signal_.wait(); }

  // stop: leave at once, whatever is queued. no_more: leave once the queue
  // is empty. Both wake the worker.
  void stop();
  void no_more();
  bool stopped() const { return stop_.load(); }
  bool no_more_marked() const { return no_more_.load(); }

 private:
  mutex lock_;
  std::deque<std::shared_ptr<update_task>> tasks_ GUARDED_BY(lock_);
  // Auto reset: a wake while the worker is busy is kept for its next wait.
  event signal_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> no_more_{false};
};

}  // namespace tsl
