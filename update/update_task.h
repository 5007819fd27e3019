// One file to bring in. Shared between the file check, the queues and the
// workers; a task belongs to one worker at a time, so its fields need no lock.
#pragma once

#include <cstdint>
#include <string>

#include "codec/digest_stream.h"
#include "codec/sha1.h"
#include "codec/signature.h"

namespace tsl {

struct update_task {
  int32_t phase = 0;      // 0 handed over, 1 downloaded and verified, 2 to rebuild
  uint32_t attempts = 0;  // retries spent in the current step
  std::string remote_path;
  std::wstring local_path;
  std::wstring file_name;
  std::wstring target_path;  // new_image_path for the launcher itself
  std::wstring unpack_path;  // in the session's downloads, beside download_path
  uint64_t local_size = 0;
  // What the installed file and the downloaded one must hash to: SHA-256
  // texts when `sha256` (a signed index), else SHA-1 texts.
  bool sha256 = false;
  std::string local_digest;
  std::wstring download_path;
  uint64_t remote_size = 0;  // a download that brings more bytes fails
  std::string pack;
  std::string expected_digest;
  bool is_launcher = false;
  // The chunk map of the published file, when the entry names one: a file
  // installed in another version is then rebuilt from it (file_rebuild.h)
  // into unpack_path, fetching only the chunks it lacks. `rebuild_tried`
  // sends it the normal way after one try, whatever became of it.
  std::string map_remote;
  uint64_t map_size = 0;
  std::string map_sha1;
  std::string map_sha256;
  std::wstring old_path;        // the installed file
  std::wstring map_local_path;  // in the session's downloads, as the others
  std::wstring range_path;
  bool rebuild_tried = false;
  bool rebuilt = false;    // unpack_path holds the verified file
  std::string last_error;  // why the last try failed, for the failure list
};

// The two digests a worker may be asked for, of a file on disk or of bytes
// streamed as they are written.
class task_hasher {
 public:
  std::string digest(const std::wstring& path, bool sha256) {
    return sha256 ? sha256_.digest(path) : sha1_.digest(path);
  }
  // begin, add each piece, finish: a begin drops whatever an unfinished
  // stream held. As for a file, no bytes give the empty SHA-1 text.
  void begin(bool sha256) {
    sha256_stream_ = sha256;
    stream_.begin(sha256 ? digest_stream::sha256 : digest_stream::sha1);
  }
  void add(const uint8_t* bytes, size_t size) { stream_.add(bytes, size); }
  std::string finish() {
    digest_texts texts = stream_.finish();
    return sha256_stream_ ? texts.sha256 : texts.sha1;
  }

 private:
  file_hasher sha1_;
  sha256_hasher sha256_;
  digest_stream stream_;
  bool sha256_stream_ = false;
};

}  // namespace tsl
