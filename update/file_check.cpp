// The file check: every entry of the accepted index is judged by presence,
// soft and hard masks, size, cache stamp, digest and acceptable checksums;
// files that differ go straight to the download worker.
#include "update/file_check.h"

#include "ui/splash_window.h"
#include "update/game_launcher.h"
#include "update/update_pipeline.h"
#include "update/update_texts.h"
#include "util/file_system.h"
#include "util/text.h"

namespace tsl {

std::wstring reserved_target_problem(const std::wstring& launcher_dir,
                                     const std::wstring& local_path, const std::wstring& exe_name) {
  // Asked for every entry of the index: views, no copies.
  const std::wstring_view path(local_path);
  const size_t end = path.find_first_of(L"\\/");
  const std::wstring_view first = path.substr(0, end);
  // The name the first component has on disk, should it be a short alias
  // (the system makes them all with a '~').
  const std::wstring alias =
      first.find(L'~') == std::wstring_view::npos
          ? std::wstring()
          : file_name_of(long_path_name(join_path(launcher_dir, std::wstring(first))));
  const std::wstring_view on_disk = alias.empty() ? first : std::wstring_view(alias);
  auto names = [&](std::wstring_view reserved) {
    return equals_ignore_case(first, reserved) || equals_ignore_case(on_disk, reserved);
  };
  auto names_copy = [&](std::wstring_view name) {
    const std::wstring_view exe(exe_name);
    if (name.size() != 4 + exe.size() || !equals_ignore_case(name.substr(4), exe)) return false;
    return equals_ignore_case(name.substr(0, 4), L"old-") ||
           equals_ignore_case(name.substr(0, 4), L"new-");
  };
  if (names(L".temp")) return L"names the launcher's session directory";
  if (end == std::wstring_view::npos && (names_copy(first) || names_copy(on_disk))) {
    return L"names a copy of the launcher executable";
  }
  return std::wstring();
}

acceptable_map make_acceptable_map(const std::vector<acceptable_checksum>& items,
                                   const std::wstring& launcher_dir) {
  acceptable_map acceptable;
  for (const auto& item : items) {
    std::set<std::string> sums;
    for (std::string sum : item.checksums) sums.insert(trim_spaces(sum));
    if (sums.empty()) continue;
    acceptable[normalize_path_pattern(join_path(launcher_dir, utf8_to_wide(item.file)))] =
        std::move(sums);
  }
  return acceptable;
}

bool disk_files::query(const std::wstring& path, uint64_t& size, uint64_t& time) {
  return query_file_info(path, size, time);
}

std::string disk_files::digest(const std::wstring& path) { return hasher_.digest(path); }

std::string disk_files::sha256_digest(const std::wstring& path) {
  return sha256_hasher_.digest(path);
}

check_result check_entry(const index_entry& entry, const std::wstring& local_path,
                         const std::wstring& target_path, const check_inputs& inputs) {
  uint64_t size = 0, time = 0;
  const bool exists = inputs.files.query(target_path, size, time);
  const uint64_t stamp = make_file_stamp(size, time);
  const bool is_hard = inputs.hard.matches(local_path);
  const bool verify = is_hard || !inputs.soft.matches(local_path);
  // The SHA-1 text is what acceptable checksums are compared with, also when
  // a signed index has the file compared by its SHA-256.
  std::string sha1;
  bool have_sha1 = false, hashed = false;
  if (exists) {
    if (!verify) return {check_verdict::keep_and_store, stamp};
    if (static_cast<uint32_t>(size) == entry.local_size) {
      if (!is_hard && !inputs.gameupdate_changed &&
          inputs.cache.lookup_stamp(wide_to_utf8(local_path), stamp)) {
        // The entry already holds this very stamp; storing it again would
        // change nothing.
        return {check_verdict::keep, 0, true, false};
      }
      hashed = true;
      if (inputs.sha256) {
        if (equals_ignore_case(inputs.files.sha256_digest(target_path), entry.local_sha256)) {
          return {check_verdict::keep_and_store, stamp, false, true};
        }
      } else {
        sha1 = inputs.files.digest(target_path);
        have_sha1 = true;
        if (equals_ignore_case(sha1, entry.local_sha1)) {
          return {check_verdict::keep_and_store, stamp, false, true};
        }
      }
    }
  }
  if (!inputs.acceptable.empty()) {
    // A missing file has the empty digest, which an element may accept.
    if (exists && !have_sha1) {
      sha1 = inputs.files.digest(target_path);
      hashed = true;
    }
    const std::wstring target = normalize_path_pattern(target_path);
    for (const auto& [pattern, sums] : inputs.acceptable) {
      if (!path_matches_pattern(pattern, target)) continue;
      for (const auto& sum : sums) {
        if (equals_ignore_case(sum, sha1)) return {check_verdict::keep, 0, false, hashed};
      }
      break;
    }
  }
  return {check_verdict::fetch, 0, false, hashed};
}

std::shared_ptr<update_task> make_update_task(const index_entry& entry,
                                              const std::wstring& local_path,
                                              const std::wstring& target_path,
                                              const session_paths& paths, bool sha256) {
  auto task = std::make_shared<update_task>();
  task->remote_path = entry.remote_path;
  task->local_path = local_path;
  task->file_name = file_name_of(local_path);
  task->is_launcher = equals_ignore_case(target_path, paths.image_path);
  // The running executable cannot be replaced; the end of the run swaps it.
  task->target_path = task->is_launcher ? paths.new_image_path : target_path;
  task->local_size = entry.local_size;
  task->sha256 = sha256;
  task->local_digest = sha256 ? entry.local_sha256 : entry.local_sha1;
  // A kept partial download is continued only into the file it was begun
  // for: its name carries the entry's "r" and the digest it must reach.
  Sha1Context context;
  const std::string tie = entry.remote_path + "\n" +
                          to_lower_ascii(sha256 ? entry.expected_sha256() : entry.expected_sha1());
  update(context, tie.data(), static_cast<uint32_t>(tie.size()));
  uint8_t tie_digest[20];
  final(context, tie_digest);
  const std::wstring tag = L"." + utf8_to_wide(digest_text(tie_digest).substr(0, 12));
  // Fixed suffixes only: nothing an index holds ends a name of ours. Names
  // of our own never pass the 255 units a name may hold, or a file with a
  // long name could never be installed.
  const std::wstring below = join_path(paths.downloading_dir, local_path);
  task->download_path =
      path_with_suffix(below, tag + (entry.pack == "none" ? L".temp" : L".lzma2"));
  // Decoded in the session's folder, on the game's volume for the move that
  // places it, under a name that no entry can claim (nothing may be
  // installed below ".temp") and no download ends in.
  task->unpack_path = path_with_suffix(below, tag + L".unp");
  task->remote_size = entry.remote_size;
  task->pack = entry.pack;
  task->expected_digest = sha256 ? entry.expected_sha256() : entry.expected_sha1();
  return task;
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

}  // namespace tsl
