// The file check's decision for one entry of the accepted index: presence,
// soft and hard masks, size, cache stamp, digest and acceptable checksums;
// and the task a file that differs becomes.
#include "update/file_check.h"

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
    if (size == entry.local_size) {
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
  if (entry.has_map() && !task->is_launcher) {
    task->map_remote = entry.map_path;
    task->map_size = entry.map_size;
    task->map_sha1 = entry.map_sha1;
    task->map_sha256 = entry.map_sha256;
    task->old_path = target_path;
    task->map_local_path = path_with_suffix(below, tag + L".map");
    task->range_path = path_with_suffix(below, tag + L".rng");
  }
  task->pack = entry.pack;
  task->expected_digest = sha256 ? entry.expected_sha256() : entry.expected_sha1();
  return task;
}

}  // namespace tsl
