#include "maker/maker_names.h"

#include <vector>

#include "util/text.h"

namespace tsl {

namespace {

bool is_surrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Lower case of one unit as Windows' case-insensitive compare sees it, for
// the scripts game files are named in.
wchar_t fold_unit(wchar_t unit) {
  const uint32_t c = static_cast<uint32_t>(unit);
  auto pair_lower = [c](bool upper_is_even) {
    return static_cast<wchar_t>(((c & 1) == 0) == upper_is_even ? c + 1 : c);
  };
  if (c >= L'A' && c <= L'Z') return static_cast<wchar_t>(c + 0x20);
  if (c < 0xC0) return unit;
  if (c <= 0xDE) return c == 0xD7 ? unit : static_cast<wchar_t>(c + 0x20);
  if (c >= 0x100 && c <= 0x12F) return pair_lower(true);
  if (c >= 0x132 && c <= 0x137) return pair_lower(true);
  if (c >= 0x139 && c <= 0x148) return pair_lower(false);
  if (c >= 0x14A && c <= 0x177) return pair_lower(true);
  if (c == 0x178) return 0xFF;
  if (c >= 0x179 && c <= 0x17E) return pair_lower(false);
  if (c == 0x386) return 0x3AC;
  if (c >= 0x388 && c <= 0x38A) return static_cast<wchar_t>(c + 0x25);
  if (c == 0x38C) return 0x3CC;
  if (c == 0x38E || c == 0x38F) return static_cast<wchar_t>(c + 0x3F);
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return static_cast<wchar_t>(c + 0x20);
  if (c >= 0x400 && c <= 0x40F) return static_cast<wchar_t>(c + 0x50);
  if (c >= 0x410 && c <= 0x42F) return static_cast<wchar_t>(c + 0x20);
  if (c >= 0x460 && c <= 0x481) return pair_lower(true);
  if (c >= 0x48A && c <= 0x4BF) return pair_lower(true);
  if (c == 0x4C0) return 0x4CF;
  if (c >= 0x4C1 && c <= 0x4CE) return pair_lower(false);
  if (c >= 0x4D0 && c <= 0x52F) return pair_lower(true);
  if (c >= 0xFF21 && c <= 0xFF3A) return static_cast<wchar_t>(c + 0x20);
  return unit;
}

const wchar_t index_owner[] = L"the update index";

}  // namespace

std::wstring input_name_problem(const std::wstring& component) {
  std::wstring problem = windows_name_problem(component);
  if (!problem.empty()) return problem;
  // A lone surrogate (possible in Windows names) has no UTF-8 form: the
  // index would name another file than the one published.
  for (size_t i = 0; i < component.size(); ++i) {
    const uint32_t c = static_cast<uint32_t>(component[i]);
    if (!is_surrogate(c)) continue;
    const bool high = c <= 0xDBFF;
    if (high && i + 1 < component.size() && is_surrogate(component[i + 1]) &&
        static_cast<uint32_t>(component[i + 1]) >= 0xDC00) {
      ++i;
      continue;
    }
    return L"name not valid Unicode";
  }
  return std::wstring();
}

std::wstring posix_name_problem(const std::string& name) {
  // The converter replaces what is not UTF-8; a name that does not come
  // back unchanged had such bytes.
  const std::wstring wide = utf8_to_wide(name);
  if (wide_to_utf8(wide) != name) return L"name not valid UTF-8";
  if (name.find('\\') != std::string::npos) return L"backslash in name";
  return input_name_problem(wide);
}

std::wstring printable_name(const std::string& name) {
  std::wstring out;
  size_t i = 0;
  while (i < name.size()) {
    // The longest prefix of one character that converts back unchanged.
    size_t length = 1;
    const unsigned char lead = static_cast<unsigned char>(name[i]);
    if (lead >= 0xF0) {
      length = 4;
    } else if (lead >= 0xE0) {
      length = 3;
    } else if (lead >= 0xC0) {
      length = 2;
    }
    const std::string piece = name.substr(i, length);
    const std::wstring wide = utf8_to_wide(piece);
    if (lead >= 0x20 && lead != 0x7F && piece.size() == length && wide.size() == 1 &&
        wide_to_utf8(wide) == piece) {
      out += wide;
      i += length;
    } else {
      out += format_wide(L"\\x%02X", unsigned{lead});
      ++i;
    }
  }
  return out;
}

std::wstring windows_case_fold(std::wstring text) {
  for (auto& unit : text) unit = fold_unit(unit);
  return text;
}

std::string bad_name_line(const std::wstring& path, const std::wstring& reason) {
  // A line feed in a name must not split the console line.
  std::wstring shown;
  for (wchar_t c : path) {
    if (static_cast<uint32_t>(c) < 0x20 || c == 0x7F) {
      shown += format_wide(L"\\x%02X", static_cast<unsigned>(c));
    } else {
      shown += c;
    }
  }
  return format_narrow("!!! Name no launcher can install, left out: %S (%S)\n", shown, reason);
}

std::string directory_link_line(const std::wstring& path) {
  return format_narrow("!!! Directory link not followed: %S\n", path);
}

std::string unlistable_directory_line(const std::wstring& path) {
  return format_narrow("!!! Error listing directory: %S\n", path);
}

published_names::published_names() {
  // The signature too: a file of that name would be overwritten by it, or
  // overwrite it.
  for (const wchar_t* name : {L"index.json", L"index.json.lzma2", L"index.json.sig"}) {
    owners_[name] = {index_owner, false};
  }
}

std::wstring published_names::claim(const std::wstring& key_path, const std::wstring& owner) {
  const std::wstring plain = windows_case_fold(key_path);
  const std::wstring packed = plain + L".lzma2";
  const std::wstring names[] = {plain, packed, plain + L".chunkmap", packed + L".chunkmap"};
  for (const std::wstring& name : names) {
    auto it = owners_.find(name);
    if (it != owners_.end()) return it->second.owner;
  }
  // A directory above the file must not be a published file, and the
  // other way round: "x" packed is "x.lzma2", which a file "x.lzma2\y"
  // would need as a directory.
  std::vector<std::wstring> directories;
  for (size_t at = plain.find(L'\\'); at != std::wstring::npos; at = plain.find(L'\\', at + 1)) {
    directories.push_back(plain.substr(0, at));
    auto it = owners_.find(directories.back());
    if (it != owners_.end() && !it->second.directory) return it->second.owner;
  }
  // A file "x.lzma2" claims "x.lzma2" and "x.lzma2.lzma2"; a later "x"
  // then finds "x.lzma2" taken, whichever of the two was packed.
  for (const std::wstring& name : names) owners_[name] = {owner, false};
  for (const std::wstring& directory : directories)
    owners_.emplace(directory, claim_of{owner, true});
  return std::wstring();
}

std::string name_collision_line(const std::wstring& path, const std::wstring& earlier) {
  return format_narrow("!!! Name collision, left out: %S (same published name as %S)\n", path,
                       earlier);
}

}  // namespace tsl
