#include "update/update_pipeline.h"

#include <curl/curl.h>

#include "codec/packed_file.h"
#include "codec/sha1.h"
#include "net/downloader.h"
#include "ui/splash_window.h"
#include "update/file_cache.h"
#include "update/update_texts.h"
#include "util/file_system.h"
#include "util/text.h"

namespace tsl {

namespace {

// The percent shown last, one value for the whole process and every download
// of the run; written by the download worker only.
std::atomic<int> last_percent_shown{0};

}  // namespace

update_pipeline::update_pipeline(pipeline_settings settings, file_cache& cache, CSplashWnd& splash)
    : settings_(std::move(settings)), cache_(cache), splash_(splash) {}

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
    downloads_.stop();
    download_thread_.join();
    return false;
  }
  return true;
}

void update_pipeline::enqueue_download(std::shared_ptr<update_task> task) {
  // Counted first: the download worker's progress range must cover it.
  ++tasks_queued_;
  downloads_.push(std::move(task));
}

void update_pipeline::stop() {
  stage_ = stage::checked;
  if (splash_.is_closed()) {
    downloads_.stop();
  } else {
    downloads_.no_more();
  }
  if (download_thread_.joinable()) download_thread_.join();
  if (splash_.is_closed()) {
    unpacks_.stop();
  } else {
    unpacks_.no_more();
  }
  if (unpack_thread_.joinable()) unpack_thread_.join();
}

template <typename Handle>
void update_pipeline::work(task_queue& queue, Handle&& handle) {
  if (splash_.is_closed()) return;
  while (!queue.stopped()) {
    // Read no_more before looking at the queue: every task handed over before
    // it was marked is then visible.
    const bool finished = queue.no_more_marked();
    std::shared_ptr<update_task> task = queue.take();
    if (task) {
      handle(std::move(task));
    } else if (finished) {
      break;
    } else {
      queue.wait();
    }
    if (splash_.is_closed()) break;
  }
}

void update_pipeline::download_worker() {
  std::unique_ptr<downloader> fetcher;
  std::string construction_error;
  try {
    fetcher.reset(new downloader());
    fetcher->handle().add(CURLOPT_CONNECTTIMEOUT, static_cast<long>(settings_.connect_timeout));
  } catch (const std::exception& e) {
    // Without a downloader every file fails; they are reported, not lost.
    fetcher.reset();
    construction_error = e.what();
  }
  try {
    file_hasher hasher;
    work(downloads_, [&](std::shared_ptr<update_task> task) {
      download_one(std::move(task), fetcher.get(), construction_error, hasher);
    });
  } catch (const std::exception&) {
    // Nothing may end the process from a worker; the run reports what failed.
  }
  stage_ = stage::downloads_over;
}

void update_pipeline::download_one(std::shared_ptr<update_task> task, downloader* fetcher,
                                   const std::string& construction_error, file_hasher& hasher) {
  bool shown = false;
  auto show_status = [&] {
    splash_.set_progress(tasks_downloaded_, tasks_queued_);
    splash_.set_status_text(format_wide(pick_text(texts::downloading_file), task->file_name));
    shown = true;
  };
  bool downloaded = false;
  if (fetcher) {
    if (stage_ == stage::checked) show_status();
    fetcher->set_progress_callback([&](int percent, double, double, double, double) -> int {
      if (!shown) {
        // While the check runs its status line stays; the first report
        // after it ended switches to the download status.
        if (stage_ == stage::checked) show_status();
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
    const std::string& host = settings_.hosts[settings_.position % settings_.hosts.size()];
    downloaded = fetcher->download(host + task->remote_path, task->download_path);
    fetcher->clear_progress_callback();
  }
  if (downloaded && equals_ignore_case(hasher.digest(task->download_path), task->expected_sha1)) {
    ++tasks_downloaded_;
    task->phase = 1;
    task->attempts = 0;
    unpacks_.push(std::move(task));
  } else if (splash_.is_closed()) {
    // Dropped: a cancelled transfer is neither retried nor counted.
  } else if (fetcher && task->attempts < settings_.max_attempts) {
    ++task->attempts;
    downloads_.push(std::move(task));
  } else {
    const std::string& why = fetcher ? fetcher->last_error() : construction_error;
    failed_downloads_.push_back(format_wide(L"%s (%S)", task->local_path, why));
  }
}

void update_pipeline::unpack_worker() {
  try {
    file_hasher hasher;
    work(unpacks_, [&](std::shared_ptr<update_task> task) { unpack_one(std::move(task), hasher); });
  } catch (const std::exception&) {
    // Nothing may end the process from a worker.
  }
  stage_ = stage::unpacks_over;
}

void update_pipeline::unpack_one(std::shared_ptr<update_task> task, file_hasher& hasher) {
  if (stage_ == stage::downloads_over) {
    splash_.set_progress(0, 0);
    splash_.set_status_text(format_wide(pick_text(texts::unpacking), task->file_name));
  }
  create_directories(directory_of(task->target_path));
  bool placed = false;
  if (task->pack == "none") {
    placed = move_file_replace(task->download_path, task->target_path);
  } else {
    // Decoded beside the target and verified before one move puts it in
    // place, so the installed file is never half-written.
    if (task->pack == "lzma2" && unpack_file(task->download_path, task->unpack_path) == 0 &&
        equals_ignore_case(hasher.digest(task->unpack_path), task->local_sha1)) {
      placed = move_file_replace(task->unpack_path, task->target_path);
    }
    delete_file(task->unpack_path);
  }
  if (placed) {
    cache_.store(wide_to_utf8(task->local_path), task->target_path);
    if (task->is_launcher) launcher_updated_ = true;
    delete_file(task->download_path);
  } else if (task->attempts < settings_.max_attempts) {
    // The downloaded file stays for the next try.
    ++task->attempts;
    unpacks_.push(std::move(task));
  } else {
    failed_unpacks_.push_back(task->local_path);
    delete_file(task->download_path);
  }
}

}  // namespace tsl
