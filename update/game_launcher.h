// The launcher's update session: local layout and compiled-in hosts, host
// selection and the remote index, the file check, and the end of a run with
// the self-update swap. The workers of a run and everything they count and
// collect belong to its update_pipeline.
// Threading: prepare and run are called on the entry's thread. The workers
// of a run share with it the cache and the support log (each under its own
// lock) and the splash window; they read copies of the settings they need.
// The cache is read on a thread of its own while the host selection runs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "format/documents.h"
#include "format/file_cache.h"
#include "update/session_paths.h"
#include "update/support_log.h"
#include "format/update_index.h"
#include "net/rate_limiter.h"
#include "update/update_pipeline.h"

namespace tsl {

class CSplashWnd;
class downloader;
class update_pipeline;
struct check_rules;
struct update_task;

class game_launcher {
 public:
  game_launcher();
  // For tests: a launcher as if its executable were at `image_path`.
  explicit game_launcher(const std::wstring& image_path);

  // Session directory, compiled-in hosts, previous gameupdate number, the
  // support log.
  void prepare();
  // The support log alone, for a run that updates nothing: it is written
  // only where a session directory already exists, and none is made.
  void open_log();
  support_log& log() { return log_; }
  // Brings the installation up to date. True when the entry may go on (start
  // the client, or restart when `restart` was set); false with error_text.
  // Holds the installation's lock from start to end: while another launcher
  // holds it, run returns false at once and touches nothing.
  bool run(CSplashWnd& splash, bool& restart);
  // Whether the last run found another launcher at work on this installation.
  bool another_launcher_running() const { return another_launcher_running_; }

  // Fetches the version file and the index from the hosts in rotating,
  // counted attempts. False when none delivered a usable index.
  bool select_host(update_index& index, uint32_t& gameupdate, uint32_t& position,
                   CSplashWnd& splash);

  const session_paths& paths() const { return paths_; }
  // English text of the failure that ended the session; the entry shows it
  // when run returns false.
  const std::wstring& error_text() const { return error_text_; }
  const std::wstring& guid() const { return guid_; }
  const std::vector<std::string>& hosts() const { return hosts_; }
  uint32_t local_gameupdate() const { return local_gameupdate_; }

  // Hash every installed file as if the gameupdate number had changed, and
  // repair what differs: the cache's stamps are not trusted for this run.
  void set_verify(bool verify) { verify_ = verify; }
  // Files in flight at once (0: the launcher's own choice), and the cap on
  // what all transfers receive together, in bytes a second (0: none).
  void set_transfer_limits(uint32_t transfers, uint64_t max_rate) {
    if (transfers) max_transfers_ = transfers;
    max_rate_ = max_rate;
  }

  // Whether the build has a key: the version file and the index must then
  // be signed with it.
  bool verifies_signatures() const { return !public_key_.empty(); }

 private:
  // What tests set that the product takes from the build (game_launcher_seams.h).
  friend struct game_launcher_seams;

  enum class acceptance { accepted, failed, cancelled };
  acceptance accept_index(update_index& index, uint32_t& gameupdate, uint32_t& position,
                          int32_t& version, CSplashWnd& splash);
  // The file check: starts the pipeline's workers and hands them every file
  // that differs. False when the workers cannot be started.
  bool check_files(const update_index& index, int32_t version, const check_rules& rules,
                   bool gameupdate_changed, update_pipeline& pipeline, CSplashWnd& splash);
  bool run_session(CSplashWnd& splash, bool& restart);
  bool finish_run(const update_pipeline& pipeline, CSplashWnd& splash, bool& restart);
  // What the workers of a run take from the session.
  pipeline_settings pipeline_settings_for(uint32_t position);
  // One attempt of select_host at the host `base`: the version file and the
  // index, each verified (with a key) before a byte of it is parsed.
  bool fetch_from_host(downloader& fetcher, const std::string& base, uint32_t attempt,
                       update_index& index, uint32_t& gameupdate);
  // Whether `message` is signed by the build's key, by the signature at `url`.
  bool signature_valid(downloader& fetcher, const std::string& url, const std::string& message);

  session_paths paths_;
  uint32_t local_gameupdate_ = 0;
  std::wstring error_text_;
  std::wstring guid_;
  std::vector<std::string> hosts_;
  uint32_t max_attempts_ = 3;
  uint32_t retry_delay_ = TSL_RETRY_DELAY_MS;
  uint32_t max_transfers_ = default_transfers;
  uint64_t max_rate_ = 0;
  long slow_bytes_per_second_ = slow_host_bytes_per_second;
  long slow_seconds_ = slow_host_seconds;
  std::unique_ptr<rate_limiter> limiter_;  // made by run when there is a cap
  file_cache cache_;
  // Reads cache_ beside the host selection: over 20,000 entries each takes
  // tens of milliseconds. Whatever reads or removes the file waits for it.
  std::thread cache_loader_;
  void await_cache() {
    if (cache_loader_.joinable()) cache_loader_.join();
  }
  // Why the last attempt of select_host failed on a malformed document
  // (empty when the hosts simply did not answer).
  std::wstring document_error_;
  bool another_launcher_running_ = false;
  bool verify_ = false;
  support_log log_;
  std::function<void(const update_task&, bool)> worker_hook_;
  std::function<bool(const std::wstring&, uint64_t&)> free_space_;
  std::string public_key_;
};

}  // namespace tsl
