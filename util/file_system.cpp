#include "util/file_system.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>

#include "util/file_system_platform.h"
#include "util/text.h"

namespace tsl {

namespace {

// The innermost fence of each thread.
thread_local const write_fence* current_fence = nullptr;

// A path as the list of the names it passes through once "." and ".." are
// resolved, with a short alias anywhere in its existing part spelled out.
// A leading separator (root, UNC) stays as an empty first name.
std::vector<std::wstring> fence_components(std::wstring path) {
  if (path.find(L'~') != std::wstring::npos) {
    // The longest part that exists can be asked for its long name.
    std::wstring existing = path, rest;
    while (!existing.empty() && !path_exists(existing)) {
      const size_t cut = existing.find_last_of(L"\\/");
      if (cut == std::wstring::npos) {
        existing.clear();
        break;
      }
      rest = existing.substr(cut) + rest;
      existing.resize(cut);
    }
    if (!existing.empty()) path = long_path_name(existing) + rest;
  }
  std::vector<std::wstring> names;
  size_t at = 0;
  if (!path.empty() && (path[0] == L'\\' || path[0] == L'/')) names.emplace_back();
  while (at <= path.size()) {
    size_t end = path.find_first_of(L"\\/", at);
    if (end == std::wstring::npos) end = path.size();
    std::wstring name = path.substr(at, end - at);
    at = end + 1;
    if (name.empty() || name == L".") continue;
    if (name == L".." && !names.empty() && !names.back().empty() && names.back() != L"..") {
      names.pop_back();
      continue;
    }
    names.push_back(std::move(name));
  }
  return names;
}

bool starts_with_names(const std::vector<std::wstring>& path,
                       const std::vector<std::wstring>& folder) {
  if (folder.empty() || path.size() < folder.size()) return false;
  for (size_t i = 0; i < folder.size(); ++i) {
    if (!platform::same_name(path[i], folder[i])) return false;
  }
  return true;
}

}  // namespace

write_fence::write_fence(const write_area& area) : outer_(current_fence) {
  for (const auto& p : area.allowed) allowed_.push_back(fence_components(p));
  for (const auto& p : area.excluded) excluded_.push_back(fence_components(p));
  for (const auto& p : area.files) files_.push_back(fence_components(p));
  current_fence = this;
}

write_fence::~write_fence() { current_fence = outer_; }

bool write_fence::allows(const std::wstring& path, bool folder_path) const {
  const std::vector<std::wstring> names = fence_components(path);
  for (const auto& file : files_) {
    if (names.size() == file.size() && starts_with_names(names, file)) return true;
  }
  // The innermost folder that holds the path decides.
  size_t allowed_depth = 0, excluded_depth = 0;
  for (const auto& folder : excluded_) {
    if (starts_with_names(names, folder)) excluded_depth = std::max(excluded_depth, folder.size());
  }
  for (const auto& allowed : allowed_) {
    // Below the folder: the folder itself is no file to write, only one to
    // make.
    if (names.size() + (folder_path ? 1 : 0) > allowed.size() &&
        starts_with_names(names, allowed)) {
      allowed_depth = std::max(allowed_depth, allowed.size());
    }
  }
  return allowed_depth > excluded_depth;
}

bool write_fence::thread_allows(const std::wstring& path, bool folder) {
  return !current_fence || current_fence->allows(path, folder);
}

bool fence_refuses(const std::wstring& path, bool folder) {
  if (write_fence::thread_allows(path, folder)) return false;
  errno = EACCES;
  return true;
}

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
  if (fence_refuses(path, true)) return false;
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
  if (fence_refuses(path)) return false;
  auto directories = list_directories(path, false);
  auto files = list_files(path, false, L"*.*");
  if (!files.empty()) {
    if (!delete_files) return false;
    for (const auto& file : files) delete_file(file);
  }
  // The folders below are emptied by the same rule as this one.
  bool emptied = true;
  for (const auto& directory : directories) {
    emptied = remove_directory_tree(directory, delete_files) && emptied;
  }
  return platform::remove_empty_directory(path) && emptied;
}

bool write_file_atomic(const std::wstring& path, const std::string& bytes) {
  // Beside the file a link names, so that the move replaces that file and
  // not the link, on the same file system.
  const std::wstring target = platform::link_target(path);
  return write_file_atomic_via(target, bytes, platform::temporary_sibling(target));
}

bool write_file_atomic_via(const std::wstring& path, const std::string& bytes,
                           const std::wstring& temporary) {
  if (fence_refuses(path)) return false;
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
  if (fence_refuses(from) || fence_refuses(to)) return place_result::failed;
  return platform::flush_and_replace(from, to);
}

std::vector<place_result> place_files(const std::vector<file_move>& moves) {
  std::vector<file_move> allowed;
  std::vector<size_t> positions;
  for (size_t i = 0; i < moves.size(); ++i) {
    if (fence_refuses(moves[i].from) || fence_refuses(moves[i].to)) continue;
    allowed.push_back(moves[i]);
    positions.push_back(i);
  }
  std::vector<place_result> results(moves.size(), place_result::failed);
  const std::vector<place_result> done = platform::flush_and_replace_all(allowed);
  for (size_t k = 0; k < done.size(); ++k) results[positions[k]] = done[k];
  return results;
}

place_result move_file_durably(const std::wstring& from, const std::wstring& to) {
  if (fence_refuses(from) || fence_refuses(to)) return place_result::failed;
  return platform::replace_by_move(from, to, true);
}

}  // namespace tsl
