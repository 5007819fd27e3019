// One file to bring in. Shared between the file check, the queues and the
// workers; a task belongs to one worker at a time, so its fields need no lock.
#pragma once

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
  std::wstring unpack_path;
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
};

// The two digests a worker may be asked for, each with its own context.
class task_hasher {
 public:
  std::string digest(const std::wstring& path, bool sha256) {
    return sha256 ? sha256_.digest(path) : sha1_.digest(path);
  }

 private:
  file_hasher sha1_;
  sha256_hasher sha256_;
};

}  // namespace tsl
