#include "update/file_cache.h"

#include "util/file_system.h"

namespace tsl {

// Stamps are 64-bit (size XOR FILETIME): the documents must keep them whole
// on the 32-bit build as well.
static_assert(sizeof(json::number_unsigned_t) == 8);

bool file_stamp(const std::wstring& path, uint64_t& stamp) {
  uint64_t size = 0, time = 0;
  if (!query_file_info(path, size, time)) return false;
  stamp = make_file_stamp(size, time);
  return true;
}

bool file_cache::load(const std::wstring& path) {
  json parsed;
  bool ok = parse_json_file(path, parsed);
  std::lock_guard<std::mutex> hold(lock_);
  document_ = ok ? std::move(parsed) : json();
  changes_ = 0;
  on_disk_ = ok ? 0 : -1;
  return ok;
}

bool file_cache::save(const std::wstring& path) const {
  uint64_t written = 0;
  return write_document(path, written);
}

bool file_cache::write_document(const std::wstring& path, uint64_t& written) const {
  std::string bytes;
  {
    std::lock_guard<std::mutex> hold(lock_);
    bytes = json_pretty_line(document_);
    written = changes_;
  }
  return write_file_atomic(path, bytes);
}

bool file_cache::save_if_changed(const std::wstring& path) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    // Another program may have removed the file since.
    if (on_disk_ == static_cast<int64_t>(changes_) && file_exists(path)) return true;
  }
  uint64_t written = 0;
  if (!write_document(path, written)) return false;
  std::lock_guard<std::mutex> hold(lock_);
  on_disk_ = static_cast<int64_t>(written);
  return true;
}

bool file_cache::lookup(const std::string& key, const std::wstring& path, json* data) const {
  {
    // A key that is not there needs no stamp.
    std::lock_guard<std::mutex> hold(lock_);
    if (!document_.is_object() || !document_.contains(key)) return false;
  }
  uint64_t stamp = 0;
  return file_stamp(path, stamp) && lookup_stamp(key, stamp, data);
}

bool file_cache::lookup_stamp(const std::string& key, uint64_t stamp, json* data) const {
  // Read in place: the check asks once per installed file, and a copy of
  // the entry would cost more than the comparison.
  std::lock_guard<std::mutex> hold(lock_);
  if (!document_.is_object()) return false;
  auto it = document_.find(key);
  if (it == document_.end() || !it->is_object()) return false;
  auto stored = it->find("cache");
  if (stored == it->end() || !stored->is_number() || stored->get<uint64_t>() != stamp) return false;
  if (data) {
    auto d = it->find("data");
    *data = d == it->end() ? json() : *d;
  }
  return true;
}

void file_cache::store(const std::string& key, const std::wstring& path, const json* data) {
  uint64_t stamp = 0;
  if (file_stamp(path, stamp)) store_stamp(key, stamp, data);
}

void file_cache::store_stamp(const std::string& key, uint64_t stamp, const json* data) {
  json entry = json::object();
  entry["cache"] = stamp;
  if (data) entry["data"] = *data;
  std::lock_guard<std::mutex> hold(lock_);
  // A document that cannot take members (a cache file that held an array,
  // say) is treated as an empty cache.
  if (!document_.is_object()) document_ = json::object();
  json& slot = document_[key];
  if (slot == entry) return;
  slot = std::move(entry);
  ++changes_;
}

json file_cache::document() const {
  std::lock_guard<std::mutex> hold(lock_);
  return document_;
}

bool file_cache::equals(const file_cache& other) const {
  if (this == &other) return true;
  std::lock_guard<std::mutex> mine(lock_);
  std::lock_guard<std::mutex> theirs(other.lock_);
  return document_ == other.document_;
}

}  // namespace tsl
