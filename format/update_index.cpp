#include "format/update_index.h"

#include <algorithm>
#include <numeric>
#include <utility>

#include "util/text.h"

namespace tsl {

namespace {
// The record of the element at `position`, or the end when it was skipped.
template <typename Records>
auto find_record(Records& records, size_t position) {
  auto it = std::lower_bound(records.begin(), records.end(), position,
                             [](const auto& r, size_t p) { return r.element < p; });
  return it != records.end() && it->element == position ? it : records.end();
}
}  // namespace

// The events of the JSON library's streaming parser, sorted into the head
// (built as a JSON value), the elements of "files" (read member by member
// into reused buffers; an accepted one is stored as a record, the others
// only counted) and what the launcher does not read (passed over).
class index_reader {
 public:
  using kind = entry_member::kind;

  index_reader(update_index& index, bool signed_index)
      : index_(index), signed_(signed_index), head_(config_) {}

  bool null() { return value(kind::null, nullptr); }
  bool boolean(bool v) { return value(kind::other, json(v)); }
  bool number_integer(json::number_integer_t v) { return value(kind::number, json(v)); }
  bool number_unsigned(json::number_unsigned_t v) { return value(kind::number, json(v)); }
  bool number_float(json::number_float_t v, const std::string&) {
    return value(kind::number, json(v));
  }
  bool string(std::string& v) {
    if (zone_ == zone::entry) {
      set_member(kind::string);
      if (member_ != entry_key_count) texts_[member_].assign(v);
      return true;
    }
    return value(kind::string, json(v));
  }
  bool binary(json::binary_t&) { return value(kind::other, nullptr); }
  bool start_object(std::size_t) { return start(true); }
  bool start_array(std::size_t) { return start(false); }
  bool end_object() { return end(); }
  bool end_array() { return end(); }
  bool key(std::string& name);
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }
  bool has_config() const { return config_seen_; }
  json take_config() { return std::move(config_); }
  // Why the reader stopped the parse itself; null when the text was not JSON.
  const char* refusal() const { return refusal_; }

 private:
  enum class zone {
    head,              // "config": built into the head
    top,               // directly inside the top-level object
    passed_pending,    // a top-level key other than "config" or "files" was read
    passed,            // inside the value of such a member
    files_pending,     // the key "files" was read, its value comes next
    files,             // directly inside the "files" container
    skipped,           // inside an element that is not an object
    entry,             // directly inside an element object
    member_container,  // inside a container that is the value of a member
  };

  bool value(kind type, json&& v);
  bool start(bool object);
  bool refuse(const char* why) {
    refusal_ = why;
    return false;
  }
  // What the head has cost so far, roughly in bytes of text: refused beyond
  // the limit, before a hostile "config" can exhaust the memory.
  bool charge(size_t bytes) {
    head_cost_ += bytes + 16;
    return head_cost_ <= max_config_cost || refuse("too large in its \"config\"");
  }
  // What the member the last key named turned out to be (nothing for a key
  // the launcher does not read).
  void set_member(kind type) {
    if (member_ != entry_key_count) members_[member_].type = type;
  }
  // Anything inside a member's container makes it one that is not empty.
  void note_inside() {
    if (zone_ == zone::member_container) set_member(kind::other);
  }
  bool end();
  // Counts one element; an accepted one comes with its record.
  void add_element(const update_index::record* accepted,
                   entry_problem problem = entry_problem::not_an_object);
  void finish_entry();
  void finish_files();

  update_index& index_;
  const bool signed_;
  json config_;
  bool config_seen_ = false;
  json_builder head_;  // builds config_
  zone zone_ = zone::top;
  size_t depth_ = 0;        // containers open
  size_t nested_from_ = 0;  // depth of the container a skipped, passed or member zone began with
  uint64_t head_cost_ = 0;
  const char* refusal_ = nullptr;
  bool files_object_ = false;  // "files" is an object: its elements are ordered by key
  std::vector<std::string> element_keys_;
  std::string element_key_;
  entry_member members_[entry_key_count];
  std::string texts_[entry_key_count];  // the texts of members_, reused from element to element
  entry_key member_ = entry_key_count;  // the member the last key inside an element named
};

bool index_reader::value(kind type, json&& v) {
  note_inside();
  if (depth_ == 0) return refuse("not an object");
  switch (zone_) {
    case zone::head:
      if (!charge(v.is_string() ? v.get_ref<const std::string&>().size() : 0)) return false;
      head_.value(std::move(v));
      if (head_.done()) zone_ = zone::top;
      break;
    case zone::passed_pending:
      zone_ = zone::top;
      break;
    case zone::top:
    case zone::passed:
      break;
    case zone::files_pending:
      // Null is no element; any other single value is one that is skipped.
      if (type != kind::null) add_element(nullptr);
      zone_ = zone::top;
      break;
    case zone::files:
      add_element(nullptr);
      break;
    case zone::entry:
      set_member(type);
      if (type == kind::number && member_ != entry_key_count) {
        members_[member_].number = std::move(v);
      }
      break;
    case zone::member_container:
    case zone::skipped:
      break;  // passed over
  }
  return true;
}

bool index_reader::start(bool object) {
  note_inside();
  if (depth_ == 0 && !object) return refuse("not an object");
  switch (zone_) {
    case zone::head:
      if (!charge(0)) return false;
      head_.start(object);
      break;
    case zone::top:
      break;  // the top-level object itself
    case zone::passed_pending:
      zone_ = zone::passed;
      nested_from_ = depth_ + 1;
      break;
    case zone::passed:
      break;
    case zone::files_pending:
      files_object_ = object;
      zone_ = zone::files;
      break;
    case zone::files:
      if (object) {
        zone_ = zone::entry;
        for (auto& m : members_) m.type = kind::absent;
        member_ = entry_key_count;
      } else {
        add_element(nullptr);
        zone_ = zone::skipped;
        nested_from_ = depth_ + 1;
      }
      break;
    case zone::entry:
      set_member(kind::empty_container);
      zone_ = zone::member_container;
      nested_from_ = depth_ + 1;
      break;
    case zone::member_container:
    case zone::skipped:
      break;  // passed over
  }
  ++depth_;
  return true;
}

bool index_reader::key(std::string& name) {
  note_inside();
  switch (zone_) {
    case zone::top:
      if (name == "files") {
        // A later "files" replaces an earlier one, as in a parsed object.
        index_.records_.clear();
        index_.problems_.clear();
        index_.elements_ = 0;
        index_.text_.clear();
        element_keys_.clear();
        zone_ = zone::files_pending;
      } else if (name == "config") {
        // A later "config" replaces an earlier one, as in a parsed object.
        head_cost_ = 0;
        config_seen_ = true;
        head_.restart();
        zone_ = zone::head;
      } else {
        zone_ = zone::passed_pending;
      }
      break;
    case zone::head:
      if (!charge(name.size())) return false;
      head_.key(name);
      break;
    case zone::files:
      element_key_ = name;
      break;
    case zone::entry:
      member_ = find_entry_key(name);
      break;
    case zone::files_pending:
    case zone::member_container:
    case zone::skipped:
    case zone::passed_pending:
    case zone::passed:
      break;
  }
  return true;
}

bool index_reader::end() {
  --depth_;
  switch (zone_) {
    case zone::head:
      head_.end();
      if (head_.done()) zone_ = zone::top;
      break;
    case zone::files:
      finish_files();
      zone_ = zone::top;
      break;
    case zone::passed:
      if (depth_ < nested_from_) zone_ = zone::top;
      break;
    case zone::top:
    case zone::passed_pending:
      break;
    case zone::entry:
      finish_entry();
      zone_ = zone::files;
      break;
    case zone::skipped:
      if (depth_ < nested_from_) zone_ = zone::files;
      break;
    case zone::member_container:
      if (depth_ < nested_from_) zone_ = zone::entry;
      break;
    case zone::files_pending:
      break;
  }
  return true;
}

void index_reader::add_element(const update_index::record* accepted, entry_problem problem) {
  if (accepted) {
    index_.records_.push_back(*accepted);
    index_.records_.back().element = static_cast<uint32_t>(index_.elements_);
  } else if (index_.problems_.size() < update_index::problems_kept) {
    index_.problems_.emplace_back(static_cast<uint32_t>(index_.elements_), problem);
  }
  ++index_.elements_;
  if (files_object_) element_keys_.push_back(element_key_);
}

void index_reader::finish_entry() {
  for (uint8_t k = 0; k < entry_key_count; ++k) {
    if (members_[k].type == kind::string) members_[k].text = texts_[k];
  }
  entry_texts accepted;
  entry_problem problem = entry_problem::none;
  if (!accept_entry_members(members_, signed_, accepted, &problem)) {
    add_element(nullptr, problem);
    return;
  }
  update_index::record r;
  r.offset = static_cast<uint32_t>(index_.text_.size());
  const std::string_view parts[update_index::string_count] = {
      accepted.local_path,  accepted.local_sha1,   accepted.remote_path,   accepted.pack,
      accepted.remote_sha1, accepted.local_sha256, accepted.remote_sha256, accepted.map_path,
      accepted.map_sha1,    accepted.map_sha256};
  for (size_t i = 0; i < update_index::string_count; ++i) {
    r.lengths[i] = static_cast<uint32_t>(parts[i].size());
    index_.text_.append(parts[i]);
  }
  r.local_size = accepted.local_size;
  r.remote_size = accepted.remote_size;
  r.map_size = accepted.map_size;
  add_element(&r);
}

void index_reader::finish_files() {
  if (!files_object_) return;
  // A parsed object holds its members in key order, one per key, the last
  // one written.
  auto& records = index_.records_;
  std::vector<size_t> order(element_keys_.size());
  std::iota(order.begin(), order.end(), size_t(0));
  std::stable_sort(order.begin(), order.end(),
                   [this](size_t a, size_t b) { return element_keys_[a] < element_keys_[b]; });
  std::vector<update_index::record> kept;
  std::vector<std::pair<uint32_t, entry_problem>> problems;
  size_t position = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    if (i + 1 < order.size() && element_keys_[order[i]] == element_keys_[order[i + 1]]) continue;
    const auto found = find_record(records, order[i]);
    if (found != records.end()) {
      kept.push_back(*found);
      kept.back().element = static_cast<uint32_t>(position);
    } else {
      for (const auto& [element, problem] : index_.problems_) {
        if (element == order[i]) problems.emplace_back(static_cast<uint32_t>(position), problem);
      }
    }
    ++position;
  }
  records = std::move(kept);
  index_.problems_ = std::move(problems);
  index_.elements_ = position;
  element_keys_.clear();
  files_object_ = false;
}

bool update_index::entry(size_t position, index_entry& entry) const {
  const auto found = find_record(records_, position);
  if (found == records_.end()) return false;
  const record& r = *found;
  std::string_view parts[string_count];
  size_t at = r.offset;
  for (size_t i = 0; i < string_count; ++i) {
    parts[i] = std::string_view(text_).substr(at, r.lengths[i]);
    at += r.lengths[i];
  }
  entry_texts texts;
  texts.local_path = parts[0];
  texts.local_sha1 = parts[1];
  texts.remote_path = parts[2];
  texts.pack = parts[3];
  texts.remote_sha1 = parts[4];
  texts.local_sha256 = parts[5];
  texts.remote_sha256 = parts[6];
  texts.map_path = parts[7];
  texts.map_sha1 = parts[8];
  texts.map_sha256 = parts[9];
  texts.local_size = r.local_size;
  texts.remote_size = r.remote_size;
  texts.map_size = r.map_size;
  fill_index_entry(texts, entry);
  return true;
}

bool update_index::parse(std::string_view bytes, bool signed_index, std::string* why) {
  if (!document_within_limits(bytes, why)) return false;
  if (bytes.size() > max_index_bytes) {
    if (why)
      *why = format_narrow("larger than %u MiB", static_cast<unsigned>(max_index_bytes >> 20));
    return false;
  }
  update_index read;
  // The texts of the entries are parts of the document: one block, never moved.
  read.text_.reserve(bytes.size());
  index_reader reader(read, signed_index);
  if (!json::sax_parse(bytes.begin(), bytes.end(), &reader)) {
    if (why) *why = reader.refusal() ? reader.refusal() : "not valid JSON";
    return false;
  }
  read.head_ = json::object();
  if (reader.has_config()) read.head_["config"] = reader.take_config();
  *this = std::move(read);
  return true;
}

entry_problem update_index::problem(size_t position) const {
  for (const auto& [element, problem] : problems_) {
    if (element == position) return problem;
  }
  return entry_problem::none;
}

bool update_index::parse_file(const std::wstring& path, bool signed_index, std::string* why) {
  std::string bytes;
  return read_document_file(path, bytes, why) && parse(bytes, signed_index, why);
}

}  // namespace tsl
