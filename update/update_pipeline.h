// The download and unpack workers of one update run and their queues.
// Threading: the check's thread calls start, enqueue_download and stop; each
// queue has its own mutex, held only while a task is appended or taken, and
// its own auto-resetting wake-up signal. stage, the stop and no_more flags
// and the session's task counters are atomic. The failure counts and
// launcher_updated are read only after stop() has joined both workers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "update/update_task.h"

namespace tsl {

class CSplashWnd;
class downloader;
class game_launcher;

// An auto-resetting event: a set while nobody waits is kept for the next wait.
class wake_signal {
 public:
  void set();
  void wait();

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool flag_ = false;  // REQUIRES: lock_ held
};

class update_pipeline {
 public:
  update_pipeline(game_launcher& session, CSplashWnd& splash, uint32_t position);
  ~update_pipeline();  // stops and joins workers still running

  // Starts the download worker, then the unpack worker. False (nothing left
  // running) when a thread cannot be started.
  bool start();
  void enqueue_download(std::shared_ptr<update_task> task);
  // Marks the check finished, lets the workers drain (or stop at once when
  // the window was closed) and joins them.
  void stop();

  std::atomic<int> stage{0};  // 0 checking, 1 checked, 2 downloads over, 3 unpacks over
  uint32_t failed_download_count = 0;
  uint32_t failed_unpack_count = 0;
  bool launcher_updated = false;

 private:
  using queue = std::deque<std::shared_ptr<update_task>>;
  void download_worker();
  void unpack_worker();
  void download_all(downloader* fetcher, const std::string& construction_error);
  std::shared_ptr<update_task> take(queue& q, std::mutex& lock);
  void append(queue& q, std::mutex& lock, std::shared_ptr<update_task> task);

  game_launcher& session_;
  CSplashWnd& splash_;
  const uint32_t position_;

  std::mutex download_lock_;
  queue download_queue_;  // REQUIRES: download_lock_ held
  wake_signal download_signal_;
  std::atomic<bool> download_stop_{false};
  std::atomic<bool> download_no_more_{false};

  std::mutex unpack_lock_;
  queue unpack_queue_;  // REQUIRES: unpack_lock_ held
  wake_signal unpack_signal_;
  std::atomic<bool> unpack_stop_{false};
  std::atomic<bool> unpack_no_more_{false};

  std::thread download_thread_;
  std::thread unpack_thread_;
};

}  // namespace tsl
