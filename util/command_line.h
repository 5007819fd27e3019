// Splitting a process command line into arguments, and the quoting that the
// splitting undoes. Threading: reentrant.
#pragma once

#include <string>
#include <vector>

namespace tsl {

// Outside quotes a blank ends an argument and a backslash is dropped, except
// that a backslash before a double quote makes a literal quote; inside quotes
// every character but the quote is kept.
std::vector<std::wstring> split_command_line(const std::wstring& command_line);

// Quotes one argument so that split_command_line gives it back unchanged.
std::wstring quote_argument(const std::wstring& argument);

}  // namespace tsl
