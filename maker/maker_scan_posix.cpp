#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "maker/maker_names.h"
#include "maker/maker_scan.h"
#include "util/native_path.h"
#include "util/text.h"

namespace tsl {

namespace {

void scan_directory(const std::wstring& directory, input_scan& scan) {
  DIR* d = opendir(native_path(directory).c_str());
  if (!d) {
    scan.left_out.push_back(unlistable_directory_line(directory));
    return;
  }
  std::vector<std::wstring> subdirectories;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::wstring problem = posix_name_problem(name);
    if (!problem.empty()) {
      scan.left_out.push_back(bad_name_line(directory + L"\\" + printable_name(name), problem));
      continue;
    }
    const std::wstring path = join_path(directory, utf8_to_wide(name));
    struct stat st;
    bool listed = fstatat(dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (listed && S_ISLNK(st.st_mode)) {
      // The file a link names is published as that file; a directory it
      // names is not descended. A dangling link stays a file that fails.
      listed = fstatat(dirfd(d), name.c_str(), &st, 0) == 0;
      if (listed && S_ISDIR(st.st_mode)) {
        scan.left_out.push_back(directory_link_line(path));
        continue;
      }
    }
    if (listed && S_ISDIR(st.st_mode)) {
      subdirectories.push_back(path);
    } else {
      scan.files.push_back({path, listed ? static_cast<uint64_t>(st.st_size) : 0});
    }
  }
  closedir(d);
  for (const auto& subdirectory : subdirectories) scan_directory(subdirectory, scan);
}

}  // namespace

input_scan scan_input(const std::wstring& input) {
  input_scan scan;
  struct stat st;
  if (stat(native_path(input).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    scan_directory(input, scan);
  }
  return scan;
}

}  // namespace tsl
