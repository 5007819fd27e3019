// The listing of `input` for a maker run, with what it leaves out.
// Threading: reentrant.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tsl {

struct scanned_file {
  std::wstring path;  // full path, '\' separators
  uint64_t size = 0;  // as listed, for the progress line only
};

struct input_scan {
  // In the order of list_files: a directory's files, then each of its
  // subdirectories depth-first.
  std::vector<scanned_file> files;
  // One "!!! " console line for each entry left out, in listing order: a
  // name no launcher can install (a directory of such a name is not
  // descended), a directory link or junction (never followed: a link to "."
  // or ".." would list the tree again and again, or the maker's own files),
  // a directory that cannot be listed. A link to a file is listed as a file.
  std::vector<std::string> left_out;
};

input_scan scan_input(const std::wstring& input);

}  // namespace tsl
