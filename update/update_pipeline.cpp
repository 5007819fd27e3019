#include "update/update_pipeline.h"

#include <algorithm>
#include <map>
#include <optional>

#include "codec/packed_file.h"
#include "codec/sha1.h"
#include "net/transfer_set.h"
#include "ui/splash_window.h"
#include "format/file_cache.h"
#include "update/file_rebuild.h"
#include "update/support_log.h"
#include "update/update_texts.h"
#include "util/file_system.h"
#include "util/process.h"
#include "util/text.h"

namespace tsl {

namespace {

// The percent shown last, one value for the whole process and every download
// of the run; written by the download worker only.
std::atomic<int> last_percent_shown{0};

// Bytes for the support log, in the unit that keeps them short.
std::string amount_text(uint64_t bytes) {
  if (bytes >= (10u << 20)) return format_narrow("%u MiB", bytes >> 20);
  if (bytes >= (10u << 10)) return format_narrow("%u KiB", bytes >> 10);
  return format_narrow("%u bytes", bytes);
}

}  // namespace

uint32_t in_use_pause_ms(uint32_t retry) {
  uint32_t pause = 100;
  for (uint32_t i = 0; i < retry && pause < 2000; ++i) pause *= 4;
  return pause < 2000 ? pause : 2000;
}

template <typename... Args>
void update_pipeline::note(const char* format, const Args&... args) const {
  if (settings_.log) settings_.log->writef(format, args...);
}

uint64_t disk_space_needed(const update_task& task) {
  // Sizes come from a host: their sum saturates rather than wraps.
  uint64_t need = disk_space_margin;
  for (const uint64_t part :
       {task.remote_size, task.pack == "none" ? 0 : uint64_t{task.local_size}}) {
    need = part > UINT64_MAX - need ? UINT64_MAX : need + part;
  }
  return need;
}

update_pipeline::update_pipeline(pipeline_settings settings, file_cache& cache, CSplashWnd& splash)
    : settings_(std::move(settings)), cache_(cache), splash_(splash) {}

update_pipeline::~update_pipeline() {
  if (download_thread_.joinable() || !unpack_threads_.empty()) stop();
}

uint32_t update_pipeline::unpack_thread_count() const {
  if (settings_.unpack_threads) return settings_.unpack_threads;
  uint64_t threads = std::max(std::thread::hardware_concurrency(), 1u);
  // In the 32-bit product's address space, or on a machine short of memory,
  // fewer decoders at once rather than a decoder that fails.
  const uint64_t memory = available_memory();
  if (memory) threads = std::min(threads, std::max<uint64_t>(memory / unpack_memory_per_thread, 1));
  return static_cast<uint32_t>(std::min<uint64_t>(threads, 64));
}

bool update_pipeline::start() {
  try {
    download_thread_ = std::thread([this] { download_worker(); });
  } catch (const std::exception&) {
    return false;
  }
  const uint32_t wanted = unpack_thread_count();
  unpackers_running_ = wanted;
  for (uint32_t i = 0; i < wanted; ++i) {
    try {
      unpack_threads_.emplace_back([this] { unpack_worker(); });
    } catch (const std::exception&) {
      // Fewer decoders than wanted still decode everything.
      unpackers_running_ -= wanted - i;
      break;
    }
  }
  if (unpack_threads_.empty()) {
    downloads_.stop();
    download_thread_.join();
    return false;
  }
  return true;
}

void update_pipeline::advance_stage(tsl::stage to) {
  tsl::stage now = stage_.load();
  while (now < to && !stage_.compare_exchange_weak(now, to)) {
  }
}

void update_pipeline::enqueue_download(std::shared_ptr<update_task> task) {
  // Counted first: the download worker's progress range must cover it.
  ++tasks_queued_;
  bytes_queued_ += task->remote_size;
  downloads_.push(std::move(task));
}

void update_pipeline::stop() {
  advance_stage(stage::checked);
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
  for (auto& thread : unpack_threads_) thread.join();
  unpack_threads_.clear();
  if (settings_.log) settings_.log->flush();
  if (splash_.is_closed()) return;  // what is still queued was cancelled
  // A worker that ended early leaves work behind; it must not pass for done.
  while (auto task = downloads_.take()) fail_download(*task, "not downloaded");
  while (auto task = unpacks_.take()) fail_unpack(*task, "not put in place");
}

template <typename Step>
void update_pipeline::guarded(const std::shared_ptr<update_task>& task, bool unpacking,
                              Step&& step) {
  std::string why;
  try {
    if (settings_.before_step) settings_.before_step(*task, unpacking);
    step();
    return;
  } catch (const std::exception& e) {
    why = e.what();
  } catch (...) {
    why = "unknown failure";
  }
  if (unpacking) {
    fail_unpack(*task, why.c_str());
  } else {
    fail_download(*task, why);
  }
}

bool update_pipeline::has_room(const std::wstring& directory, uint64_t needed) {
  // Asking the volume costs a round trip of its own under Wine for every
  // small file; an answer that still covers the file serves for a second.
  // A file is refused only on a fresh answer, so an estimate gone stale
  // can delay, never fail, a download.
  const auto now = std::chrono::steady_clock::now();
  if (!room_.known || room_.bytes < needed || now - room_.told >= std::chrono::seconds(1)) {
    room_.bytes = 0;
    room_.known = settings_.free_space ? settings_.free_space(directory, room_.bytes)
                                       : free_disk_space(directory, room_.bytes);
    room_.told = now;
  }
  if (!room_.known) return true;
  if (room_.bytes < needed) return false;
  // The margin is room kept free, not taken.
  room_.bytes -= needed - disk_space_margin;
  return true;
}

void update_pipeline::fail_download(const update_task& task, const std::string& why) {
  failed_downloads_.push_back(format_wide(L"%s (%S)", task.local_path, why));
  note("Failed to download %s (%s)", task.local_path, why.empty() ? "no error text" : why);
}

void update_pipeline::fail_unpack(const update_task& task, const char* why) {
  {
    mutex_lock hold(failed_unpacks_lock_);
    failed_unpacks_.push_back(task.local_path);
  }
  note("Failed to put %s in place (%s)", task.local_path, why);
}

void update_pipeline::pause(uint32_t milliseconds) const {
  for (uint32_t waited = 0; waited < milliseconds && !splash_.is_closed(); waited += 20) {
    sleep_milliseconds(20);
  }
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

// One file in flight: its task, where it comes from, and its digest as the
// bytes arrive.
struct update_pipeline::flight {
  std::shared_ptr<update_task> task;
  std::string url;
  digest_stream stream;
  bool streamed = false;     // the stream saw the file from its first byte
  bool asked_whole = false;  // fetched whole again after a wrong continuation
};

void update_pipeline::download_worker() {
  std::optional<write_fence> fence;
  if (!settings_.writable.allowed.empty()) fence.emplace(settings_.writable);
  std::unique_ptr<transfer_set> transfers;
  std::string construction_error;
  try {
    transfers = std::make_unique<transfer_set>(
        transfer_set::settings{std::max<uint32_t>(settings_.max_transfers, 1), settings_.limiter});
  } catch (const std::exception& e) {
    // Without transfers every file fails; they are reported, not lost.
    construction_error = e.what();
  }
  try {
    task_hasher hasher;
    if (transfers) {
      download_loop(*transfers, hasher);
    } else {
      work(downloads_,
           [&](std::shared_ptr<update_task> task) { fail_download(*task, construction_error); });
    }
  } catch (...) {
    // Nothing may end the process from a worker; stop() fails what is left.
  }
  advance_stage(stage::downloads_over);
}

void update_pipeline::download_loop(transfer_set& transfers, task_hasher& hasher) {
  std::map<transfer_set::key, flight> flights;
  transfer_set::key next_key = 1;
  while (!downloads_.stopped() && !splash_.is_closed()) {
    // Read no_more before looking at the queue: every task handed over
    // before it was marked is then visible.
    const bool finished = downloads_.no_more_marked();
    while (transfers.has_room()) {
      std::shared_ptr<update_task> task = downloads_.take();
      if (!task) break;
      const transfer_set::key key = next_key++;
      guarded(task, false, [&] { start_download(task, transfers, flights, key); });
    }
    if (flights.empty()) {
      // Read before the queue: a rebuild that falls back queues its task
      // before it stops counting.
      const bool rebuilding = rebuilds_pending_ > 0;
      if (finished && !rebuilding && downloads_.empty()) break;
      if (finished) {
        // Nothing wakes the queue when a rebuild succeeds.
        pause(20);
      } else {
        downloads_.wait();
      }
      continue;
    }
    // New tasks arrive while the check runs: look for them often while
    // there is room for them.
    const bool more_may_come = !finished && transfers.has_room();
    for (const transfer_set::finished& done :
         transfers.step(std::chrono::milliseconds(more_may_come ? 20 : 250))) {
      auto it = flights.find(done.id);
      if (it == flights.end()) continue;
      const std::shared_ptr<update_task> task = it->second.task;
      bool again = false;
      guarded(task, false, [&] { again = finish_download(it->second, done, transfers, hasher); });
      if (!again) flights.erase(it);
    }
    show_downloads(transfers, flights);
  }
  // Closed or stopped: what is in flight is dropped, its kept part kept.
  transfers.abort_all();
}

void update_pipeline::start_download(const std::shared_ptr<update_task>& task,
                                     transfer_set& transfers,
                                     std::map<transfer_set::key, flight>& flights,
                                     transfer_set::key key) {
  const std::wstring directory = directory_of(task->download_path);
  create_directories(directory);
  // A file that cannot fit fails before a byte is fetched, rather than when
  // a write finds the disk full after the whole transfer. What the files in
  // flight will take is already counted. A volume that cannot say how much
  // is free is not held against the file.
  const uint64_t needed = disk_space_needed(*task);
  if (!has_room(directory, needed)) {
    note("Not enough disk space for %s: %u bytes needed, %u free", task->local_path, needed,
         room_.bytes);
    fail_download(*task, "Not enough disk space");
    return;
  }
  // A changed file with a chunk map is rebuilt from the installed one by an
  // unpack worker, as a step of its own: it fetches the map and the ranges
  // it lacks one after another on a transfer set of its own, so the memory
  // it takes is its own and this loop never waits on its reading and
  // decoding. It falls back to this loop once, whatever goes wrong.
  if (!task->map_remote.empty() && !task->rebuild_tried && file_exists(task->old_path)) {
    task->rebuild_tried = true;
    task->phase = 2;
    ++rebuilds_pending_;
    unpacks_.push(task);
    return;
  }
  // Each retry asks the next host, starting from the one that served the
  // index: a mirror that lacks one file does not fail it.
  const std::string& host =
      settings_.hosts[(settings_.position + task->attempts) % settings_.hosts.size()];
  flight& f = flights[key];
  f.task = task;
  f.url = host + task->remote_path;
  begin_transfer(f, transfers, key);
}

void update_pipeline::begin_transfer(flight& f, transfer_set& transfers, transfer_set::key key) {
  transfer_set::request r;
  r.id = key;
  r.spec.url = f.url;
  r.spec.path = f.task->download_path;
  r.spec.byte_limit = f.task->remote_size;
  r.spec.keep_partial = true;
  const bool sha256 = f.task->sha256;
  // Digested as it arrives, unless the transfer continues an earlier one's
  // bytes: those are read back with the rest.
  r.observer = {[&f, sha256](uint64_t kept) {
                  f.streamed = kept == 0;
                  if (f.streamed) {
                    f.stream.begin(sha256 ? digest_stream::sha256 : digest_stream::sha1);
                  }
                },
                [&f](const uint8_t* bytes, size_t n) {
                  if (f.streamed) f.stream.add(bytes, n);
                }};
  // A host that trickles is left for the next one, keeping what arrived; the
  // last host keeps the loose rule, as nowhere else has the file.
  if (settings_.hosts.size() > 1) {
    r.low_speed_limit = settings_.slow_bytes_per_second;
    r.low_speed_time = settings_.slow_seconds;
  }
  r.configure = settings_.configure_transfer;
  newest_ = key;
  transfers.start(std::move(r));
}

bool update_pipeline::finish_download(flight& f, const transfer_set::finished& done,
                                      transfer_set& transfers, task_hasher& hasher) {
  update_task& task = *f.task;
  if (!done.end.ok) {
    if (splash_.is_closed()) return false;  // dropped: neither retried nor counted
    task.last_error = done.end.error;
    note("Download of %s from %s failed: %s", task.local_path, f.url, task.last_error);
    retry_or_fail(f.task);
    return false;
  }
  std::string digest;
  if (f.streamed) {
    const digest_texts texts = f.stream.finish();
    digest = task.sha256 ? texts.sha256 : texts.sha1;
  } else {
    digest = hasher.digest(task.download_path, task.sha256);
  }
  const bool verified = equals_ignore_case(digest, task.expected_digest);
  uint64_t bytes = 0, time = 0;
  query_file_info(task.download_path, bytes, time);
  const std::string line = format_narrow(
      "Fetched %s from %s: %u bytes%s%s", task.local_path, f.url, bytes,
      done.resumed_from ? format_narrow(", %u of them kept from an earlier try", done.resumed_from)
                        : std::string(),
      verified ? "" : ", wrong digest");
  if (verified) {
    // The unpack worker's line for the same file follows in a moment and
    // takes this one along: one open of the log less per file.
    if (settings_.log) settings_.log->write_later(line);
    ++tasks_downloaded_;
    bytes_downloaded_ += task.remote_size;
    task.phase = 1;
    task.attempts = 0;
    unpacks_.push(f.task);
    return false;
  }
  note("%s", line);
  // A file that is whole but wrong is never continued.
  delete_file(task.download_path);
  task.last_error = "wrong digest";
  // A kept part may come from another host, one that sent garbage before
  // it dropped: continued, it spoils a file that this host has right. So a
  // continued file that fails its digest is fetched once more, whole, in
  // the same try.
  if (done.resumed_from && !f.asked_whole && !splash_.is_closed()) {
    f.asked_whole = true;
    begin_transfer(f, transfers, done.id);
    return true;
  }
  retry_or_fail(f.task);
  return false;
}

void update_pipeline::retry_or_fail(const std::shared_ptr<update_task>& task) {
  if (splash_.is_closed()) return;
  if (task->attempts < settings_.max_attempts) {
    ++task->attempts;
    downloads_.push(task);
  } else {
    fail_download(*task, task->last_error);
  }
}

void update_pipeline::show_downloads(const transfer_set& transfers,
                                     const std::map<transfer_set::key, flight>& flights) {
  // While the check runs its status line stays.
  if (stage_ != stage::checked || splash_.is_closed()) return;
  auto newest = flights.find(newest_);
  if (newest == flights.end()) return;
  uint64_t in_flight = 0;
  for (const auto& entry : flights) {
    uint64_t received = 0, expected = 0;
    if (transfers.progress(entry.first, received, expected)) in_flight += received;
  }
  // The bar counts bytes (in KiB, to fit the window's range); the status
  // names the file begun last, with its percent once its length is known.
  const uint64_t total = bytes_queued_.load();
  const uint64_t done = std::min(total, bytes_downloaded_.load() + in_flight);
  splash_.set_progress(static_cast<uint32_t>(done >> 10),
                       static_cast<uint32_t>(std::max<uint64_t>(total >> 10, 1)));
  uint64_t received = 0, expected = 0;
  transfers.progress(newest_, received, expected);
  const std::wstring& name = newest->second.task->file_name;
  if (expected == 0) {
    if (shown_key_ != newest_) {
      splash_.set_status_text(format_wide(pick_text(texts::downloading_file), name));
    }
  } else {
    const int percent = static_cast<int>(std::min<uint64_t>(received * 100 / expected, 100));
    if (shown_key_ != newest_ || percent != last_percent_shown) {
      last_percent_shown = percent;
      splash_.set_status_text(
          format_wide(pick_text(texts::downloading_file_percent), name, percent));
    }
  }
  shown_key_ = newest_;
}

void update_pipeline::unpack_worker() {
  std::optional<write_fence> fence;
  if (!settings_.writable.allowed.empty()) fence.emplace(settings_.writable);
  ready_batch ready;
  try {
    task_hasher hasher;
    work(unpacks_, [&](std::shared_ptr<update_task> task) {
      guarded(task, true, [&] { unpack_one(task, hasher, ready); });
      // Placed before the worker waits or leaves, so that a batch never
      // holds a file back from an idle queue.
      if (ready.tasks.size() >= place_batch_files || ready.bytes >= place_batch_bytes ||
          unpacks_.empty() || splash_.is_closed()) {
        place_ready(ready);
      }
    });
    place_ready(ready);
  } catch (...) {
    // Nothing may end the process from a worker. A file decoded but not yet
    // placed goes back to the queue, where stop() fails it with the rest.
    try {
      for (auto& task : ready.tasks) {
        if (task) unpacks_.push(std::move(task));
      }
    } catch (...) {
    }
  }
  if (--unpackers_running_ == 0) advance_stage(stage::unpacks_over);
}

void update_pipeline::unpack_one(std::shared_ptr<update_task> task, task_hasher& hasher,
                                 ready_batch& ready) {
  if (stage_ == stage::downloads_over) {
    splash_.set_progress(0, 0);
    splash_.set_status_text(format_wide(pick_text(texts::unpacking), task->file_name));
  }
  if (task->phase == 2) {
    rebuild_one(std::move(task), hasher, ready);
    return;
  }
  create_directories(directory_of(task->target_path));
  if (task->pack == "none" || task->rebuilt) {
    ready.tasks.push_back(std::move(task));
    ready.bytes += ready.tasks.back()->local_size;
    return;
  }
  // Decoded beside the target and verified before one move puts it in
  // place, so the installed file is never half-written.
  // Digested as it is written: reading it back would cost as much again.
  hasher.begin(task->sha256);
  auto digest = [&hasher](const uint8_t* bytes, size_t n) {
    hasher.add(bytes, n);
    return true;
  };
  if (task->pack == "lzma2" &&
      unpack_file(task->download_path, task->unpack_path, task->local_size, digest) == 0 &&
      equals_ignore_case(hasher.finish(), task->local_digest)) {
    ready.tasks.push_back(std::move(task));
    ready.bytes += ready.tasks.back()->local_size;
    return;
  }
  delete_file(task->unpack_path);
  finish_unpack(std::move(task), place_result::failed);
}

void update_pipeline::rebuild_one(std::shared_ptr<update_task> task, task_hasher& hasher,
                                  ready_batch& ready) {
  // Counted out only after a fallback is queued, so that the download
  // worker cannot end before it.
  struct pending_mark {
    std::atomic<uint32_t>& count;
    ~pending_mark() { --count; }
  } mark{rebuilds_pending_};
  rebuild_outcome outcome;
  try {
    create_directories(directory_of(task->target_path));
    transfer_set transfers(transfer_set::settings{1, settings_.limiter});
    const rebuild_fetch fetch = [&](const std::string& remote, uint64_t first, uint64_t length,
                                    uint64_t limit, const std::wstring& path, std::string& why) {
      return fetch_for_rebuild(transfers, remote, first, length, limit, path, why);
    };
    outcome = rebuild_file(
        *task, fetch, [this] { return splash_.is_closed(); }, hasher);
  } catch (const std::exception& e) {
    outcome = rebuild_outcome();
    outcome.why = e.what();
    delete_file(task->unpack_path);
  }
  if (outcome.ok) {
    note("Rebuilt %s: %s reused, %s fetched in %u requests", task->local_path,
         amount_text(outcome.reused), amount_text(outcome.fetched), outcome.requests);
    ++tasks_downloaded_;
    bytes_downloaded_ += task->remote_size;
    task->rebuilt = true;
    task->phase = 1;
    task->attempts = 0;
    ready.bytes += task->local_size;
    ready.tasks.push_back(std::move(task));
    return;
  }
  if (splash_.is_closed()) return;  // dropped: neither retried nor counted
  note("Rebuild of %s failed, fetching it whole: %s", task->local_path, outcome.why);
  task->phase = 0;
  downloads_.push(std::move(task));
}

bool update_pipeline::fetch_for_rebuild(transfer_set& transfers, const std::string& remote,
                                        uint64_t first, uint64_t length, uint64_t limit,
                                        const std::wstring& path, std::string& why) {
  // Round the hosts as a download's retries do, each asked once.
  const size_t tries = std::min<size_t>(settings_.hosts.size(), size_t{settings_.max_attempts} + 1);
  for (size_t i = 0; i < tries; ++i) {
    transfer_set::request r;
    r.id = i + 1;
    const std::string url =
        settings_.hosts[(settings_.position + i) % settings_.hosts.size()] + remote;
    r.spec.url = url;
    r.spec.path = path;
    r.spec.byte_limit = limit;
    r.spec.range_first = first;
    r.spec.range_length = length;
    if (settings_.hosts.size() > 1) {
      r.low_speed_limit = settings_.slow_bytes_per_second;
      r.low_speed_time = settings_.slow_seconds;
    }
    r.configure = settings_.configure_transfer;
    transfers.start(std::move(r));
    std::optional<transfer_end> end;
    while (!end) {
      if (splash_.is_closed()) {
        transfers.abort_all();
        why = "cancelled";
        return false;
      }
      for (const transfer_set::finished& done : transfers.step(std::chrono::milliseconds(100))) {
        end = done.end;
      }
    }
    if (end->ok) return true;
    why = format_narrow("%s: %s", url, end->error);
    // A host that serves no ranges is the end of the rebuild, not a fault
    // another host would mend.
    if (end->range_refused) return false;
  }
  return false;
}

void update_pipeline::place_ready(ready_batch& ready) {
  if (ready.tasks.empty()) return;
  // Flushed before they take the installed files' places, so that a power
  // loss cannot leave a file of zeros that the cache then vouches for.
  std::vector<place_result> results(ready.tasks.size(), place_result::failed);
  try {
    std::vector<file_move> moves;
    for (const auto& task : ready.tasks) {
      moves.push_back(
          {task->pack == "none" && !task->rebuilt ? task->download_path : task->unpack_path,
           task->target_path});
    }
    results = place_files(moves);
  } catch (...) {
    // Each file is then retried or failed on its own below.
  }
  for (size_t i = 0; i < ready.tasks.size(); ++i) {
    std::shared_ptr<update_task> task = std::move(ready.tasks[i]);
    try {
      // A rebuilt file is kept for the next try: nothing else could make it.
      if (results[i] != place_result::placed && task->pack != "none" && !task->rebuilt) {
        delete_file(task->unpack_path);
      }
      finish_unpack(task, results[i]);
    } catch (const std::exception& e) {
      fail_unpack(*task, e.what());
    } catch (...) {
      fail_unpack(*task, "unknown failure");
    }
  }
  ready = ready_batch();
}

void update_pipeline::finish_unpack(std::shared_ptr<update_task> task, place_result result) {
  const bool placed = result == place_result::placed;
  // A scanner or the running client holds the file: give it a moment.
  if (result == place_result::in_use && task->attempts < settings_.max_attempts) {
    pause(in_use_pause_ms(task->attempts));
  }
  if (placed) {
    note("Installed %s", task->local_path);
    cache_.store(wide_to_utf8(task->local_path), task->target_path);
    if (task->is_launcher) launcher_updated_ = true;
    delete_file(task->download_path);
  } else if (task->attempts < settings_.max_attempts) {
    // The downloaded file stays for the next try.
    ++task->attempts;
    unpacks_.push(std::move(task));
  } else {
    fail_unpack(*task, result == place_result::in_use ? "held by another program"
                       : task->pack == "none"         ? "could not be moved"
                                                      : "could not be unpacked or moved");
    delete_file(task->download_path);
    if (task->rebuilt) delete_file(task->unpack_path);
  }
}

}  // namespace tsl
