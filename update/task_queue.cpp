#include "update/task_queue.h"

namespace tsl {

void task_queue::push(std::shared_ptr<update_task> task) {
  {
    mutex_lock hold(lock_);
    tasks_.push_back(std::move(task));
  }
  signal_.set();
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

void task_queue::stop() {
  stop_ = true;
  signal_.set();
}

void task_queue::no_more() {
  no_more_ = true;
  signal_.set();
}

}  // namespace tsl
