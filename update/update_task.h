// One file to bring in. Shared between the file check, the queues and the
// workers; a task belongs to one worker at a time, so its fields need no lock.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "codec/sha1.h"
#include "codec/signature.h"

namespace tsl {

struct update_task {
  int32_t phase = 0;      // 0 handed over, 1 downloaded and verified
  uint32_t attempts = 0;  // retries spent in the current step
  std::string remote_path;
  std::wstring local_path;
  std::wstring file_name;
  std::wstring target_path;  // new_image_path for the launcher itself
  std::wstring unpack_path;  // in the session's downloads, beside download_path
  uint32_t local_size = 0;
  // What the installed file and the downloaded one must hash to: SHA-256
  // texts when `sha256` (a signed index), else SHA-1 texts.
  bool sha256 = false;
  std::string local_digest;
  std::wstring download_path;
  uint64_t remote_size = 0;  // a download that brings more bytes fails
  std::string pack;
  std::string expected_digest;
  bool is_launcher = false;
  std::string last_error;  // why the last try failed, for the failure list
};

// The two digests a worker may be asked for, each with its own context.
class task_hasher {
 public:
  std::string digest(const std::wstring& path, bool sha256) {
    return sha256 ? sha256_.digest(path) : sha1_.digest(path);
  }

  // The same digest of bytes handed over as they are written, so a file
  // just made need not be read back: begin, add each piece, finish. A begin
  // drops whatever an unfinished stream held. As for a file, no bytes give
  // the empty SHA-1 text.
  void begin(bool sha256) {
    if (open_ && streaming_sha256_) sha256_stream_.finish();
    reset(sha1_stream_);
    streamed_ = 0;
    streaming_sha256_ = sha256;
    open_ = true;
  }
  void add(const uint8_t* bytes, size_t size) {
    streamed_ += size;
    if (streaming_sha256_) {
      sha256_stream_.add(bytes, size);
      return;
    }
    for (size_t done = 0; done < size;) {
      const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(size - done, 1u << 30));
      update(sha1_stream_, bytes + done, piece);
      done += piece;
    }
  }
  std::string finish() {
    open_ = false;
    if (streaming_sha256_) return sha256_stream_.finish();
    if (streamed_ == 0) return std::string();
    uint8_t digest[20];
    final(sha1_stream_, digest);
    return digest_text(digest);
  }

 private:
  file_hasher sha1_;
  sha256_hasher sha256_;
  Sha1Context sha1_stream_;
  sha256_stream sha256_stream_;
  uint64_t streamed_ = 0;
  bool streaming_sha256_ = false;
  bool open_ = false;
};

}  // namespace tsl
