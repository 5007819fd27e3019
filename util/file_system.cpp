#include "util/file_system.h"

#include <algorithm>
#include <atomic>
#include <exception>

#include "util/file_system_platform.h"
#include "util/text.h"

namespace tsl {

file_handle& file_handle::operator=(file_handle&& other) noexcept {
  if (this != &other) {
    close();
    native_ = other.native_;
    opened_size_ = other.opened_size_;
    opened_time_ = other.opened_time_;
    opened_known_ = other.opened_known_;
    other.native_ = invalid;
  }
  return *this;
}

bool file_handle::write_all(const void* bytes, size_t size) {
  const auto* at = static_cast<const uint8_t*>(bytes);
  while (size) {
    uint32_t wrote = 0;
    const uint32_t ask = static_cast<uint32_t>(std::min<size_t>(size, 4u << 20));
    if (!write(at, ask, wrote) || wrote == 0) return false;
    at += wrote;
    size -= wrote;
  }
  return true;
}

bool read_whole_file(const std::wstring& path, std::string& bytes) {
  bytes.clear();
  file_handle file = file_handle::open_read(path);
  uint64_t size = 0;
  if (!file.is_open() || !file.size(size)) return false;
  // The size is a hint: a file that grows or shrinks meanwhile is read to
  // its end all the same.
  std::string out;
  out.reserve(static_cast<size_t>(std::min<uint64_t>(size, 64u << 20)));
  char piece[65536];
  for (;;) {
    uint32_t got = 0;
    if (!file.read(piece, sizeof piece, got)) return false;
    if (got == 0) break;
    try {
      out.append(piece, got);
    } catch (const std::exception&) {
      // More than this process can hold: no document is that large.
      return false;
    }
  }
  bytes = std::move(out);
  return true;
}

uint32_t get_file_size(const std::wstring& path) {
  file_handle file = file_handle::open_read(path);
  uint64_t size = 0;
  if (!file.is_open() || !file.size(size)) return 0;
  return static_cast<uint32_t>(size);
}

bool get_file_size_and_time(const std::wstring& path, uint64_t& size, uint64_t& time) {
  file_handle file = file_handle::open_read(path);
  uint64_t s = 0, t = 0;
  if (!file.is_open() || !file.size(s) || !file.last_write_time(t)) return false;
  size = s;
  time = t;
  return true;
}

bool file_exists(const std::wstring& path) {
  uint32_t attributes = 0;
  return platform::get_attributes(path, attributes) &&
         !(attributes & platform::attribute_directory);
}

bool directory_exists(const std::wstring& path) {
  uint32_t attributes = 0;
  return platform::get_attributes(path, attributes) && (attributes & platform::attribute_directory);
}

bool path_exists(const std::wstring& path) {
  uint32_t attributes = 0;
  return platform::get_attributes(path, attributes);
}

bool create_directories(const std::wstring& path) {
  uint32_t attributes = 0;
  if (platform::get_attributes(path, attributes)) {
    return (attributes & (platform::attribute_directory | platform::attribute_reparse_point)) != 0;
  }
  size_t last = path.find_last_of(L"\\/");
  if (last != std::wstring::npos && last > 0 && !create_directories(path.substr(0, last))) {
    return false;
  }
  if (platform::make_directory(path)) return true;
  // Another thread or program may have made it between the look and the
  // make; that is as good as making it here.
  return platform::get_attributes(path, attributes) &&
         (attributes & (platform::attribute_directory | platform::attribute_reparse_point)) != 0;
}

std::vector<std::wstring> list_directories(const std::wstring& path, bool recursive) {
  std::vector<std::wstring> out;
  std::vector<std::wstring> names;
  platform::enumerate(path, L"*", [&](const std::wstring& name, bool is_directory) {
    if (is_directory && name != L"." && name != L"..") names.push_back(name);
  });
  for (const auto& name : names) {
    std::wstring child = join_path(path, name);
    out.push_back(child);
    if (recursive) {
      auto below = list_directories(child, true);
      out.insert(out.end(), below.begin(), below.end());
    }
  }
  return out;
}

std::vector<std::wstring> list_files(const std::wstring& path, bool recursive,
                                     const std::wstring& mask) {
  std::vector<std::wstring> out;
  if (!directory_exists(path)) return out;
  std::vector<std::wstring> directories{path};
  if (recursive) {
    auto below = list_directories(path, true);
    directories.insert(directories.end(), below.begin(), below.end());
  }
  for (const auto& directory : directories) {
    platform::enumerate(directory, mask, [&](const std::wstring& name, bool is_directory) {
      if (!is_directory) out.push_back(join_path(directory, name));
    });
  }
  return out;
}

bool remove_directory_tree(const std::wstring& path, bool delete_files) {
  auto directories = list_directories(path, false);
  auto files = list_files(path, false, L"*.*");
  if (!files.empty()) {
    if (!delete_files) return false;
    for (const auto& file : files) delete_file(file);
  }
  for (const auto& directory : directories) {
    if (!remove_directory_tree(directory, false)) return false;
  }
  platform::remove_empty_directory(path);
  return true;
}

bool write_file_atomic(const std::wstring& path, const std::string& bytes) {
  // Beside the file a link names, so that the move replaces that file and
  // not the link, on the same file system.
  const std::wstring target = platform::link_target(path);
  return write_file_atomic_via(target, bytes, platform::temporary_sibling(target));
}

bool write_file_atomic_via(const std::wstring& path, const std::string& bytes,
                           const std::wstring& temporary) {
  {
    file_handle file = file_handle::create_write(temporary);
    if (!file.is_open()) return false;
    const bool ok = file.write_all(bytes.data(), bytes.size());
    // Data must be on disk before the rename makes it the only copy.
    if (!ok || !file.flush()) {
      file.close();
      delete_file(temporary);
      return false;
    }
  }
  // A file the owner had made private stays private.
  platform::copy_permissions(path, temporary);
  if (platform::replace_by_move(temporary, path, true) != place_result::placed) {
    delete_file(temporary);
    return false;
  }
  return true;
}

place_result place_file(const std::wstring& from, const std::wstring& to) {
  return platform::flush_and_replace(from, to);
}

std::vector<place_result> place_files(const std::vector<file_move>& moves) {
  return platform::flush_and_replace_all(moves);
}

place_result move_file_durably(const std::wstring& from, const std::wstring& to) {
  return platform::replace_by_move(from, to, true);
}

}  // namespace tsl
