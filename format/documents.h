// The documents that pass between the patch maker and the launcher (version
// file, update index with its "config" block and "files" entries) and the
// ones the launcher keeps (session copy of the configuration). Readers never
// throw: a malformed document gives false and an English error text.
// Threading: reentrant.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

namespace tsl {

using json = nlohmann::json;

// Compact plus one newline (version file, index) and 4-space indentation
// plus one newline (configuration, caches). Keys come out in ascending byte
// order. Invalid UTF-8 inside strings is replaced rather than thrown.
std::string json_compact_line(const json& document);
std::string json_pretty_line(const json& document);

// Every document the program reads is far below these: beyond them a file
// is refused before it is parsed, since a deep one would exhaust the stack
// of whatever walks it and grow with the square of its depth when printed
// with indentation.
constexpr size_t max_json_depth = 64;
constexpr uint64_t max_document_bytes = 256u << 20;

// Parses a whole file. False when it is missing, unreadable, too large, too
// deep or not JSON; `why` then says which ("not valid JSON", "nested deeper
// than 64 levels", ...).
bool parse_json_file(const std::wstring& path, json& document, std::string* why = nullptr);
// The same for a document in memory.
bool parse_json_text(std::string_view bytes, json& document, std::string* why = nullptr);

// Builds a JSON value from the events of a streaming reader, for the parts
// of a document that such a reader keeps as they are. Later duplicate keys
// replace earlier ones, as in a parsed document.
class json_builder {
 public:
  explicit json_builder(json& root) : root_(root) {}
  void value(json&& v) { place(std::move(v)); }
  void start(bool object) { open_.push_back(place(object ? json::object() : json::array())); }
  void key(const std::string& name) { slot_ = &(*open_.back())[name]; }
  void end() { open_.pop_back(); }
  bool done() const { return open_.empty(); }
  // Drops what was built: the next value becomes the root.
  void restart() {
    root_ = json();
    open_.clear();
  }

 private:
  json* place(json&& v);

  json& root_;
  std::vector<json*> open_;  // the containers still open, innermost last
  json* slot_ = nullptr;     // the member the last key named
};

// The checks parse_json_file makes before it parses (size, nesting), for
// the readers that parse as they go; false with `why` when one fails.
bool document_within_limits(std::string_view bytes, std::string* why);
// A whole file's bytes, refused early when it is too large.
bool read_document_file(const std::wstring& path, std::string& bytes, std::string* why);

// A JSON number as an unsigned value of type T: false for anything that is
// not a number, a negative number and one beyond T, a fraction included
// (whose conversion would be undefined); a fraction within it is cut to its
// whole part.
template <typename T>
bool read_whole_number(const json& number, T& out) {
  static_assert(std::is_unsigned_v<T>);
  constexpr uint64_t most = std::numeric_limits<T>::max();
  if (number.is_number_unsigned()) {
    if (number.get<uint64_t>() > most) return false;
  } else if (number.is_number_integer()) {
    if (number.get<int64_t>() < 0 || static_cast<uint64_t>(number.get<int64_t>()) > most) {
      return false;
    }
  } else if (number.is_number_float()) {
    const double d = number.get<double>();
    const double limit = 2.0 * static_cast<double>(uint64_t{1} << (8 * sizeof(T) - 1));
    if (!(d >= 0 && d < limit)) return false;
  } else {
    return false;
  }
  out = number.get<T>();
  return true;
}

// Version file: {"gameupdate":N}.
json make_version_document(uint32_t gameupdate);
bool read_gameupdate(const json& version, uint32_t& gameupdate, std::wstring& error);

// The "config" block of an index, validated in order: empty, version,
// is_valid_config, GUID. The error is one of the four texts, or a text for a
// block whose members have the wrong type.
bool validate_remote_config(const json& index, const std::wstring& guid, int32_t& version,
                            std::wstring& error);
bool is_valid_config(const json& config, int32_t version);

// Update base URLs of an accepted block: "host" for version 1, "hosts" for
// version 2 and above, as written (no "/" added here).
bool read_config_hosts(const json& config, int32_t version, std::vector<std::string>& hosts,
                       std::wstring& error);

struct acceptable_checksum {
  std::string file;
  std::vector<std::string> checksums;
};

struct check_rules {
  std::vector<std::string> soft_check;
  std::vector<std::string> hard_check;
  std::vector<acceptable_checksum> acceptable;  // version 3 and above only
};

bool read_check_rules(const json& config, int32_t version, check_rules& rules, std::wstring& error);

// One element of "files", as the file check needs it.
struct index_entry {
  std::string local_path;    // "l"
  std::string local_sha1;    // "l_sha1", lower-cased
  uint64_t local_size = 0;   // "l_size"
  std::string remote_path;   // "r"
  uint64_t remote_size = 0;  // "r_size", whole: the most a download of the file may bring
  std::string pack;          // "r_pack" lower-cased: "none" (also when absent or empty) or "lzma2"
  std::string remote_sha1;   // "r_sha1" lower-cased, packed files only
  // "l_sha256" and "r_sha256" (packed files only), lower-cased; read only
  // from a signed index, where they replace the SHA-1 texts.
  std::string local_sha256;
  std::string remote_sha256;
  // The chunk map of the published file (format/chunk_map.h): "m", its path
  // below the base URL as "r" is; "m_size"; "m_sha1" and, in a signed
  // index, "m_sha256", lower-cased. Optional: all empty (and the size 0)
  // when the entry has none or any of them is malformed; the file is then
  // fetched whole, as by a launcher that knows no maps.
  std::string map_path;
  uint64_t map_size = 0;
  std::string map_sha1;
  std::string map_sha256;
  bool has_map() const { return !map_path.empty(); }
  // The digest a downloaded file must have.
  const std::string& expected_sha1() const { return pack == "none" ? local_sha1 : remote_sha1; }
  const std::string& expected_sha256() const {
    return pack == "none" ? local_sha256 : remote_sha256;
  }
};

// The "r" text of a published file from its relative path: '\' becomes '/',
// and the characters a URL path cannot carry as they stand (blank, '#', '%',
// '?') are escaped. unescape_remote_path is its inverse.
std::wstring escape_remote_path(const std::wstring& relative);
std::wstring unescape_remote_path(const std::wstring& remote);

// The rules an element of "files" must meet, for the index reader, which
// never builds the element as a JSON value: it hands over each member it
// found (later duplicates replace earlier ones, as in a JSON object). An
// element is skipped when a needed key is missing, of the wrong type or out
// of range, when its "l" would leave the game directory (absolute, drive
// letter, UNC prefix or a ".." component), when its pack method is not one
// the launcher decodes, and, for a signed index, when a SHA-256 member is
// not 64 hexadecimal digits.
struct entry_member {
  enum class kind : uint8_t { absent, null, empty_container, other, string, number };
  kind type = kind::absent;
  std::string_view text;  // kind::string
  json number;            // kind::number
};
enum entry_key : uint8_t {
  key_l,
  key_l_sha1,
  key_l_size,
  key_r,
  key_r_size,
  key_r_pack,
  key_r_sha1,
  key_l_sha256,
  key_r_sha256,
  key_m,
  key_m_size,
  key_m_sha1,
  key_m_sha256,
  entry_key_count
};
// The key's slot, or entry_key_count for a key the launcher does not read.
entry_key find_entry_key(std::string_view key);

// An accepted element before its digests and pack name are lower-cased:
// views of the members' texts in the order of index_entry ("none" for an
// absent pack, empty for members not read).
struct entry_texts {
  std::string_view local_path, local_sha1, remote_path, pack, remote_sha1, local_sha256,
      remote_sha256, map_path, map_sha1, map_sha256;
  uint64_t local_size = 0;
  uint64_t remote_size = 0;
  uint64_t map_size = 0;
};
// Why an element is skipped.
enum class entry_problem : uint8_t {
  none,
  not_an_object,
  member,
  unsafe_path,
  unknown_pack,
  sha256
};
const wchar_t* entry_problem_text(entry_problem problem);
bool accept_entry_members(const entry_member (&members)[entry_key_count], bool signed_index,
                          entry_texts& accepted, entry_problem* why = nullptr);
// Fills `entry` from accepted texts, reusing the capacity of its strings.
void fill_index_entry(const entry_texts& accepted, index_entry& entry);

// Writes the session copy of an accepted "config" block.
bool write_config_copy(const std::wstring& path, const json& config);

}  // namespace tsl
