#include "net/transfer_set.h"

#include <algorithm>

#include "net/rate_limiter.h"
#include "net/transfer_wait.h"
#include "util/file_system.h"

namespace tsl {

struct transfer_set::active {
  request r;
  std::unique_ptr<curl_easy> handle;
  file_transfer transfer;
  uint64_t resumed_from = 0;
  bool asked_whole = false;  // asked again from byte 0 after a refused continuation
};

transfer_set::transfer_set(settings s) : settings_(s) {
  curl_interface global_initialisation;
  multi_ = curl_multi_init();
  if (!multi_) throw curl_easy_exception(CURLE_OUT_OF_MEMORY, "curl::transfer_set");
  const long most = static_cast<long>(std::max<uint32_t>(settings_.max_in_flight, 1));
  // Streams of one HTTP/2 connection where the host offers them; else up to
  // `most` HTTP/1.1 connections, each kept alive for the next file.
  curl_multi_setopt(multi_, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
  curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, most);
  curl_multi_setopt(multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, most);
  curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, most);
}

transfer_set::~transfer_set() {
  abort_all();
  idle_.clear();
  curl_multi_cleanup(multi_);
}

std::unique_ptr<curl_easy> transfer_set::take_handle() {
  if (!idle_.empty()) {
    std::unique_ptr<curl_easy> handle = std::move(idle_.back());
    idle_.pop_back();
    return handle;
  }
  auto handle = std::make_unique<curl_easy>();
  set_download_options(*handle);
  // Rather wait for a stream of a connection being made than open another.
  handle->add(CURLOPT_PIPEWAIT, 1L);
  return handle;
}

void transfer_set::start(request r) {
  auto a = std::make_unique<active>();
  a->r = std::move(r);
  transfer_spec& spec = a->r.spec;
  spec.resume_from = 0;
  if (spec.keep_partial) {
    uint64_t kept = 0, time = 0;
    if (query_file_info(spec.path, kept, time)) spec.resume_from = kept;
    // What cannot be the start of a good file is not worth continuing.
    if (spec.resume_from >= spec.byte_limit) {
      delete_file(spec.path);
      spec.resume_from = 0;
    }
  }
  a->resumed_from = spec.resume_from;
  try {
    a->handle = take_handle();
  } catch (const curl_easy_exception& e) {
    finished f;
    f.id = a->r.id;
    f.end.error = std::string("Transfer failed: ") + e.what();
    ended_early_.push_back(std::move(f));
    return;
  }
  begin(*a);
  if (a->handle) active_.push_back(std::move(a));
}

void transfer_set::begin(active& a) {
  CURL* easy = a.handle->get();
  a.transfer.set_observer(&a.r.observer);
  a.transfer.set_limiter(settings_.limiter);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, a.r.low_speed_limit);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, a.r.low_speed_time);
  // Under a cap, smaller pieces keep any second close to it.
  const long piece = settings_.limiter ? static_cast<long>(settings_.limiter->piece_size(
                                             static_cast<size_t>(receive_buffer_size)))
                                       : receive_buffer_size;
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, piece);
  if (a.r.configure) a.r.configure(easy, a.r.spec.url);
  std::string error;
  const bool opened = a.transfer.begin(easy, a.r.spec, error);
  if (opened && curl_multi_add_handle(multi_, easy) == CURLM_OK) return;
  finished f;
  f.id = a.r.id;
  f.end.error = opened ? "Transfer failed: no room for another transfer" : error;
  if (opened) f.end = a.transfer.finish(easy, CURLE_OUT_OF_MEMORY, false);
  ended_early_.push_back(std::move(f));
  idle_.push_back(std::move(a.handle));
}

void transfer_set::retire(std::unique_ptr<active> a) {
  // The handle keeps its settings, and the connection stays with the multi
  // handle for the next transfer.
  idle_.push_back(std::move(a->handle));
}

std::vector<transfer_set::finished> transfer_set::step(std::chrono::milliseconds wait) {
  std::vector<finished> done;
  done.swap(ended_early_);
  rate_limiter* limiter = settings_.limiter;
  if (limiter && limiter->has_room()) {
    for (auto& a : active_) a->transfer.resume(a->handle->get());
  }
  int running = 0;
  curl_multi_perform(multi_, &running);
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* easy = message->easy_handle;
    const CURLcode code = message->data.result;
    auto it = std::find_if(active_.begin(), active_.end(),
                           [easy](const auto& a) { return a->handle->get() == easy; });
    if (it == active_.end()) continue;
    std::unique_ptr<active> a = std::move(*it);
    active_.erase(it);
    curl_multi_remove_handle(multi_, easy);
    const transfer_end end = a->transfer.finish(easy, code, false);
    if (!end.ok && end.range_refused && a->resumed_from && !a->asked_whole) {
      // The host will not continue: the whole file, once, in the same try.
      a->asked_whole = true;
      a->resumed_from = 0;
      a->r.spec.resume_from = 0;
      begin(*a);
      if (a->handle) active_.push_back(std::move(a));
      continue;
    }
    done.push_back({a->r.id, end, a->resumed_from});
    retire(std::move(a));
  }
  if (!done.empty() || active_.empty()) return done;
  long most = static_cast<long>(wait.count());
  if (limiter) {
    const bool all_paused = std::all_of(active_.begin(), active_.end(),
                                        [](const auto& a) { return a->transfer.paused(); });
    if (all_paused) {
      // Nothing to read until the cap lets a transfer go on.
      most = std::min<long>(most, static_cast<long>(limiter->time_to_room().count()));
      if (most > 0) curl_multi_poll(multi_, nullptr, 0, static_cast<int>(most), nullptr);
      return done;
    }
  }
  wait_for_transfer(multi_, std::max<long>(most, 0));
  return done;
}

std::vector<transfer_set::finished> transfer_set::abort_all() {
  std::vector<finished> done;
  done.swap(ended_early_);
  for (auto& a : active_) {
    CURL* easy = a->handle->get();
    curl_multi_remove_handle(multi_, easy);
    done.push_back(
        {a->r.id, a->transfer.finish(easy, CURLE_ABORTED_BY_CALLBACK, true), a->resumed_from});
    retire(std::move(a));
  }
  active_.clear();
  return done;
}

bool transfer_set::progress(key id, uint64_t& received, uint64_t& expected) const {
  for (const auto& a : active_) {
    if (a->r.id != id) continue;
    received = a->transfer.written();
    curl_off_t length = -1;
    curl_easy_getinfo(a->handle->get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    expected = length >= 0 ? static_cast<uint64_t>(length) + a->resumed_from : 0;
    return true;
  }
  return false;
}

}  // namespace tsl
