#include "maker/maker_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>
#include <stdexcept>
#include <utility>

#include "codec/packed_file.h"
#include "codec/signature.h"
#include "maker/maker_machine.h"
#include "util/process.h"
#include "maker/maker_names.h"
#include "maker/maker_pool.h"
#include "maker/maker_progress.h"
#include "maker/maker_scan.h"
#include "maker/maker_signing.h"
#include "maker/maker_guid.h"
#include "format/update_index.h"
#include "util/file_system.h"
#include "util/text.h"

namespace tsl {

void print_console_line(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

maker_run::maker_run(maker_paths paths, std::atomic<bool>& stop, line_sink print)
    : paths_(std::move(paths)), stop_(stop), print_(std::move(print)) {}

template <typename... Args>
void maker_run::say(const char* format, const Args&... args) {
  print_(format_narrow(format, args...));
}

bool maker_run::run() {
  load_old_cache();
  create_working_directories();
  if (load_configuration() != config_state::ready || !load_signing_key()) return false;
  queue_input_files();
  process_input_files();
  if (out_of_memory_) {
    say("!!! Not enough memory to publish every file: nothing was published. Lower "
        "maker.packer.threads or close other programs, and start the tool again.\n");
    context_->remove_partial_directory();
    return false;
  }
  detect_change();
  // Without its number on disk the next run would reuse this one, so no
  // index goes out under a number that the configuration does not hold;
  // and a cache whose entries name that number would vouch for files of an
  // update the configuration never reached.
  if (!save_new_version()) {
    context_->remove_partial_directory();
    return false;
  }
  bool ok = stop_ || write_update();
  context_->remove_partial_directory();
  return save_cache() && ok;
}

void maker_run::load_old_cache() { old_cache_.load(paths_.cache); }

void maker_run::create_working_directories() {
  create_directories(paths_.input);
  create_directories(paths_.output);
}

maker_run::config_state maker_run::load_configuration() {
  try {
    if (!path_exists(paths_.config) || directory_exists(paths_.config)) {
      // A failed write (onto a directory, say) goes unreported: the run
      // ends here all the same and nothing else is written.
      write_file_atomic(paths_.config, json_pretty_line(default_config_document(make_guid_text())));
      say("Configuration file created. Edit config.json and start tool again.\n");
      return config_state::created;
    }
    // A file that cannot be read parses as empty input, which the parser
    // reports.
    std::string text;
    read_whole_file(paths_.config, text);
    config_ = json::parse(text);
    settings_ = read_maker_settings(config_);
    settings_.block_size = block_size_;
    check_published_version();
    return config_state::ready;
  } catch (const std::exception& e) {
    say("Exception: %s\n", e.what());
    return config_state::failed;
  }
}

bool maker_run::publication_signed() const {
  auto maker = config_.find("maker");
  if (maker != config_.end() && maker->is_object()) {
    auto recorded = maker->find("signed");
    if (recorded != maker->end() && recorded->is_boolean()) return recorded->get<bool>();
  }
  // A config.json from before the record: what output holds tells.
  return file_exists(join_path(paths_.output, L"version.json.sig"));
}

void maker_run::record_signed(bool signed_run) {
  json& maker = config_["maker"];
  auto recorded = maker.find("signed");
  if (recorded != maker.end() && *recorded == signed_run) return;
  maker["signed"] = signed_run;
  config_changed_ = true;
}

bool maker_run::load_signing_key() {
  switch (tsl::load_signing_key(paths_.signing_key, secret_key_)) {
    case signing_key_state::absent:
      if (!publication_signed()) return true;
      // Launchers that trust the key would refuse everything from now on:
      // that takes the publisher's word, not a key file left behind.
      if (!unsigned_allowed_) {
        say("!!! The published update is signed, but %S is missing: put the signing key beside "
            "the tool, or start it with -unsigned to publish unsigned from now on\n",
            paths_.signing_key);
        return false;
      }
      say("Publishing unsigned over a signed update (-unsigned): launchers built with a key "
          "refuse it\n");
      record_signed(false);
      return true;
    case signing_key_state::loaded:
      settings_.sha256 = true;
      say("Signing with %S\n", paths_.signing_key);
      record_signed(true);
      return true;
    case signing_key_state::malformed:
      break;
  }
  // Publishing unsigned beside a broken key would cut off every launcher
  // that expects signatures; nothing is written instead.
  say("!!! Signing key is unreadable or malformed: %S\n", paths_.signing_key);
  return false;
}

void maker_run::check_published_version() {
  // A config.json restored from a backup or copied from elsewhere: its
  // number would publish under update directories that launchers already
  // know with other contents, and the version file would go backwards.
  const std::wstring version_path = join_path(paths_.output, L"version.json");
  json version;
  uint32_t published = 0;
  std::wstring error;
  if (!parse_json_file(version_path, version) || !read_gameupdate(version, published, error) ||
      published <= settings_.current_version) {
    return;
  }
  throw std::runtime_error(format_narrow(
      "%S announces game update %u, but maker.gameupdate in config.json is %u: restore the "
      "config.json and cache.json of the run that published update %u (or set maker.gameupdate "
      "to %u) and start the tool again",
      version_path, published, settings_.current_version, published, published));
}

void maker_run::queue_input_files() {
  input_scan scan = scan_input(paths_.input);
  say("Orvane Game Launcher\n");
  say("Checking files...\n");
  context_.reset(new publish_context(paths_, settings_, old_cache_));
  context_->read_observer = read_observer_;
  for (const auto& line : scan.left_out) say("%s", line);
  // Two files that would share a published name (or the index's) cannot
  // both be published: the later one is left out.
  published_names names;
  for (auto& file : scan.files) {
    // Published, a signing key would let anyone sign updates.
    if (equals_ignore_case(file_name_of(file.path), std::wstring(L"signing.key"))) {
      say("!!! Private signing key left out: %S (keep it out of input)\n", file.path);
      continue;
    }
    const publish_names derived = derive_names(paths_, file.path, settings_.next_version);
    const std::wstring earlier = names.claim(derived.key_path, file.path);
    if (!earlier.empty()) {
      say("%s", name_collision_line(file.path, earlier));
      continue;
    }
    queue_.emplace_back(new file_publication(*context_, std::move(file.path)));
    queued_sizes_.push_back(file.size);
  }
}

uint32_t maker_run::thread_count() const {
  // The memory rule holds for a number from config.json too: in the 32-bit
  // product's address space a coder more than fits fails its files.
  uint64_t threads = default_thread_count(
      settings_.threads ? settings_.threads : std::thread::hardware_concurrency(),
      available_memory());
  // No more threads than pieces of work: a file, or each block of a large
  // one.
  uint64_t pieces = 0;
  for (const uint64_t size : queued_sizes_) {
    pieces += size > settings_.block_size ? (size - 1) / settings_.block_size + 1 : 1;
  }
  return static_cast<uint32_t>(std::max<uint64_t>(std::min(threads, pieces), 1));
}

void maker_run::process_input_files() {
  if (!context_->prepare_partial_directory()) {
    say("!!! Error writing file: %S\n", context_->partial_directory());
  }
  const size_t count = queue_.size();
  if (count == 0) return;
  progress_line progress(progress_writer_);
  progress_counts counts;
  counts.files = count;
  for (const uint64_t size : queued_sizes_) counts.bytes += size;

  // Largest first, so that no large file is left to one thread at the end
  // while the others idle; results are still taken in queue order.
  std::vector<size_t> order(count);
  for (size_t k = 0; k < count; ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(),
                   [this](size_t a, size_t b) { return queued_sizes_[a] > queued_sizes_[b]; });
  publish_pool pool(
      std::move(order),
      [this](size_t index, publish_worker& worker, work_helpers& helpers) {
        file_publication& publication = *queue_[index];
        try {
          publication.begin(worker, helpers);
        } catch (const std::bad_alloc& e) {
          publication.fail(e.what(), true);
        } catch (const std::exception& e) {
          publication.fail(e.what());
        }
      },
      stop_);
  progress.restart();
  pool.start(thread_count(), worker_);
  // What files still in progress have read so far counts too. Asking every
  // file not yet taken each time one is taken would cost the square of their
  // number, so they are asked a few times a second and what each had read
  // then is kept until it is taken.
  std::vector<uint64_t> counted(progress.active() ? count : 0, 0);
  uint64_t reading = 0;
  auto asked = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  // A stop takes effect between files: those begun are finished and taken,
  // in queue order, the others left out.
  for (size_t next = 0; next < count;) {
    const publish_pool::entry state = pool.wait(next, std::chrono::milliseconds(250));
    if (state == publish_pool::entry::never) {
      if (!counted.empty()) reading -= counted[next];
      queue_[next++].reset();
      continue;
    }
    if (state == publish_pool::entry::finished) {
      progress.erase();
      publish_outcome& outcome = queue_[next]->outcome();
      if (!counted.empty()) reading -= counted[next];
      counts.files_done += 1;
      counts.bytes_done += queued_sizes_[next];
      if (!outcome.has_entry || outcome.anew) counts.bytes_worked += queued_sizes_[next];
      commit(outcome);
      queue_[next].reset();
      ++next;
    }
    if (counted.empty()) continue;
    const auto now = std::chrono::steady_clock::now();
    if (now - asked >= std::chrono::milliseconds(100)) {
      asked = now;
      reading = 0;
      for (size_t k = next; k < count; ++k) {
        counted[k] = queue_[k] ? std::min(queue_[k]->bytes_read(), queued_sizes_[k]) : 0;
        reading += counted[k];
      }
    }
    progress_counts shown = counts;
    shown.bytes_done += reading;
    shown.bytes_worked += reading;
    progress.draw(shown);
  }
  pool.join();
}

void maker_run::commit(publish_outcome& outcome) {
  for (const auto& line : outcome.lines) print_(line);
  if (outcome.out_of_memory) out_of_memory_ = true;
  if (!outcome.has_entry) return;
  // The change flag follows what was published, not what was tried: a file
  // that keeps failing does not raise the version on every run.
  if (outcome.anew) changed_ = true;
  auto version = outcome.entry.find("u");
  if (version != outcome.entry.end() && version->is_number_unsigned()) {
    lower_minimum(version->get<uint32_t>());
  }
  new_cache_.store_stamp(outcome.cache_key, outcome.stamp, &outcome.entry);
  mutex_lock hold(files_lock_);
  files_.push_back(std::move(outcome.entry));
}

void maker_run::lower_minimum(uint32_t version) {
  if (version < minimum_referenced_) minimum_referenced_ = version;
}

void maker_run::detect_change() {
  if (changed_) return;
  say("No change in files detected. Comparing cache...\n");
  // New cache first, then the old one.
  bool equal = new_cache_.equals(old_cache_);
  changed_ = !equal;
  say(equal ? "No update detected.\n" : "Update detected!\n");
}

bool maker_run::save_new_version() {
  if (!changed_ && !config_changed_) return true;
  say("Saving config file.\n");
  if (changed_) {
    config_["maker"]["gameupdate"] = settings_.next_version;
    settings_.current_version = settings_.next_version;
  }
  if (write_file_atomic(paths_.config, json_pretty_line(config_))) return true;
  say("!!! Error writing file: %S\n", paths_.config);
  return false;
}

bool maker_run::write_update() {
  say("Saving update index.\n");
  std::wstring directory = join_path(paths_.output, std::to_wstring(settings_.current_version));
  std::wstring index_path = join_path(directory, L"index.json");
  create_directories(directory);

  json index = json::object();
  auto client = config_.is_object() ? config_.find("client") : config_.end();
  index["config"] = client != config_.end() ? *client : json();
  {
    mutex_lock hold(files_lock_);
    index["files"] = files_;
  }
  const std::string index_bytes = json_compact_line(index);
  // A launcher reads no larger index: publishing one would cut off every
  // player.
  if (index_bytes.size() > max_index_bytes) {
    say("!!! The update index would be %u bytes, more than the %u a launcher reads: publish "
        "fewer files\n",
        static_cast<uint64_t>(index_bytes.size()), max_index_bytes);
    return false;
  }
  bool index_rewritten = false;
  if (!write_output_document(index_path, index_bytes, &index_rewritten) ||
      !write_signature(index_path, index_signed_message(settings_.current_version, index_bytes))) {
    return false;
  }

  // Packed into the directory of temporaries and moved into place, so a
  // failure never leaves a partial packed index behind. One that unpacks
  // to the index is left as it is; any other would no longer match it, and
  // the launcher falls back to the plain index when the packed one is
  // missing.
  std::wstring packed_path = index_path + L".lzma2";
  std::wstring temporary = context_->temporary();
  std::string unpacked;
  const bool packed_current = !index_rewritten &&
                              unpack_file(packed_path, temporary, max_index_bytes) == packed_ok &&
                              read_whole_file(temporary, unpacked) && unpacked == index_bytes;
  delete_file(temporary);
  if (!packed_current) {
    int32_t code = worker_.packer.pack(index_path, temporary);
    if (code != 0 || !move_file_replace(temporary, packed_path)) {
      say(packing_failed_line, index_path, code);
      delete_file(temporary);
      delete_file(packed_path);
    }
  }

  // Last, so that the version file never names an index not yet there.
  const std::wstring version_path = join_path(paths_.output, L"version.json");
  const std::string version_bytes =
      json_compact_line(make_version_document(settings_.current_version));
  if (!write_signature(version_path, version_bytes) ||
      !write_output_document(version_path, version_bytes)) {
    return false;
  }
  say("Finished!\n\n");
  say("Minimum referenced version: %u\n", minimum_referenced_);
  say("Current game update version: %u\n", settings_.current_version);
  return true;
}

bool maker_run::save_cache() {
  if (new_cache_.save(paths_.cache)) return true;
  say("!!! Error writing file: %S\n", paths_.cache);
  return false;
}

bool maker_run::write_output_document(const std::wstring& path, const std::string& bytes,
                                      bool* rewritten) {
  // A document that holds these bytes already is left alone: a run that
  // changed nothing changes nothing that is uploaded.
  std::string held;
  if (read_whole_file(path, held) && held == bytes) return true;
  if (rewritten) *rewritten = true;
  // Through the directory of temporaries: nothing half written is ever
  // left beside the documents to be uploaded.
  if (write_file_atomic_via(path, bytes, context_->temporary())) return true;
  say("!!! Error writing file: %S\n", path);
  return false;
}

bool maker_run::write_signature(const std::wstring& document_path, const std::string& message) {
  const std::wstring path = document_path + L".sig";
  // An unsigned run (one the publisher asked for) leaves any signature as
  // it is: it no longer matches, which keyed launchers see; a signature is
  // never lost to a run without the key.
  if (!settings_.sha256) return true;
  const std::string signature = sign_detached(message, secret_key_);
  if (!signature.empty() && write_output_document(path, signature)) return true;
  if (signature.empty()) say("!!! Error signing file: %S\n", document_path);
  return false;
}

json maker_run::files() const {
  mutex_lock hold(files_lock_);
  return files_;
}

}  // namespace tsl
