#include "update/task_queue.h"

namespace tsl {

void task_queue::push(std::shared_ptr<update_task> task) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    tasks_.push_back(std::move(task));
    pushed_ = true;
  }
  changed_.notify_one();
}

std::shared_ptr<update_task> task_queue::take() {
  std::lock_guard<std::mutex> hold(lock_);
  if (tasks_.empty()) return nullptr;
  auto task = std::move(tasks_.front());
  tasks_.pop_front();
  return task;
}

bool task_queue::empty() {
  std::lock_guard<std::mutex> hold(lock_);
  return tasks_.empty();
}

void task_queue::wait() {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [this] { return pushed_ || !tasks_.empty() || stop_ || no_more_; });
  pushed_ = false;
}

void task_queue::mark(std::atomic<bool>& flag) {
  {
    // Set under the lock: a worker between its look and its wait cannot
    // miss it.
    std::lock_guard<std::mutex> hold(lock_);
    flag = true;
  }
  changed_.notify_all();
}

void task_queue::stop() { mark(stop_); }

void task_queue::no_more() { mark(no_more_); }

}  // namespace tsl
