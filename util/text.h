// Text and path helpers shared by every subsystem.
// Threading: all functions are reentrant and keep no state.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace tsl {

constexpr unsigned code_page_utf8 = 65001;

// Conversions never reject input: malformed UTF-8 becomes U+FFFD. Results end
// at the first zero unit. Texts of any length are converted in full.
std::wstring utf8_to_wide(const std::string& text);
std::string wide_to_narrow(const std::wstring& text, unsigned code_page);
std::string wide_to_utf8(const std::wstring& text);

// The line end of the platform's text files: "\r\n" on Windows, "\n" elsewhere.
extern const char line_end[];
// `when` as UTC calendar time, for strftime; false when it cannot be told.
bool utc_calendar_time(std::time_t when, std::tm& parts);

// One argument of the printf-style formatters. Type-safe, so the same format
// behaves alike on the Windows and glibc runtimes: %s and %S accept either a
// wide or a narrow text (converted as needed); %d %i %u %x %X %c take integers
// of the width they were given.
class format_arg {
 public:
  enum class kind { signed_int, unsigned_int, floating, wide_text, narrow_text };

  format_arg(int v) : kind_(kind::signed_int), bits_(32), s_(v) {}
  format_arg(long v) : kind_(kind::signed_int), bits_(8 * sizeof(long)), s_(v) {}
  format_arg(long long v) : kind_(kind::signed_int), bits_(64), s_(v) {}
  format_arg(unsigned v) : kind_(kind::unsigned_int), bits_(32), u_(v) {}
  format_arg(unsigned long v) : kind_(kind::unsigned_int), bits_(8 * sizeof(long)), u_(v) {}
  format_arg(unsigned long long v) : kind_(kind::unsigned_int), bits_(64), u_(v) {}
  format_arg(double v) : kind_(kind::floating), d_(v) {}
  format_arg(const wchar_t* v) : kind_(kind::wide_text), w_(v ? v : L"") {}
  format_arg(const std::wstring& v) : kind_(kind::wide_text), w_(v.c_str()) {}
  format_arg(const char* v) : kind_(kind::narrow_text), n_(v ? v : "") {}
  format_arg(const std::string& v) : kind_(kind::narrow_text), n_(v.c_str()) {}

  kind type() const { return kind_; }
  int bits() const { return bits_; }
  int64_t as_signed() const;
  uint64_t as_unsigned() const;
  double as_double() const;
  std::wstring as_wide() const;
  std::string as_narrow() const;

 private:
  kind kind_;
  int bits_ = 64;
  int64_t s_ = 0;
  uint64_t u_ = 0;
  double d_ = 0;
  const wchar_t* w_ = nullptr;
  const char* n_ = nullptr;
};

std::wstring format_wide_args(const wchar_t* format, const format_arg* args, size_t count);
std::string format_narrow_args(const char* format, const format_arg* args, size_t count);

template <typename... Args>
std::wstring format_wide(const wchar_t* format, const Args&... args) {
  const format_arg list[] = {format_arg(args)..., format_arg(0)};
  return format_wide_args(format, list, sizeof...(Args));
}

template <typename... Args>
std::string format_narrow(const char* format, const Args&... args) {
  const format_arg list[] = {format_arg(args)..., format_arg(0)};
  return format_narrow_args(format, list, sizeof...(Args));
}

// Comparison and case: only ASCII A-Z fold.
bool equals_ignore_case(std::string_view a, std::string_view b);
bool equals_ignore_case(std::wstring_view a, std::wstring_view b);
std::string to_lower_ascii(std::string text);
std::wstring to_lower_ascii(std::wstring text);
bool ends_with_ignore_case(const std::wstring& text, const std::wstring& suffix);

// Editing.
std::wstring replace_all(std::wstring text, const std::wstring& pattern,
                         const std::wstring& replacement);
// Removes leading and trailing white space: the C library's space class,
// plus the other units of the platform's wide space class in wide text.
// Bytes of 0x80 and above are never white space.
std::string& trim_spaces(std::string& text);
std::wstring& trim_spaces(std::wstring& text);
std::wstring join_strings(const std::vector<std::wstring>& parts, const std::wstring& separator);
std::vector<std::wstring> split_path(const std::wstring& path);
std::wstring file_name_of(const std::wstring& path);
std::wstring directory_of(const std::wstring& path);

// Paths. join_path with an empty directory returns the relative path alone.
std::wstring join_path(const std::wstring& directory, const std::wstring& relative);

// Path patterns: lower-cased, trimmed, the first '/' turned into '\', then
// matched piece by piece between backslashes with '*' and '?'.
std::wstring normalize_path_pattern(std::wstring pattern);
bool wildcard_match(const std::wstring& pattern, const std::wstring& text);
bool path_matches_pattern(const std::wstring& pattern, const std::wstring& path);

// Why Windows cannot hold one path component as a file or directory name of
// its own, in English ("reserved device name", ...); empty when it can. The
// same rules on every build, so a name is refused alike everywhere: empty,
// "." or "..", a device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$,
// CONOUT$, with or without an extension, any case), a trailing "." or blank,
// one of <>:"/\|?*, a control character, more than 255 UTF-16 units.
std::wstring windows_name_problem(const std::wstring& component);

// `path` followed by `suffix` (".temp", ".unp"), as a name for a file of our
// own beside or below the one it stands for. When the last component would
// pass the 255 UTF-16 units a Windows name may hold, its end gives way to
// "~" and eight hex digits of a hash of the whole component, so the name
// stays legal, stays the same on every build and every run, and two long
// names still get two names.
std::wstring path_with_suffix(const std::wstring& path, const std::wstring& suffix);

// Why a relative path from outside (an index entry, an input file) must not
// be joined to a directory; empty when it may. Beside the component rules it
// refuses absolute paths, drive letters, UNC and device prefixes and empty
// components; both '\' and '/' separate components.
std::wstring relative_path_problem(const std::wstring& path);
inline bool is_safe_relative_path(const std::wstring& path) {
  return relative_path_problem(path).empty();
}

}  // namespace tsl
