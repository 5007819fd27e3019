#include "update/task_queue.h"

#include <gtest/gtest.h>

#include <thread>

namespace tsl {
namespace {

std::shared_ptr<update_task> task_named(const wchar_t* name) {
  auto task = std::make_shared<update_task>();
  task->file_name = name;
  return task;
}

TEST(TaskQueue, FirstInFirstOutAndNoWakeIsLost) {
  task_queue queue;
  EXPECT_EQ(queue.take(), nullptr);
  queue.push(task_named(L"a"));
  queue.push(task_named(L"b"));
  EXPECT_EQ(queue.take()->file_name, L"a");
  queue.push(task_named(L"c"));
  EXPECT_EQ(queue.take()->file_name, L"b");
  EXPECT_EQ(queue.take()->file_name, L"c");
  // The pushes above woke nobody; their wake is kept for this wait.
  queue.wait();

  // A worker blocked in wait is woken by a push from another thread, and by
  // the no_more mark, which it reads before it looks at the queue.
  std::vector<std::wstring> seen;
  std::thread worker([&] {
    for (;;) {
      const bool finished = queue.no_more_marked();
      if (auto task = queue.take()) {
        seen.push_back(task->file_name);
      } else if (finished) {
        return;
      } else {
        queue.wait();
      }
    }
  });
  queue.push(task_named(L"d"));
  queue.push(task_named(L"e"));
  queue.no_more();
  worker.join();
  EXPECT_EQ(seen, (std::vector<std::wstring>{L"d", L"e"}));
  EXPECT_FALSE(queue.stopped());
  queue.stop();
  EXPECT_TRUE(queue.stopped());
}

}  // namespace
}  // namespace tsl
