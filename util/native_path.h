// POSIX only: the one place where the program's '\' paths and wide texts
// become the system's '/' UTF-8 paths.
#pragma once

#include <string>

namespace tsl {

std::string native_path(const std::wstring& path);

}  // namespace tsl
