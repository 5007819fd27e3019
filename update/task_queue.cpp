#include "update/task_queue.h"

namespace tsl {

void task_queue::push(std::shared_ptr<update_task> task) {
  {
    mutex_lock hold(lock_);
    tasks_.push_back(std::move(task));
    pushed_ = true;
  }
  changed_.signal();
}

std::shared_ptr<update_task> task_queue::take() {
  mutex_lock hold(lock_);
  if (tasks_.empty()) return nullptr;
  auto task = std::move(tasks_.front());
  tasks_.pop_front();
  return task;
}

bool task_queue::empty() {
  mutex_lock hold(lock_);
  return tasks_.empty();
}

void task_queue::wait() {
  mutex_lock hold(lock_);
  while (!pushed_ && tasks_.empty() && !stop_ && !no_more_) changed_.wait();
  pushed_ = false;
}

void task_queue::mark(std::atomic<bool>& flag) {
  {
    // Set under the lock: a worker between its look and its wait cannot
    // miss it.
    mutex_lock hold(lock_);
    flag = true;
  }
  changed_.signal_all();
}

void task_queue::stop() { mark(stop_); }

void task_queue::no_more() { mark(no_more_); }

}  // namespace tsl
