// The documents that pass between the patch maker and the launcher (version
// file, update index with its "config" block and "files" entries) and the
// ones the launcher keeps (session copy of the configuration). Readers never
// throw: a malformed document gives false and an English error text.
// Threading: reentrant.
#pragma once

#include <cstdint>
#include <string>
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
  uint32_t local_size = 0;   // "l_size"
  std::string remote_path;   // "r"
  uint64_t remote_size = 0;  // "r_size", whole: the most a download of the file may bring
  std::string pack;          // "r_pack" lower-cased, "none" when absent or empty
  std::string remote_sha1;   // "r_sha1" lower-cased, packed files only
  // "l_sha256" and "r_sha256" (packed files only), lower-cased; read only
  // from a signed index, where they replace the SHA-1 texts.
  std::string local_sha256;
  std::string remote_sha256;
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

// False for an entry to skip: a needed key missing or of the wrong type, or
// an "l" that would leave the game directory (absolute, drive letter, UNC
// prefix or a ".." component). `signed_index`: the SHA-256 members are
// needed too, and must be 64 hexadecimal digits.
bool read_index_entry(const json& value, index_entry& entry, bool signed_index = false);

// Why an entry's "l", safe as a relative path, still must not be written:
// it names one of the launcher's own files below `launcher_dir`, in any
// letter case or through a short alias on disk: anything below ".temp" (the
// session documents and the downloads) or the "old-" and "new-" copies of
// the launcher executable `exe_name`. Empty when it may be written.
std::wstring reserved_target_problem(const std::wstring& launcher_dir,
                                     const std::wstring& local_path, const std::wstring& exe_name);

// The elements of "files": an array's elements, an object's member values,
// one element for any other non-null value, none for null.
std::vector<const json*> index_files(const json& index);

// Writes the session copy of an accepted "config" block.
bool write_config_copy(const std::wstring& path, const json& config);

}  // namespace tsl
