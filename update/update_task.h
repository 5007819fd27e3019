// One file to bring in. Shared between the file check, the queues and the
// workers; a task belongs to one worker at a time, so its fields need no lock.
#pragma once

#include <cstdint>
#include <string>

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
  std::string local_sha1;
  std::wstring download_path;
  uint64_t remote_size = 0;  // a download that brings more bytes fails
  std::string pack;
  std::string expected_sha1;
  bool is_launcher = false;
};

}  // namespace tsl
