#include "util/command_line.h"

namespace tsl {

std::vector<std::wstring> split_command_line(const std::wstring& command_line) {
  std::vector<std::wstring> arguments;
  std::wstring current;
  bool in_quotes = false;
  bool backslash_pending = false;
  for (wchar_t c : command_line) {
    if (c == L'"') {
      if (backslash_pending) {
        current += L'"';
        backslash_pending = false;
      } else {
        in_quotes = !in_quotes;
      }
    } else if (in_quotes) {
      current += c;
    } else if (c == L' ') {
      if (!current.empty()) {
        arguments.push_back(current);
        current.clear();
      }
    } else if (c == L'\\') {
      // A second backslash while one is pending is kept as a literal
      // backslash, so "a\\b" written by quote_argument survives a round trip.
      if (backslash_pending) {
        current += L'\\';
        backslash_pending = false;
      } else {
        backslash_pending = true;
      }
    } else {
      current += c;
      backslash_pending = false;
    }
  }
  if (!current.empty()) arguments.push_back(current);
  return arguments;
}

std::wstring quote_argument(const std::wstring& argument) {
  // Inside quotes everything but '"' is literal; a quote is written outside
  // them as \".
  std::wstring out = L"\"";
  for (wchar_t c : argument) {
    if (c == L'"') {
      out += L"\"\\\"\"";
    } else {
      out += c;
    }
  }
  out += L'"';
  return out;
}

}  // namespace tsl
