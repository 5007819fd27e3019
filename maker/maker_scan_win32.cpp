#include <windows.h>

#include <string>
#include <vector>

#include "maker/maker_names.h"
#include "maker/maker_scan.h"
#include "util/file_system.h"
#include "util/text.h"

namespace tsl {

namespace {

void scan_directory(const std::wstring& directory, input_scan& scan) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(join_path(directory, L"*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    scan.left_out.push_back(unlistable_directory_line(directory));
    return;
  }
  std::vector<std::wstring> subdirectories;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = join_path(directory, name);
    const std::wstring problem = input_name_problem(name);
    if (!problem.empty()) {
      scan.left_out.push_back(bad_name_line(path, problem));
      continue;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      // Junctions and directory symbolic links are reparse points: a link
      // to "." or ".." would list the tree again and again.
      if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        scan.left_out.push_back(directory_link_line(path));
      } else {
        subdirectories.push_back(path);
      }
      continue;
    }
    // A file symbolic link is opened as the file it names.
    scan.files.push_back(
        {path, (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow});
  } while (FindNextFileW(find, &data));
  FindClose(find);
  for (const auto& subdirectory : subdirectories) scan_directory(subdirectory, scan);
}

}  // namespace

input_scan scan_input(const std::wstring& input) {
  input_scan scan;
  if (directory_exists(input)) scan_directory(input, scan);
  return scan;
}

}  // namespace tsl
