// The file check's decision for one index entry, apart from the walk, the
// workers and the file system: presence, soft and hard masks, size, cache
// stamp, digest and acceptable checksums.
// Threading: check_entry may run on any thread; the masks and the cache take
// their own locks, the installed_files object belongs to the caller's thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "codec/sha1.h"
#include "codec/signature.h"
#include "format/documents.h"
#include "format/file_cache.h"
#include "update/mask_list.h"
#include "update/session_paths.h"
#include "update/update_task.h"

namespace tsl {

// Why an entry's "l", safe as a relative path, still must not be written:
// it names one of the launcher's own files below `launcher_dir`, in any
// letter case or through a short alias on disk: anything below ".temp" (the
// session documents and the downloads) or the "old-" and "new-" copies of
// the launcher executable `exe_name`. Empty when it may be written.
std::wstring reserved_target_problem(const std::wstring& launcher_dir,
                                     const std::wstring& local_path, const std::wstring& exe_name);

// Normalised absolute path pattern -> accepted digest texts (configuration
// version 3 and above). Walked in key order; the first key that matches
// decides.
using acceptable_map = std::map<std::wstring, std::set<std::string>>;

// Keys are launcher_dir joined with each element's "file", normalised; the
// digests have their outer blanks removed. An element without digests is
// left out; a later element with the same key replaces an earlier one.
acceptable_map make_acceptable_map(const std::vector<acceptable_checksum>& items,
                                   const std::wstring& launcher_dir);

// What the check asks about an installed file. The real one asks the file
// system; tests answer from a table and count the digests they were asked for.
class installed_files {
 public:
  virtual ~installed_files() = default;
  // Size and last-write time of an existing file that is not a directory.
  virtual bool query(const std::wstring& path, uint64_t& size, uint64_t& time) = 0;
  // Digest text; empty for a missing, empty or unreadable file.
  virtual std::string digest(const std::wstring& path) = 0;
  // SHA-256 text; empty for a missing or unreadable file.
  virtual std::string sha256_digest(const std::wstring& path) = 0;
};

// The installed files on disk, hashed with one context and buffer.
class disk_files : public installed_files {
 public:
  bool query(const std::wstring& path, uint64_t& size, uint64_t& time) override;
  std::string digest(const std::wstring& path) override;
  std::string sha256_digest(const std::wstring& path) override;

 private:
  file_hasher hasher_;
  sha256_hasher sha256_hasher_;
};

// Everything of one run that the decision reads besides the entry.
struct check_inputs {
  const mask_list& soft;
  const mask_list& hard;
  const acceptable_map& acceptable;  // empty below configuration version 3
  const file_cache& cache;
  bool gameupdate_changed;
  installed_files& files;
  // A signed index: an installed file is compared by its SHA-256 (the
  // acceptable checksums stay SHA-1 texts).
  bool sha256 = false;
};

enum class check_verdict {
  keep,            // in place; nothing to store (the cache already holds the stamp,
                   // or an acceptable checksum took it)
  keep_and_store,  // in place; store `stamp` under the entry's key
  fetch,           // hand a task to the download worker
};

struct check_result {
  check_verdict verdict = check_verdict::fetch;
  uint64_t stamp = 0;  // keep_and_store only
  // What the decision took, for the run's counts.
  bool from_cache = false;  // the cache's stamp vouched for the file
  bool hashed = false;      // the installed file's digest was computed
};

// `local_path` is the entry's "l" in wide text, `target_path` the launcher's
// directory joined with it. A digest is computed only when it can decide.
check_result check_entry(const index_entry& entry, const std::wstring& local_path,
                         const std::wstring& target_path, const check_inputs& inputs);

// The task for an entry to fetch, as it is handed to the download worker
// (phase and attempts 0; the launcher's own executable goes to its "new-"
// path, while its unpack path still names the real one).
std::shared_ptr<update_task> make_update_task(const index_entry& entry,
                                              const std::wstring& local_path,
                                              const std::wstring& target_path,
                                              const session_paths& paths, bool sha256 = false);

}  // namespace tsl
