// The download and unpack workers of one update run, with their queues,
// counters and failure lists.
// Threading: the check's thread calls start, enqueue_download and stop; the
// workers share the queues (each with its own locks), the cache (its own
// lock) and the splash window. stage and the task counters are atomic; the
// stage is raised by stop() and by each worker as it ends, never lowered. The
// failure lists and launcher_updated are written by one worker each and read
// only after stop() has joined both.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/transfer_set.h"
#include "update/task_queue.h"
#include "update/update_task.h"
#include "util/file_system.h"

namespace tsl {

class CSplashWnd;
class rate_limiter;
class file_cache;
class support_log;
class task_hasher;

// How far the run is. Three parties move it (stop, the download worker and
// the last unpack worker), each only forward (update_pipeline::advance_stage).
enum class stage : int32_t {
  checking = 0,        // the file check still walks the index
  checked = 1,         // the check has ended: downloads show their status
  downloads_over = 2,  // the download worker has ended: unpacks show theirs
  unpacks_over = 3,    // every unpack worker has ended
};

// What one unpack worker may take while it decodes (the 16 MiB dictionary
// and the decoder's state), with room to spare.
constexpr uint64_t unpack_memory_per_thread = 32u << 20;

// Files in flight at once unless the session says otherwise. Over HTTP/1.1
// each is a connection of its own and small files are bound by the round
// trip, so more is faster (20,000 files of 16 KiB through 100 ms: 16 carry
// 19% of a 100 Mbit/s link, 64 carry 65%); 32 is as many connections as a
// host is commonly asked to bear from one player.
constexpr uint32_t default_transfers = 32;
// Where another host has the file, a transfer slower than this is left for
// it (keeping what arrived); the last host keeps the downloader's rule.
constexpr long slow_host_bytes_per_second = 1024;
constexpr long slow_host_seconds = 20;

// What the workers take from the session.
struct pipeline_settings {
  std::vector<std::string> hosts;  // update base URLs, each ending in "/"
  uint32_t position = 0;           // of the host that delivered the index; retries go round
  uint32_t max_attempts = 3;       // retries per file in each worker
  // Test seam: called on the worker's thread before each step of a task
  // (unpacking true for the unpack worker); it may throw.
  std::function<void(const update_task&, bool unpacking)> before_step;
  // Where each file fetched, failed or put in place is noted; may be null.
  support_log* log = nullptr;
  // Test seam: the free bytes of the volume of a directory (free_disk_space
  // when empty).
  std::function<bool(const std::wstring& directory, uint64_t& bytes)> free_space;
  // Files in flight at once.
  uint32_t max_transfers = default_transfers;
  // Files decoded at once; 0: one per hardware thread, fewer when memory is
  // short.
  uint32_t unpack_threads = 0;
  // Where another host has the file, a transfer below this floor moves on.
  long slow_bytes_per_second = slow_host_bytes_per_second;
  long slow_seconds = slow_host_seconds;
  // The cap all transfers share; null for none.
  rate_limiter* limiter = nullptr;
  // Options of each transfer beyond the download's own (the proxy).
  std::function<void(CURL*, const std::string& url)> configure_transfer;
  // Where the workers may write: the game's files and the session's
  // downloads, never the session's own documents nor anything outside the
  // game. Empty: no fence (tests that work in a bare folder).
  write_area writable;
};

// What a download is allowed to start with on its volume: the published
// bytes, the unpacked bytes beside them for a packed file, and room the
// system and the game keep needing.
constexpr uint64_t disk_space_margin = 8u << 20;
uint64_t disk_space_needed(const update_task& task);

// The pause before the next try of a file that another program holds open:
// 100 ms, then four times longer each time, at most 2 s.
uint32_t in_use_pause_ms(uint32_t retry);

class update_pipeline {
 public:
  // `cache` receives the stamp of every file put in place.
  update_pipeline(pipeline_settings settings, file_cache& cache, CSplashWnd& splash);
  ~update_pipeline();  // stops and joins workers still running
  update_pipeline(const update_pipeline&) = delete;
  update_pipeline& operator=(const update_pipeline&) = delete;

  // Starts the download worker, then the unpack workers. False (nothing left
  // running) when not even one of each can be started.
  bool start();
  // Counts the task in tasks_queued, then hands it to the download worker.
  void enqueue_download(std::shared_ptr<update_task> task);
  // Marks the check finished, lets the workers drain (or stop at once when
  // the window was closed) and joins them.
  void stop();

  tsl::stage current_stage() const { return stage_.load(); }
  // Unpack workers this run uses.
  uint32_t unpack_thread_count() const;

  // After stop(): "path (error)" per file whose download failed for good,
  // the local path per file that could not be put in place, and whether a
  // new launcher executable arrived at its "new-" path. Unless the window
  // was closed, a task that no worker finished (one failed by an exception,
  // or left queued when its worker ended early) is among the failures.
  const std::vector<std::wstring>& failed_downloads() const { return failed_downloads_; }
  const std::vector<std::wstring>& failed_unpacks() const NO_THREAD_SAFETY_ANALYSIS {
    // Read only after stop() has joined every writer.
    return failed_unpacks_;
  }
  bool launcher_updated() const { return launcher_updated_.load(); }

 private:
  void download_worker();
  void unpack_worker();
  // The download stage: up to max_transfers files in flight, each from the
  // host its try names, digested as it arrives.
  struct flight;
  void download_loop(transfer_set& transfers, task_hasher& hasher);
  void start_download(const std::shared_ptr<update_task>& task, transfer_set& transfers,
                      std::map<transfer_set::key, flight>& flights, transfer_set::key key);
  void begin_transfer(flight& f, transfer_set& transfers, transfer_set::key key);
  // The end of one transfer: verified and handed to the unpack worker, or
  // retried, or failed. True when the flight goes on (asked again whole).
  bool finish_download(flight& f, const transfer_set::finished& done, transfer_set& transfers,
                       task_hasher& hasher);
  void retry_or_fail(const std::shared_ptr<update_task>& task);
  // The status of the file begun last and the bar in bytes.
  void show_downloads(const transfer_set& transfers,
                      const std::map<transfer_set::key, flight>& flights);
  // Files decoded and verified but not yet in place: the unpack worker puts
  // them in place together (place_files), at most so many at a time.
  static constexpr size_t place_batch_files = 16;
  static constexpr uint64_t place_batch_bytes = 16u << 20;
  struct ready_batch {
    std::vector<std::shared_ptr<update_task>> tasks;
    uint64_t bytes = 0;
  };
  void unpack_one(std::shared_ptr<update_task> task, task_hasher& hasher, ready_batch& ready);
  // A file rebuilt from the installed one (file_rebuild.h) joins `ready`;
  // one that cannot be goes back to the download worker to come whole.
  void rebuild_one(std::shared_ptr<update_task> task, task_hasher& hasher, ready_batch& ready);
  // One request of a rebuild, tried on each host in turn until one answers
  // or one serves no ranges; false with `why`, at once when cancelled.
  bool fetch_for_rebuild(transfer_set& transfers, const std::string& remote, uint64_t first,
                         uint64_t length, uint64_t limit, const std::wstring& path,
                         std::string& why);
  void place_ready(ready_batch& ready);
  // The end of a task's unpack step: recorded when placed, else retried or
  // failed.
  void finish_unpack(std::shared_ptr<update_task> task, place_result result);
  // A worker's step for one task; whatever it throws fails that task alone.
  template <typename Step>
  void guarded(const std::shared_ptr<update_task>& task, bool unpacking, Step&& step);
  // Whether the volume of `directory` can take `needed` bytes; false only
  // when it was asked and said no. Download worker only.
  bool has_room(const std::wstring& directory, uint64_t needed);
  void fail_download(const update_task& task, const std::string& why);
  void fail_unpack(const update_task& task, const char* why);
  template <typename... Args>
  void note(const char* format, const Args&... args) const;
  // The stage moves on, never back: a worker that leaves early on a cancel
  // cannot take it back.
  void advance_stage(tsl::stage to);
  // Waits up to `milliseconds`, less when the splash window closes.
  void pause(uint32_t milliseconds) const;
  // The worker loop over one queue, until its stop or no_more mark or the
  // closing of the splash window.
  template <typename Handle>
  void work(task_queue& queue, Handle&& handle);

  const pipeline_settings settings_;
  file_cache& cache_;
  CSplashWnd& splash_;

  task_queue downloads_;
  task_queue unpacks_;
  std::atomic<tsl::stage> stage_{stage::checking};
  std::atomic<uint32_t> tasks_queued_{0};
  std::atomic<uint32_t> tasks_downloaded_{0};
  // Tasks an unpack worker is rebuilding: the download worker waits for
  // them, as any may come back to it.
  std::atomic<uint32_t> rebuilds_pending_{0};
  std::atomic<uint64_t> bytes_queued_{0};      // published bytes of the tasks queued
  std::atomic<uint64_t> bytes_downloaded_{0};  // of those fetched and verified
  // The transfer begun last, and the one whose status was shown last.
  // Download worker only.
  uint64_t newest_ = 0;
  uint64_t shown_key_ = 0;

  // The free bytes the volume last told, less what the downloads since then
  // may take. Download worker only.
  struct room_estimate {
    bool known = false;
    uint64_t bytes = 0;
    std::chrono::steady_clock::time_point told;
  } room_;

  std::vector<std::wstring> failed_downloads_;  // download worker only, until joined
  // Appended by the unpack workers; read by the session after stop().
  mutex failed_unpacks_lock_;
  std::vector<std::wstring> failed_unpacks_ GUARDED_BY(failed_unpacks_lock_);
  std::atomic<bool> launcher_updated_{false};

  std::thread download_thread_;
  std::vector<std::thread> unpack_threads_;
  std::atomic<uint32_t> unpackers_running_{0};
};

}  // namespace tsl
