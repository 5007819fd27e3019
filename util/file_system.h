// File-system helpers over wide paths with '\' separators (the POSIX side
// turns them into '/' at the system call). Failures are false, 0 or empty.
// Threading: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tsl {

// The whole content of a regular file. False (and `bytes` empty) when it
// cannot be opened or read to its end.
bool read_whole_file(const std::wstring& path, std::string& bytes);
uint32_t get_file_size(const std::wstring& path);
// Size and last-write time (100 ns units since 1601-01-01 UTC) of a file
// opened for reading.
bool get_file_size_and_time(const std::wstring& path, uint64_t& size, uint64_t& time);
// Deletes a file, even one that others hold open (it vanishes when they
// close) or one marked read-only.
bool delete_file(const std::wstring& path);
bool create_directories(const std::wstring& path);
bool remove_directory_tree(const std::wstring& path, bool delete_files);
std::vector<std::wstring> list_directories(const std::wstring& path, bool recursive);
std::vector<std::wstring> list_files(const std::wstring& path, bool recursive,
                                     const std::wstring& mask);

// Further services the program needs from the platform.
bool file_exists(const std::wstring& path);       // exists and is not a directory
bool directory_exists(const std::wstring& path);  // exists and is a directory
bool path_exists(const std::wstring& path);
// Size and last-write time (100 ns units since 1601-01-01 UTC) of an
// existing file (not a directory) from its directory entry, without opening
// it: one system call where the file check looks at thousands of files.
bool query_file_info(const std::wstring& path, uint64_t& size, uint64_t& time);
// Bytes that this user may still write on the volume that holds the existing
// directory `path`. False when it cannot be told.
bool free_disk_space(const std::wstring& path, uint64_t& bytes);
// An existing path as the file system names it, every short (8.3) alias
// spelled out in full; the path unchanged when it does not exist or the
// platform has no aliases.
std::wstring long_path_name(const std::wstring& path);
// Atomic replace-by-move: the target is either the old or the new file. A
// read-only target is replaced too (Windows refuses it otherwise).
bool move_file_replace(const std::wstring& from, const std::wstring& to);
// How putting a file in place ended. in_use: another program (a virus
// scanner, the running client) holds the file or its target open and will
// not let it be replaced; the same move may well work a moment later.
enum class place_result { placed, in_use, failed };
// Replace-by-move that a power loss cannot undo halfway: the data of `from`
// is on disk before the move, and the move is on disk when this returns, so
// nothing that vouches for the placed file can outlive its contents.
place_result place_file(const std::wstring& from, const std::wstring& to);
struct file_move {
  std::wstring from, to;
};
// place_file for several files, in order, with a result per move. The data
// of all of them goes to disk before the first move, and a directory that
// receives several is made durable once, not once per file.
std::vector<place_result> place_files(const std::vector<file_move>& moves);
// The same for a file whose data is on disk already and that may not be
// opened for writing (the running executable): only the move is durable.
place_result move_file_durably(const std::wstring& from, const std::wstring& to);
bool copy_file_replace(const std::wstring& from, const std::wstring& to);
// Windows attribute bits; a no-op that succeeds on POSIX (dot names hide).
bool set_file_attributes(const std::wstring& path, uint32_t attributes);
// The C runtime's wide open (_wfopen); errno tells why it failed. Like every
// open here it takes disk files only: a directory, device or pipe is
// refused (EACCES) before a byte is read or written.
std::FILE* open_c_file(const std::wstring& path, const char* mode);
// Writes `bytes` to a temporary file beside `path` and moves it over `path`,
// so a crash or a full disk never leaves a truncated file where a good one
// stood. False (and the old file untouched) on any failure. A symbolic link
// is written through (the file it names is replaced, the link stays), and
// the replaced file keeps its permission bits.
bool write_file_atomic(const std::wstring& path, const std::string& bytes);
// The same through a temporary file of the caller's choosing, on the same
// file system as `path` (no link is followed).
bool write_file_atomic_via(const std::wstring& path, const std::string& bytes,
                           const std::wstring& temporary);

// Creates a new file that only its owner may read or write (POSIX mode
// 0600; on Windows a protected access list that grants the file's owner
// alone), with `bytes` in it, flushed. False when anything already exists at
// `path` (it is never replaced) or on any failure, which leaves no file.
bool create_private_file(const std::wstring& path, const std::string& bytes);

// What tells one state of a file's contents from another: a write, a
// truncation or a replacement by another file changes at least one member.
struct file_identity {
  uint64_t size = 0;
  uint64_t write_time = 0;   // FILETIME units
  uint64_t change_time = 0;  // metadata change (POSIX ctime, Windows ChangeTime)
  uint64_t volume = 0;
  uint64_t index = 0;  // inode or file index
  bool operator==(const file_identity& o) const {
    return size == o.size && write_time == o.write_time && change_time == o.change_time &&
           volume == o.volume && index == o.index;
  }
  bool operator!=(const file_identity& o) const { return !(*this == o); }
};
// The identity of the file a path names now (links followed).
bool file_identity_of(const std::wstring& path, file_identity& identity);

// Where the calling thread may write while a write_fence lives on it: below
// one of the area's `allowed` folders unless an `excluded` one below that
// holds it too (the innermost folder decides), or one of its `files`. Every function of this header
// that creates, writes, truncates, moves or deletes refuses any other path, failing as the system
// would on a path it may not touch (errno EACCES, ERROR_ACCESS_DENIED). The update workers run
// inside one, so that no value of an index, whatever it holds, makes them touch a file outside the
// game. Paths are compared after "." and ".." are resolved and short aliases spelled out, with the
// platform's rules for letter case. Fences nest: the innermost one rules.
struct write_area {
  std::vector<std::wstring> allowed;   // folders below which writes may go
  std::vector<std::wstring> excluded;  // folders below those that stay untouched
  std::vector<std::wstring> files;     // single files that may be written besides
};
class write_fence {
 public:
  explicit write_fence(const write_area& area);
  ~write_fence();
  write_fence(const write_fence&) = delete;
  write_fence& operator=(const write_fence&) = delete;

  // `folder`: whether a folder may be made there (an allowed folder itself
  // may be).
  bool allows(const std::wstring& path, bool folder = false) const;
  // Whether the calling thread may write `path` (true without a fence).
  static bool thread_allows(const std::wstring& path, bool folder = false);

 private:
  using components = std::vector<std::wstring>;
  std::vector<components> allowed_, excluded_, files_;
  const write_fence* outer_;
};

// An open file, closed on destruction.
class file_handle {
 public:
  file_handle() = default;
  ~file_handle() { close(); }
  file_handle(const file_handle&) = delete;
  file_handle& operator=(const file_handle&) = delete;
  file_handle(file_handle&& other) noexcept
      : native_(other.native_),
        opened_size_(other.opened_size_),
        opened_time_(other.opened_time_),
        opened_known_(other.opened_known_) {
    other.native_ = invalid;
  }
  file_handle& operator=(file_handle&& other) noexcept;

  // Read access, others may read at the same time; the file must exist and
  // be a disk file.
  static file_handle open_read(const std::wstring& path);
  // Write access, create-always (truncating), others may read; a name that
  // is not a disk file (a device, a pipe) is refused.
  static file_handle create_write(const std::wstring& path);
  // Opens or creates `path` and takes an exclusive lock on it, without
  // waiting: the lock lasts as long as the handle stays open, and the
  // system drops it when the process ends in any way. Not open when the lock
  // cannot be had; `held_elsewhere` then says whether someone else holds it
  // (rather than the file failing to open).
  static file_handle lock_exclusive(const std::wstring& path, bool& held_elsewhere);

  bool is_open() const { return native_ != invalid; }
  // Reads up to `size` bytes; `got` is 0 at end of file. False on an error.
  bool read(void* bytes, uint32_t size, uint32_t& got);
  bool write(const void* bytes, uint32_t size, uint32_t& wrote);
  // All `size` bytes, at most 4 MiB per system call; false at the first
  // call that fails or writes nothing.
  bool write_all(const void* bytes, size_t size);
  bool size(uint64_t& out) const;
  bool last_write_time(uint64_t& out) const;
  bool identity(file_identity& out) const;
  // Moves the read or write position to `offset` bytes from the start.
  bool seek(uint64_t offset);
  bool flush();
  void close();

 private:
  static constexpr intptr_t invalid = -1;
  explicit file_handle(intptr_t native) : native_(native) {}
  intptr_t native_ = invalid;
  // What a platform learnt while opening a file for reading (POSIX checks
  // that it is not a directory with the same call), so that size and time
  // queries right after opening need no further system call.
  uint64_t opened_size_ = 0;
  uint64_t opened_time_ = 0;
  bool opened_known_ = false;
};

}  // namespace tsl
