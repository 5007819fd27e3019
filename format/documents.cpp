#include "format/documents.h"

#include "util/file_system.h"
#include "util/text.h"

namespace tsl {

namespace {

// Absent, null, {} and [] all count as "nothing there".
bool is_empty_value(const json* value) {
  return !value || value->is_null() ||
         ((value->is_object() || value->is_array()) && value->empty());
}

const json* member(const json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

bool read_string(const json& object, const char* key, std::string& out) {
  const json* v = member(object, key);
  if (!v || !v->is_string()) return false;
  out = v->get<std::string>();
  return true;
}

bool read_u32(const json& object, const char* key, uint32_t& out) {
  const json* v = member(object, key);
  return v && read_whole_number(*v, out);
}

bool read_string_array(const json& config_check, const char* key, std::vector<std::string>& out,
                       std::wstring& error) {
  const json* list = member(config_check, key);
  if (!list || list->is_null()) return true;
  if (!list->is_array()) {
    error = format_wide(L"Remote config \"%s\" is not an array", key);
    return false;
  }
  for (const auto& item : *list) {
    if (!item.is_string()) {
      error = format_wide(L"Remote config \"%s\" holds a mask that is not a string", key);
      return false;
    }
    out.push_back(item.get<std::string>());
  }
  return true;
}

// Characters of a name that cannot stand as they are in the "r" text the
// launcher appends to a URL. Blanks are the common case; '%' must be escaped
// too, or a name holding "%20" would be read back as a blank, and '#' and
// '?' would end the path part of the URL.
struct url_escape {
  wchar_t character;
  const wchar_t* text;
};
const url_escape url_escapes[] = {{L' ', L"%20"}, {L'#', L"%23"}, {L'%', L"%25"}, {L'?', L"%3F"}};

// True when no array or object in the text nests deeper than `limit`;
// brackets inside strings do not count. Malformed text is the parser's to
// refuse.
bool nesting_within(std::string_view text, size_t limit) {
  size_t depth = 0;
  bool in_string = false, escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

}  // namespace

std::string json_compact_line(const json& document) {
  return document.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string json_pretty_line(const json& document) {
  return document.dump(4, ' ', false, json::error_handler_t::replace) + "\n";
}

json* json_builder::place(json&& v) {
  if (open_.empty()) {
    root_ = std::move(v);
    return &root_;
  }
  json& container = *open_.back();
  if (container.is_array()) {
    container.push_back(std::move(v));
    return &container.back();
  }
  *slot_ = std::move(v);
  return slot_;
}

namespace {
bool refuse(std::string* why, std::string reason) {
  if (why) *why = std::move(reason);
  return false;
}
std::string too_large_text() {
  return format_narrow("larger than %u MiB", static_cast<unsigned>(max_document_bytes >> 20));
}
}  // namespace

bool read_document_file(const std::wstring& path, std::string& bytes, std::string* why) {
  uint64_t size = 0, time = 0;
  if (query_file_info(path, size, time) && size > max_document_bytes) {
    return refuse(why, too_large_text());
  }
  if (!read_whole_file(path, bytes)) return refuse(why, "not readable");
  return true;
}

bool document_within_limits(std::string_view bytes, std::string* why) {
  if (bytes.size() > max_document_bytes) return refuse(why, too_large_text());  // it grew meanwhile
  if (!nesting_within(bytes, max_json_depth)) {
    return refuse(
        why, format_narrow("nested deeper than %u levels", static_cast<unsigned>(max_json_depth)));
  }
  return true;
}

bool parse_json_file(const std::wstring& path, json& document, std::string* why) {
  std::string bytes;
  return read_document_file(path, bytes, why) && parse_json_text(bytes, document, why);
}

bool parse_json_text(std::string_view bytes, json& document, std::string* why) {
  if (!document_within_limits(bytes, why)) return false;
  json parsed = json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (parsed.is_discarded()) return refuse(why, "not valid JSON");
  document = std::move(parsed);
  return true;
}

json make_version_document(uint32_t gameupdate) {
  json v = json::object();
  v["gameupdate"] = gameupdate;
  return v;
}

bool read_gameupdate(const json& version, uint32_t& gameupdate, std::wstring& error) {
  if (!version.is_object()) {
    error = L"Version file is not an object";
    return false;
  }
  if (!read_u32(version, "gameupdate", gameupdate)) {
    error = L"Version file has no numeric \"gameupdate\"";
    return false;
  }
  return true;
}

bool is_valid_config(const json& config, int32_t version) {
  if (!config.is_object() || is_empty_value(member(config, "guid"))) return false;
  if (version == 1) return !is_empty_value(member(config, "host"));
  const json* hosts = member(config, "hosts");
  return hosts && hosts->is_array() && !hosts->empty();
}

bool validate_remote_config(const json& index, const std::wstring& guid, int32_t& version,
                            std::wstring& error) {
  if (!index.is_object()) {
    error = L"Update index is not an object";
    return false;
  }
  const json* config = member(index, "config");
  if (is_empty_value(config)) {
    error = L"Remote update config is empty";
    return false;
  }
  const json* v = config->is_object() ? member(*config, "version") : nullptr;
  if (!v || !v->is_number()) {
    error = L"Remote config \"version\" is not a number";
    return false;
  }
  // A fraction beyond the 32-bit range has no defined conversion.
  const bool in_range = !v->is_number_float() ||
                        (v->get<double>() > -2147483649.0 && v->get<double>() < 2147483648.0);
  // So does a whole number beyond it, which would wrap.
  const bool whole_in_range =
      v->is_number_float() ||
      (v->is_number_unsigned() ? v->get<uint64_t>() <= INT32_MAX
                               : v->get<int64_t>() >= INT32_MIN && v->get<int64_t>() <= INT32_MAX);
  version = in_range && whole_in_range ? v->get<int32_t>() : 0;
  if (version < 1) {
    error = L"Invalid version number";
    return false;
  }
  if (!is_valid_config(*config, version)) {
    error = L"Remote config is invalid";
    return false;
  }
  const json& g = (*config)["guid"];
  if (!g.is_string() || !equals_ignore_case(utf8_to_wide(g.get<std::string>()), guid)) {
    error = L"GUID mismatch";
    return false;
  }
  return true;
}

bool read_config_hosts(const json& config, int32_t version, std::vector<std::string>& hosts,
                       std::wstring& error) {
  hosts.clear();
  if (version == 1) {
    std::string host;
    if (!read_string(config, "host", host)) {
      error = L"Remote config \"host\" is not a string";
      return false;
    }
    hosts.push_back(host);
    return true;
  }
  for (const auto& item : config["hosts"]) {
    if (!item.is_string()) {
      error = L"Remote config \"hosts\" holds a host that is not a string";
      return false;
    }
    hosts.push_back(item.get<std::string>());
  }
  return true;
}

bool read_check_rules(const json& config, int32_t version, check_rules& rules,
                      std::wstring& error) {
  rules = check_rules();
  const json* check = member(config, "check");
  if (!check || check->is_null()) return true;
  if (!check->is_object()) {
    error = L"Remote config \"check\" is not an object";
    return false;
  }
  if (!read_string_array(*check, "soft_check", rules.soft_check, error) ||
      !read_string_array(*check, "hard_check", rules.hard_check, error)) {
    return false;
  }
  if (version < 3) return true;
  const json* list = member(*check, "acceptable_checksums");
  if (!list || list->is_null()) return true;
  if (!list->is_array()) {
    error = L"Remote config \"acceptable_checksums\" is not an array";
    return false;
  }
  for (const auto& element : *list) {
    const json* sums = member(element, "checksums");
    if (!sums || !sums->is_array()) continue;  // ignored, as the publisher may rely on
    acceptable_checksum item;
    if (!read_string(element, "file", item.file)) {
      error = L"Remote config acceptable checksum \"file\" is not a string";
      return false;
    }
    for (const auto& sum : *sums) {
      if (!sum.is_string()) {
        error = L"Remote config acceptable checksum is not a string";
        return false;
      }
      item.checksums.push_back(sum.get<std::string>());
    }
    rules.acceptable.push_back(std::move(item));
  }
  return true;
}

entry_key find_entry_key(std::string_view key) {
  static constexpr std::string_view names[entry_key_count] = {
      "l",        "l_sha1",   "l_size", "r",      "r_size", "r_pack",  "r_sha1",
      "l_sha256", "r_sha256", "m",      "m_size", "m_sha1", "m_sha256"};
  for (uint8_t i = 0; i < entry_key_count; ++i) {
    if (names[i] == key) return static_cast<entry_key>(i);
  }
  return entry_key_count;
}

const wchar_t* entry_problem_text(entry_problem problem) {
  switch (problem) {
    case entry_problem::none:
      break;
    case entry_problem::not_an_object:
      return L"not an object";
    case entry_problem::member:
      return L"a key is missing, of the wrong type or out of range";
    case entry_problem::unsafe_path:
      return L"\"l\" leaves the game directory";
    case entry_problem::unknown_pack:
      return L"an unknown \"r_pack\"";
    case entry_problem::sha256:
      return L"a SHA-256 text is missing or malformed";
  }
  return L"";
}

bool accept_entry_members(const entry_member (&m)[entry_key_count], bool signed_index,
                          entry_texts& accepted, entry_problem* why) {
  using kind = entry_member::kind;
  auto refuse = [why](entry_problem problem) {
    if (why) *why = problem;
    return false;
  };
  auto text = [&m](entry_key key, std::string_view& out) {
    if (m[key].type != kind::string) return false;
    out = m[key].text;
    return true;
  };
  entry_texts e;
  if (!text(key_l, e.local_path) || !text(key_l_sha1, e.local_sha1) ||
      m[key_l_size].type != kind::number ||
      !read_whole_number(m[key_l_size].number, e.local_size) || !text(key_r, e.remote_path) ||
      m[key_r_size].type != kind::number ||
      !read_whole_number(m[key_r_size].number, e.remote_size)) {
    return refuse(entry_problem::member);
  }
  // An entry must never make the launcher write outside its own directory.
  if (!is_safe_relative_path(utf8_to_wide(std::string(e.local_path)))) {
    return refuse(entry_problem::unsafe_path);
  }
  const kind pack = m[key_r_pack].type;
  if (pack == kind::absent || pack == kind::null || pack == kind::empty_container) {
    e.pack = "none";
  } else if (!text(key_r_pack, e.pack)) {
    return refuse(entry_problem::member);
  }
  // Only methods the launcher can decode: the method also ends the name a
  // download is kept under, so anything else could name any file.
  const bool packed = !equals_ignore_case(e.pack, "none");
  if (packed && !equals_ignore_case(e.pack, "lzma2")) return refuse(entry_problem::unknown_pack);
  if (packed && !text(key_r_sha1, e.remote_sha1)) return refuse(entry_problem::member);
  auto sha256 = [&text](entry_key key, std::string_view& out) {
    return text(key, out) && out.size() == 64 &&
           out.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
  };
  if (signed_index) {
    if (!sha256(key_l_sha256, e.local_sha256)) return refuse(entry_problem::sha256);
    if (packed && !sha256(key_r_sha256, e.remote_sha256)) return refuse(entry_problem::sha256);
  }
  // A chunk map only saves bytes: one whose members are not all there and
  // well formed is no map, and the file is fetched whole.
  entry_texts map;
  if (text(key_m, map.map_path) && !map.map_path.empty() && m[key_m_size].type == kind::number &&
      read_whole_number(m[key_m_size].number, map.map_size) && text(key_m_sha1, map.map_sha1) &&
      (!signed_index || sha256(key_m_sha256, map.map_sha256))) {
    e.map_path = map.map_path;
    e.map_size = map.map_size;
    e.map_sha1 = map.map_sha1;
    e.map_sha256 = map.map_sha256;
  }
  accepted = e;
  return true;
}

void fill_index_entry(const entry_texts& accepted, index_entry& entry) {
  auto lower = [](std::string& out, std::string_view in) {
    out.assign(in);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
  };
  entry.local_path.assign(accepted.local_path);
  lower(entry.local_sha1, accepted.local_sha1);
  entry.local_size = accepted.local_size;
  entry.remote_path.assign(accepted.remote_path);
  entry.remote_size = accepted.remote_size;
  lower(entry.pack, accepted.pack);
  lower(entry.remote_sha1, accepted.remote_sha1);
  lower(entry.local_sha256, accepted.local_sha256);
  lower(entry.remote_sha256, accepted.remote_sha256);
  entry.map_path.assign(accepted.map_path);
  entry.map_size = accepted.map_size;
  lower(entry.map_sha1, accepted.map_sha1);
  lower(entry.map_sha256, accepted.map_sha256);
}

std::wstring escape_remote_path(const std::wstring& relative) {
  std::wstring out;
  out.reserve(relative.size());
  for (wchar_t c : relative) {
    if (c == L'\\') {
      out += L'/';
      continue;
    }
    const wchar_t* escaped = nullptr;
    for (const auto& e : url_escapes) {
      if (e.character == c) escaped = e.text;
    }
    if (escaped) {
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

std::wstring unescape_remote_path(const std::wstring& remote) {
  std::wstring out;
  out.reserve(remote.size());
  for (size_t i = 0; i < remote.size(); ++i) {
    wchar_t c = remote[i];
    if (c == L'/') {
      out += L'\\';
      continue;
    }
    bool decoded = false;
    if (c == L'%' && i + 2 < remote.size()) {
      for (const auto& e : url_escapes) {
        if (equals_ignore_case(remote.substr(i, 3), std::wstring(e.text))) {
          out += e.character;
          i += 2;
          decoded = true;
          break;
        }
      }
    }
    if (!decoded) out += c;
  }
  return out;
}

bool write_config_copy(const std::wstring& path, const json& config) {
  const std::string bytes = json_pretty_line(config);
  // Every run writes it: the same configuration as last time costs no
  // rewrite and no flush.
  std::string held;
  if (read_whole_file(path, held) && held == bytes) return true;
  return write_file_atomic(path, bytes);
}

}  // namespace tsl
