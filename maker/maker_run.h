// The pieces of one patch maker run, each taking its paths and settings as
// arguments so that tests can drive them in a directory of their own.
// Threading: a run executes on one thread, which hands the per-file step to
// worker threads (maker_pool.h) and applies their results in queue order;
// the stop flag it is given may be set from another. The files array and
// each cache hold a lock of their own, each for one operation.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "maker/maker_layout.h"
#include "maker/maker_publish.h"
#include "format/documents.h"
#include "format/file_cache.h"
#include "util/sync.h"

namespace tsl {

class maker_run {
 public:
  using line_sink = std::function<void(const std::string&)>;

  // `print` receives every console line (already formatted, with its "\n").
  maker_run(maker_paths paths, std::atomic<bool>& stop, line_sink print);

  // Where the progress line goes (standard error on a terminal); without one
  // there is none.
  void set_progress_writer(std::function<void(const std::string&)> writer) {
    progress_writer_ = std::move(writer);
  }

  // A run without signing.key over a signed publication publishes unsigned
  // only when the publisher asked for it (-unsigned); it refuses otherwise.
  void set_unsigned_allowed(bool allowed) { unsigned_allowed_ = allowed; }

  enum class config_state { created, failed, ready };

  // The whole run after the control handlers are in place: false when it
  // only created the configuration, cannot read it, or could not write a
  // document of the update; true otherwise (a stopped run included).
  bool run();

  // The steps of run(), in order.
  void load_old_cache();
  void create_working_directories();
  config_state load_configuration();
  void queue_input_files();
  void process_input_files();
  void detect_change();
  bool save_new_version();  // step taken only when something changed
  bool write_update() EXCLUDES(files_lock_);
  bool save_cache();

  const maker_settings& settings() const { return settings_; }
  maker_settings& settings() { return settings_; }
  json& config() { return config_; }
  bool changed() const { return changed_; }
  uint32_t minimum_referenced_version() const { return minimum_referenced_; }
  json files() const EXCLUDES(files_lock_);
  const file_cache& new_cache() const { return new_cache_; }

 private:
  // What tests set (maker_run_seams.h).
  friend struct maker_run_seams;

  template <typename... Args>
  void say(const char* format, const Args&... args);
  void check_published_version();
  // False when a key file is there but cannot be used, or is missing where
  // the publication is signed and unsigned was not asked for.
  bool load_signing_key();
  // Whether config.json records the publication as signed, or output holds
  // a signed version file.
  bool publication_signed() const;
  // Records in config.json (maker.signed) whether the publication is signed.
  void record_signed(bool signed_run);
  // `document_path` + ".sig" for the bytes just written there; removes a
  // stale one when the run does not sign.
  // `message`: what the signature covers (the document's bytes, for an index
  // with its number before them).
  bool write_signature(const std::wstring& document_path, const std::string& message);
  void commit(publish_outcome& outcome) EXCLUDES(files_lock_);
  void lower_minimum(uint32_t version);
  uint32_t thread_count() const;
  // Writes a document unless it holds `bytes` already; `rewritten` tells
  // which.
  bool write_output_document(const std::wstring& path, const std::string& bytes,
                             bool* rewritten = nullptr);

  maker_paths paths_;
  std::atomic<bool>& stop_;
  line_sink print_;

  json config_;
  maker_settings settings_;
  file_cache old_cache_;
  file_cache new_cache_;
  std::unique_ptr<publish_context> context_;
  publish_worker worker_;  // coder and buffers, kept from file to file
  std::function<void(const std::wstring&)> read_observer_;
  std::function<void(const std::string&)> progress_writer_;
  uint64_t block_size_ = packed_block_size;
  std::string secret_key_;  // empty unless the run signs

  // In listing order; the worker threads work on the entries, the run's
  // thread takes them back in this order and resets them.
  std::vector<std::unique_ptr<file_publication>> queue_;
  std::vector<uint64_t> queued_sizes_;  // as listed, for the progress line
  mutable mutex files_lock_;
  json files_ GUARDED_BY(files_lock_) = json::array();

  bool changed_ = false;
  bool config_changed_ = false;  // config.json must be saved though no file changed
  bool unsigned_allowed_ = false;
  bool out_of_memory_ = false;  // a file could not get the memory to be published
  uint32_t minimum_referenced_ = UINT32_MAX;
};

// Prints one console line on standard output and flushes it, so a run that
// a signal ends has every line out.
void print_console_line(const std::string& line);

}  // namespace tsl
