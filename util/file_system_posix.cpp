#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "util/file_system.h"
#include "util/file_system_platform.h"
#include "util/native_path.h"
#include "util/text.h"

namespace tsl {

namespace {

constexpr uint64_t filetime_unix_epoch = 116444736000000000ULL;  // 1970-01-01 in FILETIME

uint64_t to_filetime(const struct timespec& t) {
  return filetime_unix_epoch + static_cast<uint64_t>(t.tv_sec) * 10000000ULL +
         static_cast<uint64_t>(t.tv_nsec) / 100;
}

// Keeps an open descriptor only when it is a regular file, and makes it
// blocking again (it was opened without blocking, so that a FIFO among the
// names cannot hang the open). Gives -1 with errno EACCES otherwise, as
// Windows answers a directory.
int keep_regular_file(int fd, struct stat& st) {
  if (fd < 0) return -1;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    ::close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
}

std::string directory_part(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// A rename is on disk once the directory that holds the new name is.
void sync_directory(const std::string& directory) {
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  ::close(fd);
}

}  // namespace

std::string native_path(const std::wstring& path) {
  std::wstring p = path;
  for (auto& c : p) {
    if (c == L'\\') c = L'/';
  }
  return wide_to_utf8(p);
}

file_handle file_handle::open_read(const std::wstring& path) {
  struct stat st;
  // Windows refuses to open a directory as a file; so do we, and FIFOs,
  // sockets and devices are no files to read either.
  int fd =
      keep_regular_file(::open(native_path(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK), st);
  if (fd < 0) return file_handle();
  file_handle handle(fd);
  handle.opened_size_ = static_cast<uint64_t>(st.st_size);
  handle.opened_time_ = to_filetime(st.st_mtim);
  handle.opened_known_ = true;
  return handle;
}

file_handle file_handle::create_write(const std::wstring& path) {
  if (fence_refuses(path)) return file_handle();
  struct stat st;
  int fd = keep_regular_file(::open(native_path(path).c_str(),
                                    O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0644),
                             st);
  return fd < 0 ? file_handle() : file_handle(fd);
}

file_handle file_handle::lock_exclusive(const std::wstring& path, bool& held_elsewhere) {
  held_elsewhere = false;
  if (fence_refuses(path)) return file_handle();
  struct stat st;
  int fd = keep_regular_file(
      ::open(native_path(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644), st);
  if (fd < 0) return file_handle();
  // flock belongs to this open file, so a second open in the same process
  // is refused as well, as on Windows.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    held_elsewhere = errno == EWOULDBLOCK;
    ::close(fd);
    return file_handle();
  }
  return file_handle(fd);
}

bool file_handle::read(void* bytes, uint32_t size, uint32_t& got) {
  got = 0;
  for (;;) {
    ssize_t n = ::read(static_cast<int>(native_), bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    got = static_cast<uint32_t>(n);
    return true;
  }
}

bool file_handle::write(const void* bytes, uint32_t size, uint32_t& wrote) {
  wrote = 0;
  for (;;) {
    ssize_t n = ::write(static_cast<int>(native_), bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    wrote = static_cast<uint32_t>(n);
    return true;
  }
}

bool file_handle::size(uint64_t& out) const {
  if (opened_known_) {
    out = opened_size_;
    return true;
  }
  struct stat st;
  if (fstat(static_cast<int>(native_), &st) != 0) return false;
  out = static_cast<uint64_t>(st.st_size);
  return true;
}

bool file_handle::last_write_time(uint64_t& out) const {
  if (opened_known_) {
    out = opened_time_;
    return true;
  }
  struct stat st;
  if (fstat(static_cast<int>(native_), &st) != 0) return false;
  out = to_filetime(st.st_mtim);
  return true;
}

namespace {

void identity_from_stat(const struct stat& st, file_identity& out) {
  out.size = static_cast<uint64_t>(st.st_size);
  out.write_time = to_filetime(st.st_mtim);
  out.change_time = to_filetime(st.st_ctim);
  out.volume = static_cast<uint64_t>(st.st_dev);
  out.index = static_cast<uint64_t>(st.st_ino);
}

}  // namespace

bool file_handle::identity(file_identity& out) const {
  struct stat st;
  if (fstat(static_cast<int>(native_), &st) != 0) return false;
  identity_from_stat(st, out);
  return true;
}

bool file_identity_of(const std::wstring& path, file_identity& identity) {
  struct stat st;
  if (stat(native_path(path).c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  identity_from_stat(st, identity);
  return true;
}

bool file_handle::seek(uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  return lseek(static_cast<int>(native_), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool file_handle::flush() { return fsync(static_cast<int>(native_)) == 0; }

void file_handle::close() {
  if (native_ != invalid) {
    ::close(static_cast<int>(native_));
    native_ = invalid;
  }
}

bool delete_file(const std::wstring& path) {
  if (fence_refuses(path)) return false;
  std::string p = native_path(path);
  struct stat st;
  if (lstat(p.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  return unlink(p.c_str()) == 0;
}

bool move_file_replace(const std::wstring& from, const std::wstring& to) {
  if (fence_refuses(from) || fence_refuses(to)) return false;
  return platform::replace_by_move(from, to, false) == place_result::placed;
}

bool copy_file_replace(const std::wstring& from, const std::wstring& to) {
  if (fence_refuses(to)) return false;
  file_handle in = file_handle::open_read(from);
  if (!in.is_open()) return false;
  file_handle out = file_handle::create_write(to);
  if (!out.is_open()) return false;
  static thread_local std::vector<char> piece(1 << 20);
  for (;;) {
    uint32_t got = 0;
    if (!in.read(piece.data(), static_cast<uint32_t>(piece.size()), got)) return false;
    if (got == 0) break;
    if (!out.write_all(piece.data(), got)) return false;
  }
  out.close();
  // CopyFile keeps the last-write time; so does this copy.
  struct stat st;
  if (stat(native_path(from).c_str(), &st) == 0) {
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    utimensat(AT_FDCWD, native_path(to).c_str(), times, 0);
  }
  return true;
}

std::wstring long_path_name(const std::wstring& path) { return path; }

bool query_file_info(const std::wstring& path, uint64_t& size, uint64_t& time) {
  struct stat st;
  if (stat(native_path(path).c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  size = static_cast<uint64_t>(st.st_size);
  time = to_filetime(st.st_mtim);
  return true;
}

bool free_disk_space(const std::wstring& path, uint64_t& bytes) {
  struct statvfs vfs;
  if (statvfs(native_path(path).c_str(), &vfs) != 0) return false;
  bytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  return true;
}

bool set_file_attributes(const std::wstring& path, uint32_t) { return path_exists(path); }

std::FILE* open_c_file(const std::wstring& path, const char* mode) {
  const bool writes = mode[0] != 'r' || std::strchr(mode, '+') != nullptr;
  if (writes && fence_refuses(path)) return nullptr;
  int flags = O_CLOEXEC | O_NONBLOCK;
  const bool update = std::strchr(mode, '+') != nullptr;
  switch (mode[0]) {
    case 'r':
      flags |= update ? O_RDWR : O_RDONLY;
      break;
    case 'w':
      flags |= (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
      break;
    case 'a':
      flags |= (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
      break;
    default:
      errno = EINVAL;
      return nullptr;
  }
  struct stat st;
  int fd = keep_regular_file(::open(native_path(path).c_str(), flags, 0644), st);
  if (fd < 0) return nullptr;
  std::FILE* f = fdopen(fd, mode);
  if (!f) ::close(fd);
  return f;
}

namespace platform {

bool get_attributes(const std::wstring& path, uint32_t& attributes) {
  struct stat st;
  std::string p = native_path(path);
  if (p.empty() || stat(p.c_str(), &st) != 0) return false;
  attributes = S_ISDIR(st.st_mode) ? attribute_directory : 0x80;
  return true;
}

bool same_name(const std::wstring& a, const std::wstring& b) { return a == b; }

bool make_directory(const std::wstring& path) {
  return mkdir(native_path(path).c_str(), 0755) == 0;
}

bool remove_empty_directory(const std::wstring& path) {
  return rmdir(native_path(path).c_str()) == 0;
}

bool enumerate(const std::wstring& directory, const std::wstring& mask,
               const std::function<void(const std::wstring&, bool)>& entry) {
  std::string dir = native_path(directory);
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  // Windows matches "*" and "*.*" against every name, with or without a dot.
  bool all = mask == L"*" || mask == L"*.*";
  std::string pattern = wide_to_utf8(mask);
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (!all && fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) != 0) continue;
    bool is_directory;
    if (e->d_type == DT_DIR) {
      is_directory = true;
    } else if (e->d_type == DT_REG) {
      is_directory = false;
    } else {
      struct stat st;
      is_directory = stat((dir + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    entry(utf8_to_wide(name), is_directory);
  }
  closedir(d);
  return true;
}

std::wstring temporary_sibling(const std::wstring& path) {
  static std::atomic<unsigned> counter{0};
  return format_wide(L"%s.%u-%u.tmp", path, static_cast<unsigned>(getpid()),
                     counter.fetch_add(1) + 1);
}

std::wstring link_target(const std::wstring& path) {
  std::wstring current = path;
  // As many hops as the system itself follows before it gives up.
  for (int hop = 0; hop < 40; ++hop) {
    std::string native = native_path(current);
    struct stat st;
    if (lstat(native.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::vector<char> text(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    ssize_t n = readlink(native.c_str(), text.data(), text.size());
    if (n <= 0 || static_cast<size_t>(n) >= text.size()) return current;
    std::wstring link = utf8_to_wide(std::string(text.data(), static_cast<size_t>(n)));
    if (link[0] == L'/') {
      current = link;
    } else {
      size_t slash = current.find_last_of(L"\\/");
      current = slash == std::wstring::npos ? link : join_path(current.substr(0, slash), link);
    }
  }
  return current;
}

bool copy_permissions(const std::wstring& from, const std::wstring& to) {
  struct stat st;
  if (stat(native_path(from).c_str(), &st) != 0) return false;
  return chmod(native_path(to).c_str(), st.st_mode & 07777) == 0;
}

place_result replace_by_move(const std::wstring& from, const std::wstring& to, bool durable) {
  std::string target = native_path(to);
  struct stat st;
  // MoveFileEx will not replace a directory with a file, and a device or a
  // pipe is no file to replace either (a rename would unlink the node).
  if (stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return place_result::failed;
  if (lstat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    return place_result::failed;
  }
  if (rename(native_path(from).c_str(), target.c_str()) != 0) {
    return errno == EBUSY || errno == ETXTBSY ? place_result::in_use : place_result::failed;
  }
  if (durable) sync_directory(directory_part(target));
  return place_result::placed;
}

place_result flush_and_replace(const std::wstring& from, const std::wstring& to) {
  return flush_and_replace_all({{from, to}}).front();
}

std::vector<place_result> flush_and_replace_all(const std::vector<file_move>& moves) {
  std::vector<place_result> results(moves.size(), place_result::failed);
  // A few dozen at a time keeps the open descriptors well below any limit.
  constexpr size_t at_once = 32;
  for (size_t first = 0; first < moves.size(); first += at_once) {
    const size_t end = std::min(moves.size(), first + at_once);
    std::vector<int> fds;
    for (size_t i = first; i < end; ++i) {
      struct stat st;
      int fd = keep_regular_file(
          ::open(native_path(moves[i].from).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK), st);
#ifdef __linux__
      // Every file's write-back starts before the first flush waits, so that
      // the later flushes find their data on its way.
      if (fd >= 0) sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
      fds.push_back(fd);
    }
    std::vector<std::string> directories;
    for (size_t i = first; i < end; ++i) {
      const int fd = fds[i - first];
      if (fd < 0) continue;
      const bool flushed = fsync(fd) == 0;
      ::close(fd);
      if (!flushed) continue;
      results[i] = replace_by_move(moves[i].from, moves[i].to, false);
      if (results[i] != place_result::placed) continue;
      std::string directory = directory_part(native_path(moves[i].to));
      if (std::find(directories.begin(), directories.end(), directory) == directories.end()) {
        directories.push_back(std::move(directory));
      }
    }
    for (const std::string& directory : directories) sync_directory(directory);
  }
  return results;
}

}  // namespace platform
bool create_private_file(const std::wstring& path, const std::string& bytes) {
  if (fence_refuses(path)) return false;
  const std::string native = native_path(path);
  // O_EXCL: an existing file or a link planted in its place is refused.
  const int fd = ::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  // The mode given to open is narrowed by the umask, never widened.
  bool ok = fchmod(fd, 0600) == 0;
  for (size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      ok = false;
    } else {
      done += static_cast<size_t>(n);
    }
  }
  ok = ok && fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok) ::unlink(native.c_str());
  return ok;
}

}  // namespace tsl
