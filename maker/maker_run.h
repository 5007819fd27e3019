// The pieces of one patch maker run, each taking its paths and settings as
// arguments so that tests can drive them in a directory of their own.
// Threading: a run executes on one thread; the stop flag it is given may be
// set from another. The queue, the files array, the packing step and each
// cache hold a lock of their own, each for one operation.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "codec/packed_file.h"
#include "codec/sha1.h"
#include "update/documents.h"
#include "update/file_cache.h"
#include "util/byte_buffer.h"

namespace tsl {

// The four working paths, all directly in one base directory.
struct maker_paths {
  std::wstring input;
  std::wstring output;
  std::wstring config;
  std::wstring cache;

  static maker_paths beside(const std::wstring& base_directory);
};

struct maker_settings {
  bool optimize = true;
  uint32_t minimum_size = 16384;
  int32_t optimize_threshold = 85;
  uint32_t current_version = 0;
  uint32_t next_version = 0;
};

// The built-in configuration with the given client.guid.
json default_config_document(const std::string& guid);

// Reads the settings in their fixed order through the inserting member
// access, so a missing or mistyped member raises the JSON library's
// type_error (its what() is what the operator sees).
maker_settings read_maker_settings(json& config);

// The packing decision once a file was packed: keep the packed form?
bool retain_packed(const std::wstring& relative_path, uint32_t input_size, uint32_t packed_size,
                   const maker_settings& settings);

// Names derived from one input file.
struct publish_names {
  std::wstring relative;     // letters as in the input name, '\' separators
  std::wstring key_path;     // relative, lower-cased (A-Z only)
  std::wstring output_path;  // output\N\key_path
  std::wstring packed_path;  // output_path + ".lzma2"
  std::string remote;        // "N/key/path" with blanks as %20, UTF-8, no ".lzma2"
  std::string cache_key;     // key_path in UTF-8
};
publish_names derive_names(const maker_paths& paths, const std::wstring& input_path,
                           uint32_t next_version);

// The published copy that an index entry's "r" names, below `output`; empty
// when "r" is not a safe relative path.
std::wstring published_copy_path(const std::wstring& output, const std::string& remote);

class maker_run {
 public:
  using line_sink = std::function<void(const std::string&)>;

  // `print` receives every console line (already formatted, with its "\n").
  maker_run(maker_paths paths, std::atomic<bool>& stop, line_sink print);

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
  void publish_file(const std::wstring& input_path, Sha1Context& context, byte_buffer& buffer);
  void detect_change();
  bool save_new_version();  // step taken only when something changed
  bool write_update();
  bool save_cache();

  const maker_settings& settings() const { return settings_; }
  maker_settings& settings() { return settings_; }
  json& config() { return config_; }
  bool changed() const { return changed_; }
  uint32_t minimum_referenced_version() const { return minimum_referenced_; }
  json files() const;
  const file_cache& new_cache() const { return new_cache_; }

 private:
  template <typename... Args>
  void say(const char* format, const Args&... args);
  // A reusable entry of the old cache for this file, after proving its
  // published copy intact; false (with the mismatch line when the copy is
  // gone or altered) when the file must be published anew.
  bool reuse_from_cache(const publish_names& names, const std::wstring& input_path,
                        Sha1Context& context, byte_buffer& buffer, json& entry);
  bool publish_anew(const publish_names& names, const std::wstring& input_path,
                    Sha1Context& context, byte_buffer& buffer, json& entry);
  void lower_minimum(uint32_t version);
  void add_entry(const publish_names& names, const std::wstring& input_path, json entry);
  bool write_document(const std::wstring& path, const std::string& bytes);

  maker_paths paths_;
  std::atomic<bool>& stop_;
  line_sink print_;

  json config_;
  maker_settings settings_;
  file_cache old_cache_;
  file_cache new_cache_;

  std::mutex queue_lock_;
  std::deque<std::wstring> queue_;  // REQUIRES: queue_lock_ held
  mutable std::mutex files_lock_;
  json files_ = json::array();  // REQUIRES: files_lock_ held
  std::mutex pack_lock_;        // one pack at a time
  file_packer packer_;          // REQUIRES: pack_lock_ held

  bool changed_ = false;
  uint32_t minimum_referenced_ = UINT32_MAX;
};

// Prints one console line on standard output and flushes it, so a run that
// a signal ends has every line out.
void print_console_line(const std::string& line);

}  // namespace tsl
