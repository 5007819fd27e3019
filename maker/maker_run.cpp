#include "maker/maker_run.h"

#include <cstdio>
#include <stdexcept>
#include <utility>
#include <vector>

#include "codec/packed_file.h"
#include "maker/patch_maker.h"
#include "util/file_system.h"
#include "util/text.h"

namespace tsl {

namespace {

const char default_config_text[] = R"({
  "client": {
    "check": {
      "acceptable_checksums": [],
      "cache": true,
      "hard_check": ["client\\*.exe", "client\\*.dll"],
      "soft_check": ["config\\*.*"]
    },
    "guid": "",
    "hosts": ["http://update.example.com/launcher/"],
    "version": 3
  },
  "maker": {
    "gameupdate": 0,
    "packer": {"minsize": 16384, "optimize": true, "optimize_threshold": 85}
  }
})";

// Executables stay packed whatever packing saves: the launcher verifies and
// replaces them like any file, and they are what players fetch most.
const wchar_t* const always_packed[] = {L".exe", L".dll", L".sys", L".com"};

}  // namespace

maker_paths maker_paths::beside(const std::wstring& base_directory) {
  maker_paths paths;
  paths.input = join_path(base_directory, L"input");
  paths.output = join_path(base_directory, L"output");
  paths.config = join_path(base_directory, L"config.json");
  paths.cache = join_path(base_directory, L"cache.json");
  return paths;
}

json default_config_document(const std::string& guid) {
  json config = json::parse(default_config_text);
  config["client"]["guid"] = guid;
  return config;
}

maker_settings read_maker_settings(json& config) {
  maker_settings settings;
  settings.optimize = config["maker"]["packer"]["optimize"].get<bool>();
  settings.minimum_size = config["maker"]["packer"]["minsize"].get<uint32_t>();
  if (settings.optimize) {
    settings.optimize_threshold = config["maker"]["packer"]["optimize_threshold"].get<int32_t>();
  }
  settings.current_version = config["maker"]["gameupdate"].get<uint32_t>();
  // The next number would wrap to 0 and point launchers at an older update.
  if (settings.current_version == UINT32_MAX) {
    throw std::out_of_range("maker.gameupdate 4294967295 cannot be raised any further");
  }
  settings.next_version = settings.current_version + 1;
  return settings;
}

bool retain_packed(const std::wstring& relative_path, uint32_t input_size, uint32_t packed_size,
                   const maker_settings& settings) {
  if (!settings.optimize) return true;
  for (const wchar_t* suffix : always_packed) {
    if (ends_with_ignore_case(relative_path, suffix)) return true;
  }
  if (packed_size >= input_size) return false;
  // Whole percent, truncated. In integers, so that exactly 85 % is 85 and
  // not 84.999... as a double product can come out.
  int64_t ratio = static_cast<int64_t>(uint64_t{packed_size} * 100 / input_size);
  return ratio < settings.optimize_threshold;
}

publish_names derive_names(const maker_paths& paths, const std::wstring& input_path,
                           uint32_t next_version) {
  publish_names names;
  size_t skip = paths.input.size() + 1;
  names.relative = input_path.size() > skip ? input_path.substr(skip) : std::wstring();
  names.key_path = to_lower_ascii(names.relative);
  std::wstring version_text = std::to_wstring(next_version);
  names.output_path = join_path(join_path(paths.output, version_text), names.key_path);
  names.packed_path = names.output_path + L".lzma2";
  names.remote = wide_to_utf8(escape_remote_path(join_path(version_text, names.key_path)));
  names.cache_key = wide_to_utf8(names.key_path);
  return names;
}

std::wstring published_copy_path(const std::wstring& output, const std::string& remote) {
  std::wstring relative = unescape_remote_path(utf8_to_wide(remote));
  if (!is_safe_relative_path(relative)) return std::wstring();
  return join_path(output, relative);
}

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
  if (load_configuration() != config_state::ready) return false;
  queue_input_files();
  process_input_files();
  detect_change();
  bool ok = save_new_version();
  // Without its number on disk the next run would reuse this one, so no
  // index goes out under a number that the configuration does not hold.
  if (ok && !stop_) ok = write_update();
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
    return config_state::ready;
  } catch (const std::exception& e) {
    say("Exception: %s\n", e.what());
    return config_state::failed;
  }
}

void maker_run::queue_input_files() {
  std::vector<std::wstring> listed = list_files(paths_.input, true, L"*.*");
  say("Orvane Game Launcher\n");
  say("Checking files...\n");
  std::lock_guard<std::mutex> hold(queue_lock_);
  for (auto& path : listed) queue_.push_back(std::move(path));
}

void maker_run::process_input_files() {
  // One context and one buffer for the whole run.
  Sha1Context context;
  byte_buffer buffer;
  while (!stop_) {
    std::wstring path;
    {
      std::lock_guard<std::mutex> hold(queue_lock_);
      if (queue_.empty()) break;
      path = std::move(queue_.front());
      queue_.pop_front();
    }
    publish_file(path, context, buffer);
  }
}

void maker_run::publish_file(const std::wstring& input_path, Sha1Context& context,
                             byte_buffer& buffer) {
  publish_names names = derive_names(paths_, input_path, settings_.next_version);
  json entry;
  if (!reuse_from_cache(names, input_path, context, buffer, entry) &&
      !publish_anew(names, input_path, context, buffer, entry)) {
    return;
  }
  add_entry(names, input_path, std::move(entry));
}

bool maker_run::reuse_from_cache(const publish_names& names, const std::wstring& input_path,
                                 Sha1Context& context, byte_buffer& buffer, json& entry) {
  json data;
  if (!old_cache_.lookup(names.cache_key, input_path, &data)) return false;
  // Anything but an entry this maker wrote is a miss.
  if (!data.is_object()) return false;
  auto remote = data.find("r");
  auto version = data.find("u");
  if (remote == data.end() || !remote->is_string() || version == data.end() ||
      !version->is_number_unsigned()) {
    return false;
  }
  const std::string& r = remote->get_ref<const std::string&>();
  std::wstring copy = published_copy_path(paths_.output, r);
  auto expected = data.find(data.contains("r_pack") ? "r_sha1" : "l_sha1");
  auto size = data.find("r_size");
  // An empty file's digest is the empty text, so the digest alone cannot
  // tell a missing copy from an intact one: it must exist, at its size.
  bool intact = !copy.empty() && expected != data.end() && expected->is_string() &&
                file_exists(copy) &&
                (size == data.end() || !size->is_number_unsigned() ||
                 size->get<uint64_t>() == get_file_size(copy)) &&
                file_digest(copy, context, buffer) == expected->get_ref<const std::string&>();
  if (!intact) {
    say("Checksum mismatch for output file: %S\n",
        copy.empty() ? join_path(paths_.output, utf8_to_wide(r)) : copy);
    return false;
  }
  say("Using cached: %s\n", r);
  lower_minimum(version->get<uint32_t>());
  entry = std::move(data);
  return true;
}

bool maker_run::publish_anew(const publish_names& names, const std::wstring& input_path,
                             Sha1Context& context, byte_buffer& buffer, json& entry) {
  changed_ = true;
  lower_minimum(settings_.next_version);
  say("Processing: %S\n", names.relative);

  delete_file(names.output_path);
  delete_file(names.packed_path);
  uint64_t size64 = 0;
  {
    file_handle input = file_handle::open_read(input_path);
    if (!input.is_open() || !input.size(size64)) size64 = 0;
  }
  // The index holds 32-bit sizes; a larger file would be published with a
  // wrong one and fail every launcher's check.
  if (size64 > UINT32_MAX) {
    say("!!! File too large: %S\n", input_path);
    return false;
  }
  uint32_t size = static_cast<uint32_t>(size64);
  std::string local_sha1 = file_digest(input_path, context, buffer);
  create_directories(directory_of(names.output_path));

  bool packed = false;
  uint32_t published_size = size;
  if (size >= settings_.minimum_size) {
    int32_t code;
    {
      std::lock_guard<std::mutex> hold(pack_lock_);
      code = packer_.pack(input_path, names.packed_path);
    }
    if (code != 0) {
      say("!!! Error packing file: %S (Code: %d)\n", input_path, code);
      return false;
    }
    uint32_t packed_size = get_file_size(names.packed_path);
    if (retain_packed(names.relative, size, packed_size, settings_)) {
      packed = true;
      published_size = packed_size;
    } else {
      delete_file(names.packed_path);
    }
  }
  if (!packed && !copy_file_replace(input_path, names.output_path)) {
    say("!!! Error copy: %S\n", input_path);
    delete_file(names.output_path);
    return false;
  }

  entry = json::object();
  entry["u"] = settings_.next_version;
  entry["l"] = wide_to_utf8(names.relative);
  entry["l_sha1"] = local_sha1;
  entry["l_size"] = size;
  entry["r_size"] = published_size;
  std::string remote = names.remote;
  if (packed) {
    entry["r_pack"] = "lzma2";
    entry["r_sha1"] = file_digest(names.packed_path, context, buffer);
    remote += ".lzma2";
  }
  entry["r"] = remote;
  return true;
}

void maker_run::lower_minimum(uint32_t version) {
  if (version < minimum_referenced_) minimum_referenced_ = version;
}

void maker_run::add_entry(const publish_names& names, const std::wstring& input_path, json entry) {
  new_cache_.store(names.cache_key, input_path, &entry);
  std::lock_guard<std::mutex> hold(files_lock_);
  files_.push_back(std::move(entry));
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
  if (!changed_) return true;
  say("Saving config file.\n");
  config_["maker"]["gameupdate"] = settings_.next_version;
  settings_.current_version = settings_.next_version;
  return write_document(paths_.config, json_pretty_line(config_));
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
    std::lock_guard<std::mutex> hold(files_lock_);
    index["files"] = files_;
  }
  if (!write_document(index_path, json_compact_line(index))) return false;

  // Packed beside the plain index under a temporary name and moved into
  // place, so a failure never leaves a partial packed index behind. A stale
  // one from an earlier run would no longer match the plain index; the
  // launcher falls back to the plain one when the packed one is missing.
  std::wstring packed_path = index_path + L".lzma2";
  std::wstring temporary = packed_path + L".tmp";
  int32_t code;
  {
    std::lock_guard<std::mutex> hold(pack_lock_);
    code = packer_.pack(index_path, temporary);
  }
  if (code != 0 || !move_file_replace(temporary, packed_path)) {
    say("!!! Error packing file: %S (Code: %d)\n", index_path, code);
    delete_file(temporary);
    delete_file(packed_path);
  }

  // Last, so that the version file never names an index not yet there.
  if (!write_document(join_path(paths_.output, L"version.json"),
                      json_compact_line(make_version_document(settings_.current_version)))) {
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

bool maker_run::write_document(const std::wstring& path, const std::string& bytes) {
  if (write_file_atomic(path, bytes)) return true;
  say("!!! Error writing file: %S\n", path);
  return false;
}

json maker_run::files() const {
  std::lock_guard<std::mutex> hold(files_lock_);
  return files_;
}

}  // namespace tsl
