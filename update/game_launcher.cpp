#include "update/game_launcher.h"

#include <system_error>
#include <unordered_set>

#include "codec/packed_file.h"
#include "codec/signature.h"
#include "net/downloader.h"
#include "net/system_proxy.h"
#include "ui/splash_window.h"
#include "update/file_check.h"
#include "update/staged_file.h"
#include "update/update_pipeline.h"
#include "update/update_texts.h"
#include "util/file_system.h"
#include "util/process.h"
#include "util/product.h"
#include "util/text.h"

namespace tsl {

namespace {

constexpr uint32_t hidden_normal_attributes = 0x82;
// The version file is one small object; the index is bounded by the
// documents' own limit.
constexpr uint64_t max_version_bytes = 1u << 20;
// A chain of version-1 configurations that keeps naming other hosts (A names
// B, B names A) would fetch forever; after this many moves the session gives up.
constexpr int max_host_moves = 8;

// An Ed25519 signature is 64 bytes; anything much larger is not one.
constexpr uint64_t max_signature_bytes = 4096;

// The build's key; a malformed one (the build refuses those) verifies
// nothing, so that no update is ever taken unverified.
std::string compiled_public_key() {
  const std::string text = TSL_UPDATE_PUBLIC_KEY;
  if (text.empty()) return std::string();
  std::string key;
  if (!parse_hex(text, signing_public_key_bytes, key)) return std::string(1, '\0');
  return key;
}

std::string with_trailing_slash(std::string host) {
  if (host.empty() || host.back() != '/') host += '/';
  return host;
}

}  // namespace

game_launcher::game_launcher() : game_launcher(tsl::image_path()) {}

game_launcher::game_launcher(const std::wstring& image_path) {
  session_paths& p = paths_;
  p.image_path = image_path;
  p.launcher_dir = directory_of(image_path);
  p.temp_root = join_path(p.launcher_dir, L".temp");
  p.old_image_path = join_path(p.launcher_dir, L"old-" + file_name_of(image_path));
  p.new_image_path = join_path(p.launcher_dir, L"new-" + file_name_of(image_path));
  public_key_ = compiled_public_key();
}

void game_launcher::prepare() {
  guid_ = product_guid;
  hosts_.push_back(TSL_PRIMARY_URL);
  hosts_.push_back(TSL_FALLBACK_URL);
  session_paths& p = paths_;
  p.session_dir = join_path(p.temp_root, guid_);
  p.downloading_dir = join_path(p.session_dir, L"downloading");
  p.version_path = join_path(p.session_dir, L"version.json");
  p.index_path = join_path(p.session_dir, L"index.json");
  p.packed_index_path = join_path(p.session_dir, L"index.json.lzma2");
  p.signature_path = join_path(p.session_dir, L"signature.part");
  p.cache_path = join_path(p.session_dir, L"cache.json");
  p.config_path = join_path(p.session_dir, L"config.json");
  create_directories(p.session_dir);
  open_log();
  set_file_attributes(p.temp_root, hidden_normal_attributes);
  if (file_exists(p.config_path)) {
    json version;
    std::wstring error;
    uint32_t n = 0;
    if (parse_json_file(p.version_path, version) && read_gameupdate(version, n, error)) {
      local_gameupdate_ = n;
    }
  }
}

void game_launcher::open_log() {
  paths_.log_path = join_path(join_path(paths_.temp_root, product_guid), L"launcher.log");
  log_.open(paths_.log_path);
}

bool game_launcher::select_host(update_index& index, uint32_t& gameupdate, uint32_t& position,
                                CSplashWnd& splash) {
  downloader fetcher;
  // The cap holds for the documents too; they come before any other
  // transfer, so the handle's own cap is the shared one.
  if (max_rate_) fetcher.handle().add(CURLOPT_MAX_RECV_SPEED_LARGE, max_rate_);
  // Closing the window ends a transfer at once, with or without a length.
  fetcher.set_abort_check([&splash] { return splash.is_closed(); });
  document_error_.clear();
  for (uint32_t attempt = 0;;) {
    if (splash.is_closed() || hosts_.empty()) return false;
    if (attempt == 0) {
      splash.set_status_text(pick_text(texts::connecting));
    } else {
      if (retry_delay_) sleep_milliseconds(retry_delay_);
      splash.set_status_text(format_wide(pick_text(texts::connection_attempt), attempt + 1));
    }
    position = attempt % static_cast<uint32_t>(hosts_.size());
    const std::string base = hosts_[position];
    if (attempt == max_attempts_) return false;
    ++attempt;
    // Whatever one host does to this launcher (a document that exhausts the
    // memory included) makes it a host without a usable index: the next
    // attempt asks the next host.
    try {
      if (fetch_from_host(fetcher, base, attempt, index, gameupdate)) return true;
    } catch (const std::exception& e) {
      document_error_ = L"Update index could not be read: " + utf8_to_wide(e.what());
      log_.writef("Host %s, attempt %u: %s", base, attempt, document_error_);
    }
  }
}

bool game_launcher::fetch_from_host(downloader& fetcher, const std::string& base, uint32_t attempt,
                                    update_index& index, uint32_t& gameupdate) {
  // Both documents arrive under temporary names and replace the session's
  // copies only once both are good: a host that fails or lies leaves the
  // copies of the last good contact, so an offline start loses nothing.
  auto failed = [&](const std::string& what, const std::string& why) {
    log_.writef("Host %s, attempt %u: %s%s", base, attempt, what, why);
    return false;
  };
  // Which way the player's system sends this host, once a run per host.
  if (attempt <= hosts_.size()) {
    log_.writef("Host %s: %s", base, proxy_for_log(proxy_for_url(base + "version.json")));
  }
  staged_file version_file(paths_.version_path);
  std::string bytes, why;
  fetch_status got =
      fetch_bytes(fetcher, base + "version.json", version_file, max_version_bytes, bytes, why);
  // A keyed launcher reads nothing a host sent before its signature holds.
  if (got == fetch_status::fetched && verifies_signatures() &&
      !signature_valid(fetcher, base + "version.json.sig", bytes)) {
    document_error_ = L"Version file has no valid signature";
    return failed("", wide_to_utf8(document_error_));
  }
  json version;
  if (got == fetch_status::fetched && !parse_json_text(bytes, version, &why)) {
    got = fetch_status::malformed;
  }
  if (got == fetch_status::malformed) document_error_ = L"Version file is " + utf8_to_wide(why);
  if (got != fetch_status::fetched) return failed("version file: ", why);
  uint32_t n = 0;
  if (!read_gameupdate(version, n, document_error_)) {
    return failed("", wide_to_utf8(document_error_));
  }
  // An old version file keeps its valid signature forever: replayed, it
  // would take the installation back to an update it has left.
  if (verifies_signatures() && n < local_gameupdate_) {
    document_error_ = format_wide(L"Version file names update %u, older than the installed %u", n,
                                  local_gameupdate_);
    return failed("", wide_to_utf8(document_error_));
  }

  staged_file index_file(paths_.index_path);
  const std::string index_url = base + format_narrow("%u/index.json", n);
  const std::string what = format_narrow("index of gameupdate %u: ", n);
  // The signed message starts with the index's number; the bytes follow it
  // in the same buffer, so that no copy of a large index is ever made.
  const std::string prefix = verifies_signatures() ? index_signed_prefix(n) : std::string();
  got = fetch_status::not_delivered;
  {
    staged_file packed(paths_.packed_index_path);
    if (fetcher.download(index_url + ".lzma2", packed.temporary(), max_index_bytes) &&
        unpack_file(packed.temporary(), index_file.temporary(), max_index_bytes) == packed_ok) {
      got = read_fetched_bytes(index_file.temporary(), max_index_bytes, prefix, bytes, why);
    }
  }
  // A packed index that did not arrive or did not unpack: the plain one.
  if (got == fetch_status::not_delivered) {
    got = fetch_bytes(fetcher, index_url, index_file, max_index_bytes, bytes, why, prefix);
  }
  if (got == fetch_status::malformed) document_error_ = L"Update index is " + utf8_to_wide(why);
  if (got != fetch_status::fetched) return failed(what, why);
  // The packed index is checked by the bytes it unpacked to.
  if (verifies_signatures() && !signature_valid(fetcher, index_url + ".sig", bytes)) {
    document_error_ = L"Update index has no valid signature";
    return failed(what, wide_to_utf8(document_error_));
  }
  update_index parsed;
  if (!parsed.parse(std::string_view(bytes).substr(prefix.size()), verifies_signatures(), &why)) {
    document_error_ = L"Update index is " + utf8_to_wide(why);
    return failed(what, why);
  }
  const size_t index_bytes = bytes.size() - prefix.size();
  std::string().swap(bytes);
  log_.writef("Host %s, attempt %u: gameupdate %u (installed %u), index %u bytes", base, attempt, n,
              local_gameupdate_, index_bytes);

  if (n != local_gameupdate_) {
    // The stamps on disk were made for another update; should this session
    // not finish, the next one must not trust them with the new number.
    await_cache();
    delete_file(paths_.cache_path);
  }
  index_file.commit();
  version_file.commit();
  document_error_.clear();
  index = std::move(parsed);
  gameupdate = n;
  return true;
}

bool game_launcher::signature_valid(downloader& fetcher, const std::string& url,
                                    const std::string& message) {
  std::string signature;
  const bool fetched = fetcher.download(url, paths_.signature_path, max_signature_bytes) &&
                       read_whole_file(paths_.signature_path, signature);
  delete_file(paths_.signature_path);
  return fetched && verify_detached(message, signature, public_key_);
}

game_launcher::acceptance game_launcher::accept_index(update_index& index, uint32_t& gameupdate,
                                                      uint32_t& position, int32_t& version,
                                                      CSplashWnd& splash) {
  for (int moves = 0;; ++moves) {
    if (moves > max_host_moves || !select_host(index, gameupdate, position, splash)) {
      error_text_ = L"Could not download update index.";
      if (!document_error_.empty()) error_text_ += L" " + document_error_;
      return acceptance::failed;
    }
    if (!validate_remote_config(index.head(), guid_, version, error_text_)) {
      return acceptance::failed;
    }
    const json& config = index.head().at("config");
    std::vector<std::string> named;
    if (!read_config_hosts(config, version, named, error_text_)) return acceptance::failed;
    if (version == 1) {
      // Compared with its "/" added, as every entry of hosts has one.
      std::string host = with_trailing_slash(named.front());
      bool known = false;
      for (const auto& h : hosts_) known = known || equals_ignore_case(h, host);
      if (!known) {
        hosts_.assign(1, host);
        if (splash.is_closed()) {
          error_text_ = texts::cancelled_by_user;
          return acceptance::cancelled;
        }
        continue;
      }
    } else {
      hosts_.clear();
      for (const auto& h : named) hosts_.push_back(with_trailing_slash(h));
    }
    if (splash.is_closed()) {
      error_text_ = texts::cancelled_by_user;
      return acceptance::cancelled;
    }
    return acceptance::accepted;
  }
}

bool game_launcher::run(CSplashWnd& splash, bool& restart) {
  log_.write(verify_ ? "Update run, verifying every file" : "Update run");
  if (max_rate_) {
    limiter_ = std::make_unique<rate_limiter>(max_rate_);
    log_.writef("Downloads capped at %u KiB/s", max_rate_ >> 10);
  }
  const bool ok = run_session(splash, restart);
  const std::wstring error = replace_all(error_text_, L"\n", L"; ");
  if (error.empty()) {
    log_.write(restart ? "End of run: up to date, the launcher restarts itself"
                       : "End of run: up to date");
  } else {
    const char* outcome = splash.is_closed() ? "window closed"
                          : ok               ? "the game may start"
                                             : "the game does not start";
    log_.writef("End of run, %s: %s", outcome, error);
  }
  return ok;
}

bool game_launcher::run_session(CSplashWnd& splash, bool& restart) {
  // Two launchers on one installation would move each other's downloads
  // into place. The lock ends with run, so the launcher that a self-update
  // starts finds it free.
  bool held_elsewhere = false;
  const file_handle lock =
      file_handle::lock_exclusive(join_path(paths_.session_dir, L"launcher.lock"), held_elsewhere);
  if (held_elsewhere) {
    another_launcher_running_ = true;
    error_text_ = L"Another launcher is updating this installation";
    return false;
  }
  // A cache that cannot be read (not even for lack of memory) is an empty
  // one: every file is then hashed. Nothing may escape the thread.
  auto load_cache = [this] {
    try {
      cache_.load(paths_.cache_path);
    } catch (...) {
    }
  };
  try {
    cache_loader_ = std::thread(load_cache);
  } catch (const std::system_error&) {
    load_cache();
  }
  struct awaited {
    game_launcher& session;
    ~awaited() { session.await_cache(); }
  } cache_loaded{*this};
  if (!directory_exists(paths_.session_dir)) {
    error_text_ = L"Can not create temp directory.";
    return true;
  }
  if (splash.is_closed()) {
    error_text_ = texts::cancelled_by_user;
    return false;
  }
  update_index index;
  uint32_t gameupdate = 0, position = 0;
  int32_t version = 0;
  try {
    switch (accept_index(index, gameupdate, position, version, splash)) {
      case acceptance::accepted:
        break;
      case acceptance::failed:
        return true;
      case acceptance::cancelled:
        return false;
    }
  } catch (const std::exception& e) {
    // The downloader could not be made (libcurl failed to start).
    error_text_ = L"Could not download update index. " + utf8_to_wide(e.what());
    return true;
  }
  check_rules rules;
  if (!read_check_rules(index.head().at("config"), version, rules, error_text_)) return true;
  await_cache();
  update_pipeline pipeline(pipeline_settings_for(position), cache_, splash);
  if (!check_files(index, version, rules, verify_ || gameupdate != local_gameupdate_, pipeline,
                   splash)) {
    error_text_ = L"Can not start the update threads.";
    return true;
  }
  pipeline.stop();
  return finish_run(pipeline, splash, restart);
}

bool game_launcher::check_files(const update_index& index, int32_t version,
                                const check_rules& rules, bool gameupdate_changed,
                                update_pipeline& pipeline, CSplashWnd& splash) {
  splash.set_status_text(pick_text(texts::checking_game_files));
  write_config_copy(paths_.config_path, index.head().at("config"));
  mask_list soft, hard;
  for (const auto& m : rules.soft_check) soft.add(utf8_to_wide(m));
  for (const auto& m : rules.hard_check) hard.add(utf8_to_wide(m));
  const acceptable_map acceptable =
      version >= 3 ? make_acceptable_map(rules.acceptable, paths_.launcher_dir) : acceptable_map();
  if (!pipeline.start()) return false;

  disk_files installed;
  const bool signed_index = !public_key_.empty();
  const check_inputs inputs{soft,      hard,        acceptable, cache_, gameupdate_changed,
                            installed, signed_index};
  const uint32_t total = static_cast<uint32_t>(index.size());
  splash.set_progress(0, total);
  uint32_t built = 0;
  uint32_t from_cache = 0, hashed = 0, queued = 0, rejected = 0;
  // A hostile index could fill the log with rejections; the count tells the rest.
  constexpr uint32_t rejections_logged = 20;
  auto reject = [&](const std::string& what, const std::wstring& why) {
    if (++rejected <= rejections_logged) log_.writef("Rejected entry %s: %s", what, why);
  };
  const std::wstring exe_name = file_name_of(paths_.image_path);
  index_entry entry;  // one for the walk: its strings keep their capacity
  std::unordered_set<std::wstring> queued_targets;
  for (size_t position = 0; position < index.size(); ++position) {
    if (splash.is_closed()) break;
    if (!index.entry(position, entry)) {
      const entry_problem problem = index.problem(position);
      reject(format_narrow("%u", built + rejected + 1), problem == entry_problem::none
                                                            ? L"not an entry the launcher can use"
                                                            : entry_problem_text(problem));
      continue;
    }
    const std::wstring local_path = utf8_to_wide(entry.local_path);
    // The session's documents, the downloads and the swap copies are the
    // launcher's own: such an entry is skipped like one that leaves the
    // game directory.
    const std::wstring reserved =
        reserved_target_problem(paths_.launcher_dir, local_path, exe_name);
    if (!reserved.empty()) {
      reject(entry.local_path, reserved);
      continue;
    }
    const std::wstring target_path = join_path(paths_.launcher_dir, local_path);
    ++built;
    if (pipeline.current_stage() == stage::checking) splash.set_progress(built, total);
    splash.set_status_text(format_wide(pick_text(texts::checking_file), file_name_of(local_path)));

    const check_result result = check_entry(entry, local_path, target_path, inputs);
    from_cache += result.from_cache ? 1 : 0;
    hashed += result.hashed ? 1 : 0;
    if (result.verdict == check_verdict::keep_and_store) {
      cache_.store_stamp(wide_to_utf8(local_path), result.stamp);
    } else if (result.verdict == check_verdict::fetch) {
      // Two tasks for one file would be fetched and placed at once, each
      // over the other: the first entry that names it is the one.
      if (!queued_targets.insert(to_lower_ascii(local_path)).second) {
        reject(entry.local_path, L"names a file that an earlier entry names");
        continue;
      }
      ++queued;
      pipeline.enqueue_download(
          make_update_task(entry, local_path, target_path, paths_, signed_index));
    }
  }
  if (rejected > rejections_logged) {
    log_.writef("Rejected %u more entries", rejected - rejections_logged);
  }
  log_.writef("Check%s: %u entries, %u accepted from the cache, %u hashed, %u queued, %u rejected",
              splash.is_closed() ? " (cancelled)" : "", built, from_cache, hashed, queued,
              rejected);
  return true;
}

pipeline_settings game_launcher::pipeline_settings_for(uint32_t position) {
  pipeline_settings s;
  s.hosts = hosts_;
  s.position = position;
  s.max_attempts = max_attempts_;
  s.before_step = worker_hook_;
  s.log = &log_;
  s.free_space = free_space_;
  s.max_transfers = max_transfers_;
  s.slow_bytes_per_second = slow_bytes_per_second_;
  s.slow_seconds = slow_seconds_;
  s.limiter = limiter_.get();
  // The workers write the game's files and the session's downloads (and
  // the log), nothing else, whatever the index names.
  const session_paths& p = paths_;
  s.writable = {
      {p.launcher_dir, p.downloading_dir}, {p.temp_root}, {p.log_path, p.log_path + L".old"}};
  return s;
}

bool game_launcher::finish_run(const update_pipeline& pipeline, CSplashWnd& splash, bool& restart) {
  if (splash.is_closed()) {
    error_text_ = texts::cancelled_by_user;
    return true;
  }
  const session_paths& p = paths_;
  // A copy that a scanner holds is tried again after a growing pause.
  auto move_until_free = [&](const std::wstring& from, const std::wstring& to, bool flush_first) {
    for (uint32_t retry = 0;; ++retry) {
      const place_result r = flush_first ? place_file(from, to) : move_file_durably(from, to);
      if (r != place_result::in_use || retry >= max_attempts_) return r == place_result::placed;
      sleep_milliseconds(in_use_pause_ms(retry));
    }
  };
  if (pipeline.launcher_updated()) {
    // The running executable cannot be opened for writing, and its bytes are
    // on disk long since; the new one is flushed before it takes its name.
    if (file_exists(p.new_image_path) && move_until_free(p.image_path, p.old_image_path, false)) {
      if (move_until_free(p.new_image_path, p.image_path, true)) {
        restart = true;
      } else {
        // Never leave the launcher missing from its own path.
        move_file_durably(p.old_image_path, p.image_path);
      }
    }
  } else if (file_exists(p.old_image_path)) {
    delete_file(p.old_image_path);
  }
  // Download failures hide unpack failures of the same run.
  auto report = [&](const std::vector<std::wstring>& lines, const localized_text& status,
                    const wchar_t* summary) {
    const uint32_t count = static_cast<uint32_t>(lines.size());
    splash.set_status_text(format_wide(pick_text(status), count));
    error_text_ = format_wide(summary, count);
    for (const auto& line : lines) error_text_ += format_wide(L"\nFile: %s", line);
    return true;
  };
  if (!pipeline.failed_downloads().empty()) {
    return report(pipeline.failed_downloads(), texts::download_failed,
                  L"Failed to download %u files");
  }
  if (!pipeline.failed_unpacks().empty()) {
    return report(pipeline.failed_unpacks(), texts::unpack_failed, L"Failed to unpack %u files");
  }
  splash.set_status_text(pick_text(texts::files_updated));
  cache_.save_if_changed(p.cache_path);
  remove_directory_tree(p.downloading_dir, true);
  return true;
}

}  // namespace tsl
