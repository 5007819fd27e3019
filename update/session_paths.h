// Where one update session keeps its files: beside the launcher's executable
// and in the session directory below its hidden ".temp".
#pragma once

#include <string>

namespace tsl {

struct session_paths {
  // Set by the session's constructor.
  std::wstring image_path;      // the running launcher executable
  std::wstring old_image_path;  // launcher_dir, "old-" + the executable's name
  std::wstring new_image_path;  // launcher_dir, "new-" + the executable's name
  std::wstring launcher_dir;    // the game directory, base of every "l" path
  std::wstring temp_root;       // launcher_dir\.temp
  // Set by prepare, below temp_root\<product GUID>.
  std::wstring session_dir;
  std::wstring downloading_dir;
  std::wstring version_path;
  std::wstring index_path;
  std::wstring packed_index_path;
  std::wstring signature_path;  // where a document's signature is fetched to
  std::wstring cache_path;
  std::wstring config_path;
  std::wstring log_path;  // the support log, "launcher.log"
};

}  // namespace tsl
