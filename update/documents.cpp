#include "update/documents.h"

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
  if (!v || !v->is_number()) return false;
  out = v->get<uint32_t>();
  return true;
}

bool read_u64(const json& object, const char* key, uint64_t& out) {
  const json* v = member(object, key);
  if (!v || !v->is_number()) return false;
  out = v->get<uint64_t>();
  return true;
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
bool nesting_within(const std::string& text, size_t limit) {
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

bool parse_json_file(const std::wstring& path, json& document, std::string* why) {
  auto refuse = [why](std::string reason) {
    if (why) *why = std::move(reason);
    return false;
  };
  const std::string too_large =
      format_narrow("larger than %u MiB", static_cast<unsigned>(max_document_bytes >> 20));
  uint64_t size = 0, time = 0;
  if (query_file_info(path, size, time) && size > max_document_bytes) return refuse(too_large);
  std::string bytes;
  if (!read_whole_file(path, bytes)) return refuse("not readable");
  if (bytes.size() > max_document_bytes) return refuse(too_large);  // it grew meanwhile
  if (!nesting_within(bytes, max_json_depth)) {
    return refuse(
        format_narrow("nested deeper than %u levels", static_cast<unsigned>(max_json_depth)));
  }
  json parsed = json::parse(bytes, nullptr, false);
  if (parsed.is_discarded()) return refuse("not valid JSON");
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
  version = v->get<int32_t>();
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

bool read_index_entry(const json& value, index_entry& entry, bool signed_index) {
  index_entry e;
  if (!value.is_object() || !read_string(value, "l", e.local_path) ||
      !read_string(value, "l_sha1", e.local_sha1) || !read_u32(value, "l_size", e.local_size) ||
      !read_string(value, "r", e.remote_path) || !read_u64(value, "r_size", e.remote_size)) {
    return false;
  }
  // An entry must never make the launcher write outside its own directory.
  if (!is_safe_relative_path(utf8_to_wide(e.local_path))) return false;
  e.local_sha1 = to_lower_ascii(e.local_sha1);
  const json* pack = member(value, "r_pack");
  if (is_empty_value(pack)) {
    e.pack = "none";
  } else if (pack->is_string()) {
    e.pack = to_lower_ascii(pack->get<std::string>());
  } else {
    return false;
  }
  if (e.pack != "none") {
    if (!read_string(value, "r_sha1", e.remote_sha1)) return false;
    e.remote_sha1 = to_lower_ascii(e.remote_sha1);
  }
  if (signed_index) {
    auto sha256 = [&value](const char* key, std::string& text) {
      if (!read_string(value, key, text) || text.size() != 64 ||
          text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return false;
      }
      text = to_lower_ascii(text);
      return true;
    };
    if (!sha256("l_sha256", e.local_sha256)) return false;
    if (e.pack != "none" && !sha256("r_sha256", e.remote_sha256)) return false;
  }
  entry = std::move(e);
  return true;
}

std::wstring reserved_target_problem(const std::wstring& launcher_dir,
                                     const std::wstring& local_path, const std::wstring& exe_name) {
  // Asked for every entry of the index: views, no copies.
  const std::wstring_view path(local_path);
  const size_t end = path.find_first_of(L"\\/");
  const std::wstring_view first = path.substr(0, end);
  // The name the first component has on disk, should it be a short alias
  // (the system makes them all with a '~').
  const std::wstring alias =
      first.find(L'~') == std::wstring_view::npos
          ? std::wstring()
          : file_name_of(long_path_name(join_path(launcher_dir, std::wstring(first))));
  const std::wstring_view on_disk = alias.empty() ? first : std::wstring_view(alias);
  auto names = [&](std::wstring_view reserved) {
    return equals_ignore_case(first, reserved) || equals_ignore_case(on_disk, reserved);
  };
  auto names_copy = [&](std::wstring_view name) {
    const std::wstring_view exe(exe_name);
    if (name.size() != 4 + exe.size() || !equals_ignore_case(name.substr(4), exe)) return false;
    return equals_ignore_case(name.substr(0, 4), L"old-") ||
           equals_ignore_case(name.substr(0, 4), L"new-");
  };
  if (names(L".temp")) return L"names the launcher's session directory";
  if (end == std::wstring_view::npos && (names_copy(first) || names_copy(on_disk))) {
    return L"names a copy of the launcher executable";
  }
  return std::wstring();
}

std::vector<const json*> index_files(const json& index) {
  std::vector<const json*> out;
  const json* files = member(index, "files");
  if (!files || files->is_null()) return out;
  if (files->is_array() || files->is_object()) {
    for (const auto& item : *files) out.push_back(&item);
  } else {
    out.push_back(files);
  }
  return out;
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
