#include "maker/maker_layout.h"

#include <algorithm>
#include <stdexcept>

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
    "packer": {"minsize": 16384, "optimize": true, "optimize_threshold": 85, "threads": 0}
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
  paths.signing_key = join_path(base_directory, L"signing.key");
  paths.signing_public = join_path(base_directory, L"signing.pub");
  return paths;
}

json default_config_document(const std::string& guid) {
  json config = json::parse(default_config_text);
  config["client"]["guid"] = guid;
  return config;
}

namespace {
// A whole number of config.json: the JSON library's own type error for
// another type, and a clear one for a number that would wrap.
uint32_t read_setting(const json& value, const char* name) {
  uint32_t out = 0;
  if (value.is_number() && !read_whole_number(value, out)) {
    throw std::out_of_range(format_narrow("%s must be a whole number from 0 to 4294967295", name));
  }
  return value.get<uint32_t>();
}
}  // namespace

maker_settings read_maker_settings(json& config) {
  maker_settings settings;
  settings.optimize = config["maker"]["packer"]["optimize"].get<bool>();
  settings.minimum_size =
      read_setting(config["maker"]["packer"]["minsize"], "maker.packer.minsize");
  if (settings.optimize) {
    settings.optimize_threshold = config["maker"]["packer"]["optimize_threshold"].get<int32_t>();
  }
  // Optional, and read without inserting: configurations written before it
  // existed mean the machine's choice, and a saved config.json must not
  // gain a null member.
  const json& packer = config["maker"]["packer"];
  auto threads = packer.find("threads");
  if (threads != packer.end()) {
    if (!threads->is_number_integer() || threads->get<int64_t>() < 0 ||
        threads->get<int64_t>() > maximum_threads) {
      throw std::out_of_range(format_narrow(
          "maker.packer.threads must be a whole number from 0 (every hardware thread) to %u",
          maximum_threads));
    }
    settings.threads = threads->get<uint32_t>();
  }
  auto chunk_size = packer.find("chunk_size");
  if (chunk_size != packer.end()) {
    const bool number = chunk_size->is_number_integer() && chunk_size->get<int64_t>() >= 0 &&
                        chunk_size->get<int64_t>() <= UINT32_MAX;
    settings.chunk_average = number ? chunk_size->get<uint32_t>() : 1;
    if (settings.chunk_average != 0 && !valid_chunk_sizes(chunk_sizes_of(settings.chunk_average))) {
      throw std::out_of_range(
          "maker.packer.chunk_size must be 0 (files packed whole) or a power of two from 4096 to "
          "4194304");
    }
  }
  settings.current_version = read_setting(config["maker"]["gameupdate"], "maker.gameupdate");
  // The next number would wrap to 0 and point launchers at an older update.
  if (settings.current_version == UINT32_MAX) {
    throw std::out_of_range("maker.gameupdate 4294967295 cannot be raised any further");
  }
  settings.next_version = settings.current_version + 1;
  return settings;
}

uint32_t default_thread_count(uint32_t hardware_threads, uint64_t available_memory) {
  uint64_t threads = hardware_threads ? hardware_threads : 1;
  if (available_memory) {
    threads =
        std::min<uint64_t>(threads, std::max<uint64_t>(available_memory / memory_per_thread, 1));
  }
  return static_cast<uint32_t>(threads);
}

bool chunked_file(uint64_t size, const maker_settings& settings) {
  return settings.chunk_average != 0 &&
         size >= uint64_t{chunked_file_chunks} * settings.chunk_average;
}

namespace {
// UTF-16 units of one wide character: on POSIX a character beyond the BMP
// takes two; Windows' wide characters are the units themselves.
template <typename Char>
size_t utf16_units(Char c) {
  if constexpr (sizeof(Char) > 2) {
    return static_cast<uint32_t>(c) > 0xFFFF ? 2 : 1;
  } else {
    return 1;
  }
}
}  // namespace

bool name_fits(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  const size_t start = slash == std::wstring::npos ? 0 : slash + 1;
  size_t units = 0;
  for (size_t i = start; i < path.size(); ++i) units += utf16_units(path[i]);
  return units <= 255;
}

bool retain_packed(const std::wstring& relative_path, uint64_t input_size, uint64_t packed_size,
                   const maker_settings& settings) {
  if (!settings.optimize) return true;
  for (const wchar_t* suffix : always_packed) {
    if (ends_with_ignore_case(relative_path, suffix)) return true;
  }
  if (packed_size >= input_size) return false;
  // Whole percent, truncated. In integers, so that exactly 85 % is 85 and
  // not 84.999... as a double product can come out.
  // A product past 64 bits needs a file of 180 PB; the quotient first then.
  const uint64_t ratio = packed_size <= UINT64_MAX / 100 ? packed_size * 100 / input_size
                                                         : packed_size / (input_size / 100 + 1);
  if (settings.optimize_threshold <= 0) return false;
  return ratio < static_cast<uint64_t>(settings.optimize_threshold);
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

}  // namespace tsl
