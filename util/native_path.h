// The one place where the program's '\' paths and wide texts become the
// system's own paths.
#pragma once

#include <string>

namespace tsl {

// POSIX: '/' separators, UTF-8.
std::string native_path(const std::wstring& path);
// Windows: the absolute extended-length form (\\?\C:\..., \\?\UNC\...), which
// lifts the 260-character limit of the plain form; names that Windows maps
// to devices come back in their device form (\\.\NUL), so that opening one
// is seen for what it is.
std::wstring extended_path(const std::wstring& path);

}  // namespace tsl
