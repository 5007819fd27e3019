#include "util/text.h"

#include <algorithm>
#include <cwctype>
#include <cctype>
#include <cstdio>
#include <cwchar>

namespace tsl {

namespace {

template <typename C>
C fold(C c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<C>(c - 'A' + 'a') : c;
}

template <typename S>
bool equals_folded(const S& a, const S& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

template <typename S>
S lower(S text) {
  for (auto& c : text) c = fold(c);
  return text;
}

// One conversion directive: %[flags][width][.precision][length]conv.
struct spec {
  bool left = false, zero = false, plus = false, space = false, alt = false;
  int width = 0;
  int precision = -1;
  char conv = 0;
};

uint64_t truncate_unsigned(const format_arg& a) {
  uint64_t v = a.as_unsigned();
  if (a.bits() < 64) v &= (uint64_t{1} << a.bits()) - 1;
  return v;
}

int64_t truncate_signed(const format_arg& a) {
  int64_t v = a.as_signed();
  if (a.bits() == 32) v = static_cast<int32_t>(static_cast<uint32_t>(v));
  return v;
}

// Formats one integer or float into ASCII, honouring flags, width and precision.
std::string render_number(const spec& s, const format_arg& a) {
  std::string body;
  std::string sign;
  std::string prefix;
  char buf[128];
  switch (s.conv) {
    case 'd':
    case 'i': {
      int64_t v = truncate_signed(a);
      uint64_t mag = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
      std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(mag));
      body = buf;
      if (v < 0) {
        sign = "-";
      } else if (s.plus) {
        sign = "+";
      } else if (s.space) {
        sign = " ";
      }
      break;
    }
    case 'u':
    case 'x':
    case 'X':
    case 'o': {
      uint64_t v = truncate_unsigned(a);
      const char* f = s.conv == 'u'   ? "%llu"
                      : s.conv == 'x' ? "%llx"
                      : s.conv == 'X' ? "%llX"
                                      : "%llo";
      std::snprintf(buf, sizeof buf, f, static_cast<unsigned long long>(v));
      body = buf;
      if (s.alt && v != 0 && (s.conv == 'x' || s.conv == 'X')) prefix = s.conv == 'x' ? "0x" : "0X";
      break;
    }
    default: {  // f e g
      char f[16];
      std::snprintf(f, sizeof f, "%%%s.%d%c", s.alt ? "#" : "", s.precision < 0 ? 6 : s.precision,
                    s.conv);
      std::snprintf(buf, sizeof buf, f, a.as_double());
      body = buf;
      if (body[0] == '-') {
        sign = "-";
        body.erase(0, 1);
      } else if (s.plus) {
        sign = "+";
      } else if (s.space) {
        sign = " ";
      }
      break;
    }
  }
  bool integral = s.conv != 'f' && s.conv != 'e' && s.conv != 'g' && s.conv != 'E' && s.conv != 'G';
  if (integral && s.precision >= 0) {
    if (s.precision == 0 && body == "0") body.clear();
    if (static_cast<int>(body.size()) < s.precision) body.insert(0, s.precision - body.size(), '0');
  }
  size_t len = sign.size() + prefix.size() + body.size();
  std::string out;
  if (static_cast<int>(len) < s.width) {
    size_t pad = s.width - len;
    if (s.left) {
      out = sign + prefix + body + std::string(pad, ' ');
    } else if (s.zero && !(integral && s.precision >= 0)) {
      out = sign + prefix + std::string(pad, '0') + body;
    } else {
      out = std::string(pad, ' ') + sign + prefix + body;
    }
  } else {
    out = sign + prefix + body;
  }
  return out;
}

template <typename C, typename S>
void pad_append(S& out, const S& piece, const spec& s) {
  S text = piece;
  if (s.precision >= 0 && static_cast<int>(text.size()) > s.precision) text.resize(s.precision);
  if (static_cast<int>(text.size()) < s.width) {
    S pad(s.width - text.size(), C(' '));
    text = s.left ? text + pad : pad + text;
  }
  out += text;
}

template <typename C, typename S>
S format_core(const C* format, const format_arg* args, size_t count,
              S (*to_text)(const format_arg&), S (*from_ascii)(const std::string&)) {
  S out;
  if (!format) return out;
  size_t next = 0;
  for (const C* p = format; *p; ++p) {
    if (*p != C('%')) {
      out += *p;
      continue;
    }
    ++p;
    if (*p == C('%')) {
      out += C('%');
      continue;
    }
    spec s;
    for (;; ++p) {
      if (*p == C('-')) {
        s.left = true;
      } else if (*p == C('0')) {
        s.zero = true;
      } else if (*p == C('+')) {
        s.plus = true;
      } else if (*p == C(' ')) {
        s.space = true;
      } else if (*p == C('#')) {
        s.alt = true;
      } else {
        break;
      }
    }
    while (*p >= C('0') && *p <= C('9')) s.width = s.width * 10 + (*p++ - C('0'));
    if (*p == C('.')) {
      ++p;
      s.precision = 0;
      while (*p >= C('0') && *p <= C('9')) s.precision = s.precision * 10 + (*p++ - C('0'));
    }
    // Length modifiers carry no meaning here: the argument knows its width.
    while (*p == C('h') || *p == C('l') || *p == C('L') || *p == C('z') || *p == C('j') ||
           *p == C('t') || *p == C('q')) {
      ++p;
    }
    if (*p == C('I')) {
      ++p;
      while (*p == C('6') || *p == C('4') || *p == C('3') || *p == C('2')) ++p;
    }
    if (!*p) break;
    C conv = *p;
    if (next >= count) {
      // A format asking for more arguments than given prints nothing for them.
      continue;
    }
    const format_arg& a = args[next++];
    switch (conv) {
      case C('s'):
      case C('S'):
        pad_append<C>(out, to_text(a), s);
        break;
      case C('c'):
      case C('C'): {
        S one(1, static_cast<C>(a.as_unsigned()));
        pad_append<C>(out, one, s);
        break;
      }
      case C('d'):
      case C('i'):
      case C('u'):
      case C('x'):
      case C('X'):
      case C('o'):
      case C('f'):
      case C('F'):
      case C('e'):
      case C('E'):
      case C('g'):
      case C('G'):
        s.conv = static_cast<char>(conv == C('F') ? C('f') : conv);
        out += from_ascii(render_number(s, a));
        break;
      default:
        break;
    }
  }
  return out;
}

std::wstring wide_of(const format_arg& a) { return a.as_wide(); }
std::string narrow_of(const format_arg& a) { return a.as_narrow(); }
std::wstring widen_ascii(const std::string& s) { return std::wstring(s.begin(), s.end()); }
std::string keep_ascii(const std::string& s) { return s; }

}  // namespace

int64_t format_arg::as_signed() const {
  switch (kind_) {
    case kind::signed_int:
      return s_;
    case kind::unsigned_int:
      return static_cast<int64_t>(u_);
    case kind::floating:
      return static_cast<int64_t>(d_);
    default:
      return 0;
  }
}

uint64_t format_arg::as_unsigned() const {
  switch (kind_) {
    case kind::signed_int:
      return static_cast<uint64_t>(s_);
    case kind::unsigned_int:
      return u_;
    case kind::floating:
      return static_cast<uint64_t>(d_);
    default:
      return 0;
  }
}

double format_arg::as_double() const {
  switch (kind_) {
    case kind::signed_int:
      return static_cast<double>(s_);
    case kind::unsigned_int:
      return static_cast<double>(u_);
    case kind::floating:
      return d_;
    default:
      return 0;
  }
}

std::wstring format_arg::as_wide() const {
  if (kind_ == kind::wide_text) return w_;
  if (kind_ == kind::narrow_text) return utf8_to_wide(n_);
  return std::wstring();
}

std::string format_arg::as_narrow() const {
  if (kind_ == kind::narrow_text) return n_;
  if (kind_ == kind::wide_text) return wide_to_utf8(w_);
  return std::string();
}

std::wstring format_wide_args(const wchar_t* format, const format_arg* args, size_t count) {
  return format_core<wchar_t, std::wstring>(format, args, count, wide_of, widen_ascii);
}

std::string format_narrow_args(const char* format, const format_arg* args, size_t count) {
  return format_core<char, std::string>(format, args, count, narrow_of, keep_ascii);
}

std::string wide_to_utf8(const std::wstring& text) { return wide_to_narrow(text, code_page_utf8); }

bool equals_ignore_case(std::string_view a, std::string_view b) { return equals_folded(a, b); }
bool equals_ignore_case(std::wstring_view a, std::wstring_view b) { return equals_folded(a, b); }
std::string to_lower_ascii(std::string text) { return lower(std::move(text)); }
std::wstring to_lower_ascii(std::wstring text) { return lower(std::move(text)); }

bool ends_with_ignore_case(const std::wstring& text, const std::wstring& suffix) {
  if (text.size() < suffix.size()) return false;
  return equals_folded(std::wstring_view(text).substr(text.size() - suffix.size()),
                       std::wstring_view(suffix));
}

std::wstring replace_all(std::wstring text, const std::wstring& pattern,
                         const std::wstring& replacement) {
  if (pattern.empty()) return text;
  size_t pos = 0;
  while ((pos = text.find(pattern, pos)) != std::wstring::npos) {
    text.replace(pos, pattern.size(), replacement);
    pos += replacement.size();
  }
  return text;
}

namespace {

template <typename Text, typename IsSpace>
Text& trim_with(Text& text, IsSpace is_space) {
  size_t end = text.size();
  while (end > 0 && is_space(text[end - 1])) --end;
  text.erase(end);
  size_t begin = 0;
  while (begin < text.size() && is_space(text[begin])) ++begin;
  text.erase(0, begin);
  return text;
}

}  // namespace

std::string& trim_spaces(std::string& text) {
  return trim_with(text, [](char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u < 0x80 && std::isspace(u);
  });
}

std::wstring& trim_spaces(std::wstring& text) {
  return trim_with(text, [](wchar_t c) { return std::iswspace(static_cast<wint_t>(c)) != 0; });
}

std::wstring join_strings(const std::vector<std::wstring>& parts, const std::wstring& separator) {
  std::wstring out;
  for (const auto& part : parts) {
    if (!out.empty()) out += separator;
    out += part;
  }
  return out;
}

std::vector<std::wstring> split_path(const std::wstring& path) {
  std::vector<std::wstring> pieces;
  size_t start = 0;
  for (;;) {
    size_t pos = path.find(L'\\', start);
    if (pos == std::wstring::npos) {
      pieces.push_back(path.substr(start));
      return pieces;
    }
    pieces.push_back(path.substr(start, pos - start));
    start = pos + 1;
  }
}

std::wstring file_name_of(const std::wstring& path) {
  size_t pos = path.rfind(L'\\');
  if (pos == std::wstring::npos) pos = path.rfind(L'/');
  return pos == std::wstring::npos ? path : path.substr(pos + 1);
}

std::wstring directory_of(const std::wstring& path) {
  size_t pos = path.rfind(L'\\');
  if (pos == std::wstring::npos) pos = path.rfind(L'/');
  return pos == std::wstring::npos ? path : path.substr(0, pos);
}

std::wstring join_path(const std::wstring& directory, const std::wstring& relative) {
  if (directory.empty()) return relative;
  std::wstring out = directory;
  if (out.back() != L'\\' && (relative.empty() || relative.front() != L'\\')) out += L'\\';
  out += relative;
  return out;
}

std::wstring normalize_path_pattern(std::wstring pattern) {
  pattern = to_lower_ascii(std::move(pattern));
  trim_spaces(pattern);
  size_t slash = pattern.find(L'/');
  if (slash != std::wstring::npos) pattern[slash] = L'\\';
  return pattern;
}

namespace {

bool wildcard_match_view(std::wstring_view pattern, std::wstring_view text) {
  // Without a star the pattern can only match unit by unit.
  if (pattern.find(L'*') == std::wstring_view::npos) {
    if (pattern.size() != text.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
      if (pattern[i] != L'?' && pattern[i] != text[i]) return false;
    }
    return true;
  }
  // The rule, read from the end of the pattern: a '*' that is not last tries
  // the rest against every non-empty suffix of the text. One row of results
  // per pattern position, built from the last one back, keeps a mask of any
  // number of stars to |pattern| x |text| steps and off the call stack. The
  // rows of a name of ordinary length stay on the stack: every index entry
  // is matched against every mask.
  const size_t nt = text.size();
  constexpr size_t on_stack = 256;
  char later_buffer[on_stack + 1], here_buffer[on_stack + 1];
  std::vector<char> later_heap, here_heap;
  char* later = later_buffer;
  char* here = here_buffer;
  if (nt > on_stack) {
    later_heap.resize(nt + 1);
    here_heap.resize(nt + 1);
    later = later_heap.data();
    here = here_heap.data();
  }
  std::fill(later, later + nt + 1, 0);
  later[nt] = 1;
  for (size_t pi = pattern.size(); pi-- > 0;) {
    const wchar_t c = pattern[pi];
    bool any = false;
    if (c != L'*') {
      for (size_t ti = 0; ti < nt; ++ti) {
        here[ti] = (c == L'?' || c == text[ti]) && later[ti + 1];
        any = any || here[ti];
      }
      here[nt] = 0;
    } else if (pi + 1 == pattern.size()) {
      std::fill(here, here + nt + 1, 1);
      any = true;
    } else {
      char suffix = 0;
      here[nt] = 0;
      for (size_t ti = nt; ti-- > 0;) {
        suffix = suffix || later[ti];
        here[ti] = suffix;
      }
      any = suffix != 0;
    }
    if (!any) return false;
    std::swap(later, here);
  }
  return later[0] != 0;
}

}  // namespace

bool wildcard_match(const std::wstring& pattern, const std::wstring& text) {
  return wildcard_match_view(pattern, text);
}

bool path_matches_pattern(const std::wstring& pattern, const std::wstring& path) {
  // Piece by piece between backslashes, as split_path would cut them.
  const std::wstring_view p(pattern), t(path);
  size_t ps = 0, ts = 0;
  for (;;) {
    const size_t pe = p.find(L'\\', ps), te = t.find(L'\\', ts);
    if ((pe == std::wstring_view::npos) != (te == std::wstring_view::npos)) return false;
    if (!wildcard_match_view(p.substr(ps, pe - ps), t.substr(ts, te - ts))) return false;
    if (pe == std::wstring_view::npos) return true;
    ps = pe + 1;
    ts = te + 1;
  }
}

namespace {

constexpr size_t max_name_units = 255;

// UTF-16 units of one character: 16-bit wide text is UTF-16 already; 32-bit
// wide text takes two units for a character beyond the basic plane.
size_t utf16_units_of(wchar_t c) {
#if WCHAR_MAX > 0xFFFF
  return static_cast<uint32_t>(c) > 0xFFFF ? 2 : 1;
#else
  static_cast<void>(c);
  return 1;
#endif
}

size_t utf16_length(std::wstring_view text) {
  size_t units = 0;
  for (wchar_t c : text) units += utf16_units_of(c);
  return units;
}

bool is_device_name(std::wstring_view component) {
  // Windows maps these to devices whatever extension follows and ignores
  // blanks before the extension.
  std::wstring_view base = component.substr(0, component.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.remove_suffix(1);
  for (const wchar_t* name : {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"}) {
    if (equals_ignore_case(base, name)) return true;
  }
  if (base.size() == 4 && (equals_ignore_case(base.substr(0, 3), L"com") ||
                           equals_ignore_case(base.substr(0, 3), L"lpt"))) {
    wchar_t digit = base[3];
    // The superscript digits 1-3 name the same ports.
    return (digit >= L'0' && digit <= L'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
  }
  return false;
}

// Why a component cannot be a name; null when it can. Texts, not strings:
// every component of every index entry passes here.
const wchar_t* name_problem(std::wstring_view component) {
  if (component.empty()) return L"empty name";
  if (component == L"." || component == L"..") return L"names a directory itself";
  if (utf16_length(component) > max_name_units) return L"name longer than 255 characters";
  for (wchar_t c : component) {
    if (c < 0x20) return L"control character in name";
    if (std::wcschr(L"<>:\"/\\|?*", c)) return L"character that Windows names cannot hold";
  }
  if (component.back() == L'.' || component.back() == L' ') return L"name ends in a dot or a blank";
  if (is_device_name(component)) return L"reserved device name";
  return nullptr;
}

}  // namespace

std::wstring windows_name_problem(const std::wstring& component) {
  const wchar_t* problem = name_problem(component);
  return problem ? problem : std::wstring();
}

std::wstring path_with_suffix(const std::wstring& path, const std::wstring& suffix) {
  const size_t slash = path.find_last_of(L"\\/");
  const size_t start = slash == std::wstring::npos ? 0 : slash + 1;
  const std::wstring name = path.substr(start);
  const size_t suffix_units = utf16_length(suffix);
  if (utf16_length(name) + suffix_units <= max_name_units) return path + suffix;
  // FNV-1a over the UTF-8 form, the same on both builds.
  uint32_t hash = 2166136261u;
  for (unsigned char byte : wide_to_utf8(name)) hash = (hash ^ byte) * 16777619u;
  const std::wstring tag = format_wide(L"~%08x", hash);
  const size_t room = max_name_units - std::min(max_name_units, suffix_units + tag.size());
  size_t units = 0, kept = 0;
  while (kept < name.size()) {
    size_t next = utf16_units_of(name[kept]);
    // A surrogate pair (Windows) stays whole.
    const bool pair =
        next == 1 && kept + 1 < name.size() && name[kept] >= 0xD800 && name[kept] <= 0xDBFF;
    if (pair) next = 2;
    if (units + next > room) break;
    units += next;
    kept += pair ? 2 : 1;
  }
  return path.substr(0, start) + name.substr(0, kept) + tag + suffix;
}

std::wstring relative_path_problem(const std::wstring& path) {
  if (path.empty()) return L"empty path";
  if (path[0] == L'\\' || path[0] == L'/') return L"absolute path";
  if (path.size() >= 2 && path[1] == L':') return L"drive letter";
  const std::wstring_view view(path);
  size_t start = 0;
  for (;;) {
    const size_t end = view.find_first_of(L"\\/", start);
    if (const wchar_t* problem = name_problem(view.substr(start, end - start))) return problem;
    if (end == std::wstring_view::npos) return std::wstring();
    start = end + 1;
  }
}

}  // namespace tsl
