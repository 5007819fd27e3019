// Test fixture for update sessions: a game directory with a stand-in
// launcher executable, update hosts served over loopback HTTP from folders,
// and a publisher that writes version files, indexes and published files.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/http_test_server.h"
#include "tests/test_util.h"
#include "ui/splash_window.h"
#include "update/game_launcher.h"

namespace tsl {
namespace test {

// One update host: serves a folder below "/tsl/" on 127.0.0.1, with faults.
class update_host {
 public:
  explicit update_host(const std::wstring& folder);
  ~update_host();

  std::string base_url() const;  // http://127.0.0.1:PORT/tsl/
  int port() const { return server_.port(); }
  const std::wstring& folder() const { return folder_; }

  // Answers `status` for a relative path (e.g. "7/data/a.bin"), `times`
  // times (-1: always).
  void fail(const std::string& relative, int status, int times = -1);
  // Sends the body of a relative path slowly: `delay_ms` between 1 KiB pieces.
  // Without a length, the body comes chunked.
  void slow(const std::string& relative, int delay_ms, bool with_length = true);
  // Sends the headers of a relative path, without a length, and then nothing.
  void stall(const std::string& relative);
  // Closes the connection after `bytes` of the body of a relative path.
  void drop(const std::string& relative, size_t bytes);
  // Sends a relative path whole, without a length, whatever range is asked
  // for: a host that serves no ranges.
  void no_ranges(const std::string& relative);
  // Sends a relative path plainly again.
  void heal(const std::string& relative);
  int requests(const std::string& relative) const;
  uint64_t bytes_sent(const std::string& relative) const;
  // Most requests answered at the same time.
  size_t most_at_once() const { return server_.max_concurrent_requests(); }
  std::vector<std::string> request_log() const;

 private:
  std::wstring folder_;
  http_test_server server_;
};

// A port on 127.0.0.1 where nothing listens.
int closed_port();

struct published_file {
  std::string local;  // "l": relative path with '\'
  std::string content;
  bool packed = false;
  // Published in chunks of about this size with a chunk map beside it, as
  // the maker publishes large files; 0: whole.
  uint32_t chunk_average = 0;
};

// Writes a game update into a host folder the way the maker lays it out.
class publisher {
 public:
  explicit publisher(const std::wstring& host_folder) : folder_(host_folder) {}

  // The "config" block; defaults to a version-3 block naming `hosts`.
  static nlohmann::json default_config(const std::vector<std::string>& hosts);
  // Publishes `files` as update `gameupdate` with `config`. Returns the index.
  nlohmann::json publish(uint32_t gameupdate, const std::vector<published_file>& files,
                         const nlohmann::json& config, bool packed_index = true);
  // The "m" of a file published in chunks: "<gameupdate>/<key>[.lzma2].chunkmap".
  static std::string map_remote(uint32_t gameupdate, const published_file& file);
  // Overwrites a published file's bytes without touching the index.
  void corrupt(const std::string& remote, const std::string& bytes);
  // From now on publish as a signing maker does: SHA-256 members in every
  // entry and a signature beside the index and the version file.
  void sign_with(std::string secret_key) { secret_key_ = std::move(secret_key); }
  // Writes the index of `gameupdate` anew (plain only) and signs it, as a
  // maker with the key would publish it.
  void write_signed_index(uint32_t gameupdate, const nlohmann::json& index);

 private:
  // `gameupdate`: the document is that update's index, whose signature
  // covers its number too.
  void write_signed(const std::wstring& path, const std::string& bytes,
                    const uint32_t* gameupdate = nullptr);
  std::wstring folder_;
  std::string secret_key_;
};

// A game directory with the stand-in launcher executable "TessalyReach.exe".
class game_install {
 public:
  game_install();
  const std::wstring& dir() const { return dir_.path(); }
  std::wstring image() const { return dir_ / L"TessalyReach.exe"; }
  std::wstring path(const std::wstring& relative) const { return dir_ / relative; }
  // A prepared session whose hosts are `hosts`.
  std::unique_ptr<game_launcher> session(const std::vector<std::string>& hosts) const;

 private:
  scoped_temp_dir dir_;
};

struct run_result {
  bool ok = false;
  bool restart = false;
  std::wstring error;
  std::vector<std::wstring> statuses;
};

// Runs one update session against `hosts`; `during` sees every status text
// (it may close the splash window to cancel).
run_result run_update(const game_install& game, const std::vector<std::string>& hosts,
                      std::function<void(CSplashWnd&, const std::wstring&)> during = nullptr,
                      std::function<void(game_launcher&)> adjust = nullptr);

}  // namespace test
}  // namespace tsl
