// A JSON object of path keys to {"cache": stamp, "data": any}, where the
// stamp is the file's size XOR its last-write time. Used by the launcher for
// its installed files and by the maker for what it published.
// Threading: every operation takes the cache's own lock; lookup computes the
// stamp outside it.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "format/documents.h"
#include "util/sync.h"

namespace tsl {

// The stamp of a file: its size XOR its last-write time (FILETIME units).
inline uint64_t make_file_stamp(uint64_t size, uint64_t time) { return size ^ time; }
// The stamp from the file's directory entry; false when it is missing or a
// directory.
bool file_stamp(const std::wstring& path, uint64_t& stamp);

class file_cache {
 public:
  // Replaces the document with the file's; a missing or broken file leaves
  // an empty (null) cache and gives false.
  bool load(const std::wstring& path) EXCLUDES(lock_);
  // Writes the document through a temporary file and one move, so a crash or
  // a full disk never leaves a truncated cache where a good one stood.
  bool save(const std::wstring& path) const EXCLUDES(lock_);
  // The same, but a document that is still the one loaded from `path`, or
  // last saved there, is not written again: an unchanged installation costs
  // no rewrite and no flush of its cache on every start.
  bool save_if_changed(const std::wstring& path) EXCLUDES(lock_);
  bool lookup(const std::string& key, const std::wstring& path, json* data = nullptr) const
      EXCLUDES(lock_);
  // The same with a stamp the caller already has.
  bool lookup_stamp(const std::string& key, uint64_t stamp, json* data = nullptr) const
      EXCLUDES(lock_);
  void store(const std::string& key, const std::wstring& path, const json* data = nullptr)
      EXCLUDES(lock_);
  // The same with a stamp the caller already has.
  void store_stamp(const std::string& key, uint64_t stamp, const json* data = nullptr)
      EXCLUDES(lock_);

  // The document as it would be saved, and deep equality of two caches.
  // equals takes this cache's lock first, then the other's.
  json document() const EXCLUDES(lock_);
  bool equals(const file_cache& other) const EXCLUDES(lock_, other.lock_);

 private:
  // One entry, kept apart from a JSON tree: 20,000 of them as a tree took
  // longer to read than the launcher's check of the files they vouch for.
  // An entry that is not an object, or whose "cache" is not an unsigned
  // number, vouches for nothing and is not carried into the next save.
  struct slot {
    bool has_stamp = false;
    uint64_t stamp = 0;
    bool has_data = false;
    json data;
    bool operator==(const slot& other) const {
      return has_stamp == other.has_stamp && stamp == other.stamp && has_data == other.has_data &&
             data == other.data;
    }
  };
  friend class cache_reader;

  // Writes the document and gives the change count it held.
  bool write_document(const std::wstring& path, uint64_t& written) const EXCLUDES(lock_);
  json document_locked() const REQUIRES(lock_);

  mutable mutex lock_;
  // The document is an object of slots_, or (is_object_ false) `other_`: null
  // when nothing was loaded or stored, or a loaded document that is not an
  // object, which the first store replaces.
  bool is_object_ GUARDED_BY(lock_) = false;
  std::map<std::string, slot, std::less<>> slots_ GUARDED_BY(lock_);
  json other_ GUARDED_BY(lock_);
  // Counts the changes since the load; the file holds what the document
  // was at change `on_disk_` (none: the load found no good file).
  uint64_t changes_ GUARDED_BY(lock_) = 0;
  int64_t on_disk_ GUARDED_BY(lock_) = -1;
};

}  // namespace tsl
