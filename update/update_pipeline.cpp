#include "update/update_pipeline.h"

#include <curl/curl.h>

#include "codec/packed_file.h"
#include "codec/sha1.h"
#include "launcher/messages.h"
#include "net/downloader.h"
#include "ui/splash_window.h"
#include "update/game_launcher.h"
#include "util/file_system.h"
#include "util/text.h"

namespace tsl {

namespace {

// The percent shown last, one value for the whole process and every download
// of the run; written by the download worker only.
std::atomic<int> last_percent_shown{0};

}  // namespace

void wake_signal::set() {
  std::lock_guard<std::mutex> hold(lock_);
  flag_ = true;
  changed_.notify_one();
}

void wake_signal::wait() {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [this] { return flag_; });
  flag_ = false;
}

update_pipeline::update_pipeline(game_launcher& session, CSplashWnd& splash, uint32_t position)
    : session_(session), splash_(splash), position_(position) {}

update_pipeline::~update_pipeline() {
  if (download_thread_.joinable() || unpack_thread_.joinable()) stop();
}

bool update_pipeline::start() {
  try {
    download_thread_ = std::thread([this] { download_worker(); });
  } catch (const std::exception&) {
    return false;
  }
  try {
    unpack_thread_ = std::thread([this] { unpack_worker(); });
  } catch (const std::exception&) {
    download_stop_ = true;
    download_signal_.set();
    download_thread_.join();
    return false;
  }
  return true;
}

void update_pipeline::enqueue_download(std::shared_ptr<update_task> task) {
  append(download_queue_, download_lock_, std::move(task));
  download_signal_.set();
}

void update_pipeline::stop() {
  stage = 1;
  if (splash_.is_closed()) {
    download_stop_ = true;
  } else {
    download_no_more_ = true;
  }
  download_signal_.set();
  if (download_thread_.joinable()) download_thread_.join();
  if (splash_.is_closed()) {
    unpack_stop_ = true;
  } else {
    unpack_no_more_ = true;
  }
  unpack_signal_.set();
  if (unpack_thread_.joinable()) unpack_thread_.join();
}

std::shared_ptr<update_task> update_pipeline::take(queue& q, std::mutex& lock) {
  std::lock_guard<std::mutex> hold(lock);
  if (q.empty()) return nullptr;
  auto task = std::move(q.front());
  q.pop_front();
  return task;
}

void update_pipeline::append(queue& q, std::mutex& lock, std::shared_ptr<update_task> task) {
  std::lock_guard<std::mutex> hold(lock);
  q.push_back(std::move(task));
}

void update_pipeline::download_worker() {
  std::unique_ptr<downloader> fetcher;
  std::string construction_error;
  try {
    fetcher.reset(new downloader());
    fetcher->handle().add(CURLOPT_CONNECTTIMEOUT, static_cast<long>(session_.connect_timeout));
  } catch (const std::exception& e) {
    // Without a downloader every file fails; they are reported, not lost.
    fetcher.reset();
    construction_error = e.what();
  }
  try {
    download_all(fetcher.get(), construction_error);
  } catch (const std::exception&) {
    // Nothing may end the process from a worker; the run reports what failed.
  }
  stage = 2;
}

void update_pipeline::download_all(downloader* fetcher, const std::string& construction_error) {
  if (splash_.is_closed()) return;
  Sha1Context context;
  byte_buffer buffer;
  while (!download_stop_) {
    // Read no_more before looking at the queue: every task handed over before
    // it was set is then visible.
    bool finished = download_no_more_;
    std::shared_ptr<update_task> task = take(download_queue_, download_lock_);
    if (!task) {
      if (finished) break;
      download_signal_.wait();
    } else {
      bool shown = false;
      auto show_status = [&] {
        splash_.set_progress(session_.tasks_downloaded, session_.tasks_queued);
        splash_.set_status_text(format_wide(pick_text(texts::downloading_file), task->file_name));
        shown = true;
      };
      bool downloaded = false;
      if (fetcher) {
        if (stage == 1) show_status();
        fetcher->set_progress_callback([&](int percent, double, double, double, double) -> int {
          if (!shown) {
            // While the check runs its status line stays; the first report
            // after it ended switches to the download status.
            if (stage == 1) show_status();
            return 0;
          }
          if (percent != last_percent_shown) {
            last_percent_shown = percent;
            splash_.set_status_text(
                format_wide(pick_text(texts::downloading_file_percent), task->file_name, percent));
          }
          return splash_.is_closed() ? 1 : 0;
        });
        create_directories(directory_of(task->download_path));
        const std::string& host = session_.hosts[position_ % session_.hosts.size()];
        downloaded = fetcher->download(host + task->remote_path, task->download_path);
        fetcher->clear_progress_callback();
      }
      if (downloaded && equals_ignore_case(file_digest(task->download_path, context, buffer),
                                           task->expected_sha1)) {
        ++session_.tasks_downloaded;
        task->phase = 1;
        task->attempts = 0;
        append(unpack_queue_, unpack_lock_, task);
        unpack_signal_.set();
      } else if (splash_.is_closed()) {
        // Dropped: a cancelled transfer is neither retried nor counted.
      } else if (fetcher && task->attempts < session_.max_attempts) {
        ++task->attempts;
        append(download_queue_, download_lock_, task);
        download_signal_.set();
      } else {
        const std::string& why = fetcher ? fetcher->last_error() : construction_error;
        session_.failed_downloads.push_back(format_wide(L"%s (%S)", task->local_path, why));
        ++failed_download_count;
      }
    }
    if (splash_.is_closed()) break;
  }
}

void update_pipeline::unpack_worker() {
  try {
    if (!splash_.is_closed()) {
      Sha1Context context;
      byte_buffer buffer;
      while (!unpack_stop_) {
        bool finished = unpack_no_more_;
        std::shared_ptr<update_task> task = take(unpack_queue_, unpack_lock_);
        if (!task) {
          if (finished) break;
          unpack_signal_.wait();
        } else {
          if (stage == 2) {
            splash_.set_progress(0, 0);
            splash_.set_status_text(format_wide(pick_text(texts::unpacking), task->file_name));
          }
          create_directories(directory_of(task->target_path));
          bool placed = false;
          if (task->pack == "none") {
            placed = move_file_replace(task->download_path, task->target_path);
          } else {
            // Decoded beside the target and verified before one move puts it
            // in place, so the installed file is never half-written.
            if (task->pack == "lzma2" && unpack_file(task->download_path, task->unpack_path) == 0 &&
                equals_ignore_case(file_digest(task->unpack_path, context, buffer),
                                   task->local_sha1)) {
              placed = move_file_replace(task->unpack_path, task->target_path);
            }
            delete_file(task->unpack_path);
          }
          if (placed) {
            session_.cache.store(wide_to_utf8(task->local_path), task->target_path);
            if (task->is_launcher) launcher_updated = true;
            delete_file(task->download_path);
          } else if (task->attempts < session_.max_attempts) {
            ++task->attempts;
            append(unpack_queue_, unpack_lock_, task);
          } else {
            session_.failed_unpacks.push_back(task->local_path);
            ++failed_unpack_count;
            delete_file(task->download_path);
          }
        }
        if (splash_.is_closed()) break;
      }
    }
  } catch (const std::exception&) {
    // Nothing may end the process from a worker.
  }
  stage = 3;
}

}  // namespace tsl
