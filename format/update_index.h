// The update index as the launcher keeps it while it checks the files:
// everything but "files" as a JSON value, and the elements of "files" as
// compact records in one block of text. An index of 20,000 entries read
// into a JSON tree costs a map node and several strings per member, which
// took longer than checking the files it lists.
// Threading: reentrant; one object per thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/documents.h"

namespace tsl {

// No index the launcher takes is larger: it is read, verified and parsed in
// memory, and all of that must fit beside everything else in the 2 GiB of
// the 32-bit product (an entry is about 170 bytes, so this holds some
// 400,000 files). The maker refuses to publish a larger one.
constexpr uint64_t max_index_bytes = 64u << 20;
// The "config" block is read as a JSON value, which costs several times
// its text: beyond about this much text it is refused.
constexpr uint64_t max_config_cost = 4u << 20;

class update_index {
 public:
  // The document's "config" member alone (what else the top level holds is
  // passed over).
  const json& head() const { return head_; }
  // The elements of "files" as read_index_entry sees them: an array's
  // elements, an object's member values in key order, one element for any
  // other non-null value, none for null or absence.
  size_t size() const { return elements_; }
  // False for an element to skip (the rules of read_index_entry, with the
  // SHA-256 members needed when the index was read as signed). `entry`
  // keeps the capacity of its strings, so a walk reusing one allocates
  // nothing per element.
  bool entry(size_t position, index_entry& entry) const;
  // Why the element at `position` is skipped, for the first few skipped
  // ones; entry_problem::none for the others and for accepted elements.
  entry_problem problem(size_t position) const;

  // Reads a whole document of at most max_index_bytes whose top level is an
  // object, nested no deeper than max_json_depth and with a "config" of at
  // most max_config_cost; false with `why` ("not valid JSON", "not an
  // object", ...) otherwise, leaving this object as it was.
  bool parse(std::string_view bytes, bool signed_index, std::string* why = nullptr);
  bool parse_file(const std::wstring& path, bool signed_index, std::string* why = nullptr);

 private:
  friend class index_reader;
  // Only accepted elements have a record, in the order of their positions:
  // an element to skip costs nothing, so "files" of a million zeros takes
  // no more memory than its text. The strings of an accepted element lie
  // one after the other in `text_` from `offset`, in the order of
  // index_entry's members.
  static constexpr size_t string_count = 10;
  struct record {
    uint32_t element = 0;  // the position
    uint32_t offset = 0;
    uint32_t lengths[string_count] = {};
    uint64_t local_size = 0;
    uint64_t remote_size = 0;
    uint64_t map_size = 0;
  };

  // Reasons are kept for so many skipped elements: enough for the support
  // log, which names the first 20.
  static constexpr size_t problems_kept = 32;

  json head_;
  size_t elements_ = 0;
  std::vector<std::pair<uint32_t, entry_problem>> problems_;
  std::vector<record> records_;
  std::string text_;
};

}  // namespace tsl
