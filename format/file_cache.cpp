#include "format/file_cache.h"

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

// Reads a cache document as the JSON library's streaming parser delivers it:
// each entry straight into its slot, its "data" built as a JSON value.
// Refuses (false from an event) a document that is not an object, for the
// caller to keep whole.
class cache_reader {
 public:
  explicit cache_reader(std::map<std::string, file_cache::slot, std::less<>>& slots)
      : slots_(slots), data_(slot_.data) {}
  bool not_an_object() const { return not_an_object_; }

  bool null() { return value(json()); }
  bool boolean(bool v) { return value(json(v)); }
  bool number_integer(json::number_integer_t v) { return value(json(v)); }
  bool number_unsigned(json::number_unsigned_t v) {
    if (zone_ == zone::entry && member_ == member::cache) {
      slot_.has_stamp = true;
      slot_.stamp = v;
      return true;
    }
    return value(json(v));
  }
  bool number_float(json::number_float_t v, const std::string&) { return value(json(v)); }
  bool string(std::string& v) { return value(json(v)); }
  bool binary(json::binary_t&) { return value(json()); }
  bool start_object(std::size_t) { return start(true); }
  bool start_array(std::size_t) { return start(false); }
  bool end_object() { return end(); }
  bool end_array() { return end(); }
  bool key(std::string& name) {
    if (zone_ == zone::top) {
      key_ = name;
    } else if (zone_ == zone::entry) {
      member_ = name == "cache" ? member::cache : name == "data" ? member::data : member::other;
    } else if (zone_ == zone::data) {
      data_.key(name);
    }
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

 private:
  enum class zone { top, entry, data, skipped };
  enum class member { cache, data, other };

  bool value(json&& v) {
    switch (zone_) {
      case zone::top:
        if (depth_ == 0) return refuse();
        break;  // an entry that is not an object: dropped
      case zone::entry:
        if (member_ == member::cache) {
          slot_.has_stamp = false;  // a stamp of another type is none
        } else if (member_ == member::data) {
          slot_.has_data = true;
          slot_.data = std::move(v);
        }
        break;
      case zone::data:
        data_.value(std::move(v));
        break;
      case zone::skipped:
        break;
    }
    return true;
  }
  bool start(bool object) {
    switch (zone_) {
      case zone::top:
        if (depth_ == 0) {
          if (!object) return refuse();
        } else if (object) {
          zone_ = zone::entry;
          slot_ = file_cache::slot();
          member_ = member::other;
        } else {
          skip(zone::top);
        }
        break;
      case zone::entry:
        if (member_ == member::data) {
          slot_.has_data = true;
          zone_ = zone::data;
          nested_from_ = depth_ + 1;
          data_.start(object);
        } else {
          if (member_ == member::cache) slot_.has_stamp = false;
          skip(zone::entry);
        }
        break;
      case zone::data:
        data_.start(object);
        break;
      case zone::skipped:
        break;
    }
    ++depth_;
    return true;
  }
  bool end() {
    --depth_;
    switch (zone_) {
      case zone::entry:
        slots_[key_] = std::move(slot_);  // a later duplicate replaces an earlier one
        zone_ = zone::top;
        break;
      case zone::data:
        data_.end();
        if (depth_ < nested_from_) zone_ = zone::entry;
        break;
      case zone::skipped:
        if (depth_ < nested_from_) zone_ = skipped_from_;
        break;
      case zone::top:
        break;
    }
    return true;
  }
  void skip(zone back) {
    skipped_from_ = back;
    zone_ = zone::skipped;
    nested_from_ = depth_ + 1;
  }
  bool refuse() {
    not_an_object_ = true;
    return false;
  }

  std::map<std::string, file_cache::slot, std::less<>>& slots_;
  file_cache::slot slot_;
  json_builder data_;  // builds slot_.data
  zone zone_ = zone::top;
  zone skipped_from_ = zone::top;
  member member_ = member::other;
  size_t depth_ = 0;
  size_t nested_from_ = 0;
  std::string key_;
  bool not_an_object_ = false;
};

bool file_cache::load(const std::wstring& path) {
  std::map<std::string, slot, std::less<>> slots;
  json other;
  bool ok = false, is_object = false;
  std::string bytes;
  if (read_document_file(path, bytes, nullptr) && document_within_limits(bytes, nullptr)) {
    cache_reader reader(slots);
    is_object = ok = json::sax_parse(bytes, &reader);
    if (!ok && reader.not_an_object()) {
      // Kept as it is until the first store replaces it.
      other = json::parse(bytes, nullptr, false);
      ok = !other.is_discarded();
      if (!ok) other = json();
    }
  }
  mutex_lock hold(lock_);
  is_object_ = is_object;
  slots_ = std::move(slots);
  other_ = std::move(other);
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
    mutex_lock hold(lock_);
    bytes = json_pretty_line(document_locked());
    written = changes_;
  }
  return write_file_atomic(path, bytes);
}

bool file_cache::save_if_changed(const std::wstring& path) {
  {
    mutex_lock hold(lock_);
    // Another program may have removed the file since.
    if (on_disk_ == static_cast<int64_t>(changes_) && file_exists(path)) return true;
  }
  uint64_t written = 0;
  if (!write_document(path, written)) return false;
  mutex_lock hold(lock_);
  on_disk_ = static_cast<int64_t>(written);
  return true;
}

bool file_cache::lookup(const std::string& key, const std::wstring& path, json* data) const {
  {
    // A key that is not there needs no stamp.
    mutex_lock hold(lock_);
    if (slots_.find(key) == slots_.end()) return false;
  }
  uint64_t stamp = 0;
  return file_stamp(path, stamp) && lookup_stamp(key, stamp, data);
}

bool file_cache::lookup_stamp(const std::string& key, uint64_t stamp, json* data) const {
  mutex_lock hold(lock_);
  auto it = slots_.find(key);
  if (it == slots_.end() || !it->second.has_stamp || it->second.stamp != stamp) return false;
  if (data) *data = it->second.has_data ? it->second.data : json();
  return true;
}

void file_cache::store(const std::string& key, const std::wstring& path, const json* data) {
  uint64_t stamp = 0;
  if (file_stamp(path, stamp)) store_stamp(key, stamp, data);
}

void file_cache::store_stamp(const std::string& key, uint64_t stamp, const json* data) {
  slot entry;
  entry.has_stamp = true;
  entry.stamp = stamp;
  entry.has_data = data != nullptr;
  if (data) entry.data = *data;
  mutex_lock hold(lock_);
  // A document that cannot take members (a cache file that held an array,
  // say) is treated as an empty cache.
  if (!is_object_) {
    is_object_ = true;
    other_ = json();
  }
  auto [it, added] = slots_.try_emplace(key);
  if (!added && it->second == entry) return;
  it->second = std::move(entry);
  ++changes_;
}

json file_cache::document_locked() const {
  if (!is_object_) return other_;
  json document = json::object();
  for (const auto& [key, entry] : slots_) {
    json& out = document[key];
    out = json::object();
    if (entry.has_stamp) out["cache"] = entry.stamp;
    if (entry.has_data) out["data"] = entry.data;
  }
  return document;
}

json file_cache::document() const {
  mutex_lock hold(lock_);
  return document_locked();
}

bool file_cache::equals(const file_cache& other) const {
  if (this == &other) return true;
  mutex_lock mine(lock_);
  mutex_lock theirs(other.lock_);
  return is_object_ == other.is_object_ && slots_ == other.slots_ && other_ == other.other_;
}

}  // namespace tsl
