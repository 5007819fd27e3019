#include "update/game_launcher.h"

#include <curl/curl.h>

#include "codec/packed_file.h"
#include "launcher/messages.h"
#include "launcher/product.h"
#include "net/downloader.h"
#include "ui/splash_window.h"
#include "util/file_system.h"
#include "util/process.h"
#include "util/text.h"

namespace tsl {

namespace {

constexpr uint32_t hidden_normal_attributes = 0x82;
// A chain of version-1 configurations that keeps naming other hosts (A names
// B, B names A) would fetch forever; after this many moves the session gives up.
constexpr int max_host_moves = 8;

std::string with_trailing_slash(std::string host) {
  if (host.empty() || host.back() != '/') host += '/';
  return host;
}

}  // namespace

game_launcher::game_launcher() : game_launcher(tsl::image_path()) {}

game_launcher::game_launcher(const std::wstring& path) : image_path(path) {
  launcher_dir = directory_of(image_path);
  temp_root = join_path(launcher_dir, L".temp");
  old_image_path = join_path(launcher_dir, L"old-" + file_name_of(image_path));
  new_image_path = join_path(launcher_dir, L"new-" + file_name_of(image_path));
}

bool game_launcher::prepare() {
  guid = product_guid;
  hosts.push_back(TSL_PRIMARY_URL);
  hosts.push_back(TSL_FALLBACK_URL);
  session_dir = join_path(temp_root, guid);
  downloading_dir = join_path(session_dir, L"downloading");
  version_path = join_path(session_dir, L"version.json");
  index_path = join_path(session_dir, L"index.json");
  packed_index_path = join_path(session_dir, L"index.json.lzma2");
  cache_path = join_path(session_dir, L"cache.json");
  config_path = join_path(session_dir, L"config.json");
  create_directories(session_dir);
  set_file_attributes(temp_root, hidden_normal_attributes);
  if (file_exists(config_path)) {
    json version;
    std::string error;
    std::wstring werror;
    uint32_t n = 0;
    if (parse_json_file(version_path, version, error) && read_gameupdate(version, n, werror)) {
      local_gameupdate = n;
    }
  }
  return !hosts.empty();
}

bool game_launcher::select_host(json& index, uint32_t& gameupdate, uint32_t& position,
                                CSplashWnd& splash) {
  downloader fetcher;
  fetcher.handle().add(CURLOPT_CONNECTTIMEOUT, 10L);
  document_error.clear();
  for (uint32_t attempt = 0;;) {
    if (splash.is_closed() || hosts.empty()) return false;
    if (attempt == 0) {
      splash.set_status_text(pick_text(texts::connecting));
    } else {
      if (retry_delay) sleep_milliseconds(retry_delay);
      splash.set_status_text(format_wide(pick_text(texts::connection_attempt), attempt + 1));
    }
    position = attempt % static_cast<uint32_t>(hosts.size());
    const std::string base = hosts[position];
    if (attempt == max_attempts) return false;
    ++attempt;

    if (!fetcher.download(base + "version.json", version_path)) continue;
    json version;
    std::string parse_error;
    uint32_t n = 0;
    if (!parse_json_file(version_path, version, parse_error)) {
      document_error = L"Version file is not valid JSON";
      continue;
    }
    if (!read_gameupdate(version, n, document_error)) continue;
    if (n != local_gameupdate) {
      // The stamps on disk were made for another update; should this session
      // not finish, the next one must not trust them with the new number.
      delete_file(cache_path);
    }

    // Whatever an earlier session or attempt left must not pass for this index.
    delete_file(index_path);
    std::string index_url = base + format_narrow("%u/index.json", n);
    if (fetcher.download(index_url + ".lzma2", packed_index_path)) {
      if (unpack_file(packed_index_path, index_path) != packed_ok) delete_file(index_path);
      delete_file(packed_index_path);
    }
    if (!file_exists(index_path) && !fetcher.download(index_url, index_path)) continue;
    if (!file_exists(index_path)) continue;
    json parsed;
    if (!parse_json_file(index_path, parsed, parse_error)) {
      document_error = L"Update index is not valid JSON";
      continue;
    }
    document_error.clear();
    index = std::move(parsed);
    gameupdate = n;
    return true;
  }
}

game_launcher::acceptance game_launcher::accept_index(json& index, uint32_t& gameupdate,
                                                      uint32_t& position, int32_t& version,
                                                      CSplashWnd& splash) {
  for (int moves = 0;; ++moves) {
    if (moves > max_host_moves || !select_host(index, gameupdate, position, splash)) {
      error_text = L"Could not download update index.";
      if (!document_error.empty()) error_text += L" " + document_error;
      return acceptance::failed;
    }
    if (!validate_remote_config(index, guid, version, error_text)) return acceptance::failed;
    const json& config = index["config"];
    std::vector<std::string> named;
    if (!read_config_hosts(config, version, named, error_text)) return acceptance::failed;
    if (version == 1) {
      // Compared with its "/" added, as every entry of hosts has one.
      std::string host = with_trailing_slash(named.front());
      bool known = false;
      for (const auto& h : hosts) known = known || equals_ignore_case(h, host);
      if (!known) {
        hosts.assign(1, host);
        if (splash.is_closed()) {
          error_text = L"Cancelled by user";
          return acceptance::cancelled;
        }
        continue;
      }
    } else {
      hosts.clear();
      for (const auto& h : named) hosts.push_back(with_trailing_slash(h));
    }
    if (splash.is_closed()) {
      error_text = L"Cancelled by user";
      return acceptance::cancelled;
    }
    return acceptance::accepted;
  }
}

bool game_launcher::run(CSplashWnd& splash, bool& restart) {
  cache.load(cache_path);
  if (!directory_exists(session_dir)) {
    error_text = L"Can not create temp directory.";
    return !strict;
  }
  if (splash.is_closed()) {
    error_text = L"Cancelled by user";
    return false;
  }
  json index;
  uint32_t gameupdate = 0, position = 0;
  int32_t version = 0;
  try {
    switch (accept_index(index, gameupdate, position, version, splash)) {
      case acceptance::accepted:
        break;
      case acceptance::failed:
        return !strict;
      case acceptance::cancelled:
        return false;
    }
  } catch (const std::exception& e) {
    // The downloader could not be made (libcurl failed to start).
    error_text = L"Could not download update index. " + utf8_to_wide(e.what());
    return !strict;
  }
  run_outcome outcome;
  if (!check_and_update(index, version, gameupdate, position, splash, outcome)) return !strict;
  return finish_run(outcome, splash, restart);
}

bool game_launcher::finish_run(const run_outcome& outcome, CSplashWnd& splash, bool& restart) {
  if (splash.is_closed()) {
    error_text = L"Cancelled by user";
    return true;
  }
  if (outcome.launcher_updated) {
    if (file_exists(new_image_path) && move_file_replace(image_path, old_image_path)) {
      if (move_file_replace(new_image_path, image_path)) {
        restart = true;
      } else {
        // Never leave the launcher missing from its own path.
        move_file_replace(old_image_path, image_path);
      }
    }
  } else if (file_exists(old_image_path)) {
    delete_file(old_image_path);
  }
  if (outcome.failed_download_count != 0) {
    splash.set_status_text(
        format_wide(pick_text(texts::download_failed), outcome.failed_download_count));
    error_text = format_wide(L"Failed to download %u files", outcome.failed_download_count);
    for (const auto& line : failed_downloads) error_text += format_wide(L"\nFile: %s", line);
    return !strict;
  }
  if (outcome.failed_unpack_count != 0) {
    splash.set_status_text(
        format_wide(pick_text(texts::unpack_failed), outcome.failed_unpack_count));
    error_text = format_wide(L"Failed to unpack %u files", outcome.failed_unpack_count);
    for (const auto& line : failed_unpacks) error_text += format_wide(L"\nFile: %s", line);
    return !strict;
  }
  splash.set_status_text(pick_text(texts::files_updated));
  cache.save(cache_path);
  remove_directory_tree(downloading_dir, true);
  return true;
}

}  // namespace tsl
