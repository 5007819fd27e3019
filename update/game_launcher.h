// The launcher's update session: local layout and compiled-in hosts, host
// selection and the remote index, the file check, the download and unpack
// workers, and the end of a run with the self-update swap.
// Threading: prepare and run are called on the entry's thread. During the
// file check the two workers read the path fields, hosts, connect_timeout
// and max_attempts, count tasks_downloaded, append to failed_downloads
// (download worker only) and failed_unpacks (unpack worker only), and store
// into cache under its own lock; the failure lists are read after the join.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "update/documents.h"
#include "update/file_cache.h"

namespace tsl {

class CSplashWnd;

class game_launcher {
 public:
  game_launcher();
  // For tests: a launcher as if its executable were at `image_path`.
  explicit game_launcher(const std::wstring& image_path);

  // Session directory, compiled-in hosts, previous gameupdate number. False
  // when there is no host to ask.
  bool prepare();
  // Brings the installation up to date. True when the entry may go on (start
  // the client, or restart when `restart` was set); false with error_text.
  bool run(CSplashWnd& splash, bool& restart);

  // Fetches the version file and the index from the hosts in rotating,
  // counted attempts. False when none delivered a usable index.
  bool select_host(json& index, uint32_t& gameupdate, uint32_t& position, CSplashWnd& splash);

  std::wstring image_path;
  std::wstring old_image_path;
  std::wstring new_image_path;
  std::wstring launcher_dir;
  std::wstring temp_root;
  std::wstring session_dir;
  std::wstring downloading_dir;
  std::wstring version_path;
  std::wstring index_path;
  std::wstring packed_index_path;
  std::wstring cache_path;
  std::wstring config_path;
  uint32_t local_gameupdate = 0;
  std::wstring error_text;
  std::vector<std::wstring> failed_downloads;
  std::vector<std::wstring> failed_unpacks;
  std::wstring guid;
  std::vector<std::string> hosts;
  bool strict = false;
  int32_t connect_timeout = 10;
  uint32_t max_attempts = 3;
  uint32_t retry_delay = TSL_RETRY_DELAY_MS;
  std::atomic<uint32_t> tasks_queued{0};
  std::atomic<uint32_t> tasks_downloaded{0};
  file_cache cache;

  // Why the last attempt of select_host failed on a malformed document
  // (empty when the hosts simply did not answer).
  std::wstring document_error;

 private:
  enum class acceptance { accepted, failed, cancelled };
  acceptance accept_index(json& index, uint32_t& gameupdate, uint32_t& position, int32_t& version,
                          CSplashWnd& splash);
  // The file check and the workers; fills the counts the end of run reads.
  struct run_outcome {
    uint32_t failed_download_count = 0;
    uint32_t failed_unpack_count = 0;
    bool launcher_updated = false;
  };
  bool check_and_update(const json& index, int32_t version, uint32_t gameupdate, uint32_t position,
                        CSplashWnd& splash, run_outcome& outcome);
  bool finish_run(const run_outcome& outcome, CSplashWnd& splash, bool& restart);
};

}  // namespace tsl
