// The file check: every entry of the accepted index is judged by presence,
// soft and hard masks, size, cache stamp, digest and acceptable checksums;
// files that differ go straight to the download worker.
#include <map>
#include <set>

#include "codec/sha1.h"
#include "launcher/messages.h"
#include "ui/splash_window.h"
#include "update/game_launcher.h"
#include "update/mask_list.h"
#include "update/update_pipeline.h"
#include "util/file_system.h"
#include "util/text.h"

namespace tsl {

namespace {

using acceptable_map = std::map<std::wstring, std::set<std::string>>;

std::string trim_blanks(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r\n\f\v");
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t\r\n\f\v");
  return text.substr(begin, end - begin + 1);
}

}  // namespace

bool game_launcher::check_and_update(const json& index, int32_t version, uint32_t gameupdate,
                                     uint32_t position, CSplashWnd& splash, run_outcome& outcome) {
  const json& config = index["config"];
  check_rules rules;
  if (!read_check_rules(config, version, rules, error_text)) return false;

  const bool gameupdate_changed = gameupdate != local_gameupdate;
  splash.set_status_text(pick_text(texts::checking_game_files));
  write_config_copy(config_path, config);

  mask_list soft, hard;
  for (const auto& m : rules.soft_check) soft.add(utf8_to_wide(m));
  for (const auto& m : rules.hard_check) hard.add(utf8_to_wide(m));
  acceptable_map acceptable;
  if (version >= 3) {
    for (const auto& item : rules.acceptable) {
      std::set<std::string> sums;
      for (const auto& s : item.checksums) sums.insert(trim_blanks(s));
      std::wstring key = normalize_path_pattern(join_path(launcher_dir, utf8_to_wide(item.file)));
      if (sums.empty()) continue;
      acceptable[key] = std::move(sums);
    }
  }

  update_pipeline pipeline(*this, splash, position);
  if (!pipeline.start()) {
    error_text = L"Can not start the update threads.";
    return false;
  }

  std::vector<const json*> files = index_files(index);
  splash.set_progress(0, static_cast<uint32_t>(files.size()));
  Sha1Context context;
  byte_buffer buffer;
  uint32_t built = 0;
  for (const json* value : files) {
    if (splash.is_closed()) break;
    index_entry entry;
    if (!read_index_entry(*value, entry)) continue;
    auto task = std::make_shared<update_task>();
    task->remote_path = entry.remote_path;
    task->local_path = utf8_to_wide(entry.local_path);
    task->file_name = file_name_of(task->local_path);
    task->target_path = join_path(launcher_dir, task->local_path);
    task->unpack_path = task->target_path + L".unp";
    task->local_size = entry.local_size;
    task->local_sha1 = entry.local_sha1;
    task->remote_size = entry.remote_size;
    task->pack = entry.pack;
    task->download_path =
        join_path(downloading_dir, task->local_path) +
        (entry.pack == "none" ? std::wstring(L".temp") : L"." + utf8_to_wide(entry.pack));
    task->expected_sha1 = entry.expected_sha1();
    task->is_launcher = equals_ignore_case(task->target_path, image_path);
    ++built;

    if (pipeline.stage == 0) splash.set_progress(built, static_cast<uint32_t>(files.size()));
    splash.set_status_text(format_wide(pick_text(texts::checking_file), task->file_name));

    const std::string key = wide_to_utf8(task->local_path);
    uint64_t size = 0, time = 0;
    const bool exists = query_file_info(task->target_path, size, time);
    const bool is_hard = hard.matches(task->local_path);
    const bool verify = is_hard || !soft.matches(task->local_path);
    std::string digest;
    bool accepted = false;
    if (exists) {
      if (!verify) {
        accepted = true;
      } else if (static_cast<uint32_t>(size) == task->local_size) {
        if (!is_hard && !gameupdate_changed && cache.lookup_stamp(key, size ^ time)) {
          // The entry already holds this very stamp; storing it again would
          // change nothing.
          continue;
        } else {
          digest = file_digest(task->target_path, context, buffer);
          accepted = equals_ignore_case(digest, task->local_sha1);
        }
      }
    }
    if (accepted) {
      cache.store(key, task->target_path);
      continue;
    }
    if (version >= 3 && !acceptable.empty()) {
      if (digest.empty() && exists) digest = file_digest(task->target_path, context, buffer);
      std::wstring target = normalize_path_pattern(task->target_path);
      bool taken = false;
      for (const auto& [pattern, sums] : acceptable) {
        if (!path_matches_pattern(pattern, target)) continue;
        for (const auto& sum : sums) taken = taken || equals_ignore_case(sum, digest);
        break;
      }
      if (taken) continue;
    }
    task->phase = 0;
    task->attempts = 0;
    if (task->is_launcher) task->target_path = new_image_path;
    ++tasks_queued;
    pipeline.enqueue_download(task);
  }

  pipeline.stop();
  outcome.failed_download_count = pipeline.failed_download_count;
  outcome.failed_unpack_count = pipeline.failed_unpack_count;
  outcome.launcher_updated = pipeline.launcher_updated;
  return true;
}

}  // namespace tsl
