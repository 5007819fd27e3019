#include <windows.h>

#include <sddl.h>

#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

#include "util/file_system.h"
#include "util/file_system_platform.h"
#include "util/native_path.h"
#include "util/text.h"

namespace tsl {

namespace {

HANDLE handle_of(intptr_t native) { return reinterpret_cast<HANDLE>(native); }

// The file-disposition delete lives in ntdll and is looked up once.
struct io_status_block {
  union {
    LONG status;
    PVOID pointer;
  };
  ULONG_PTR information;
};
using set_information_file_fn = LONG(WINAPI*)(HANDLE, io_status_block*, PVOID, ULONG, ULONG);

set_information_file_fn native_set_information_file() {
  static const set_information_file_fn fn = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll");
    return ntdll ? reinterpret_cast<set_information_file_fn>(
                       reinterpret_cast<void*>(GetProcAddress(ntdll, "NtSetInformationFile")))
                 : nullptr;
  }();
  return fn;
}

bool starts_with(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, wcslen(prefix), prefix) == 0;
}

// Only a disk file takes or gives file contents: a name that Windows maps to
// a device (NUL, COM1, a console, a pipe) is refused, so no byte ever goes to
// one.
HANDLE keep_disk_file(HANDLE h) {
  if (h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

// Clears the read-only attribute of an existing file, which Windows would
// otherwise not let anyone replace or delete; gives back what it was, so a
// failed operation can put it back.
DWORD make_writable(const std::wstring& native) {
  DWORD attributes = GetFileAttributesW(native.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
      !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetFileAttributesW(native.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    return attributes;
  }
  return INVALID_FILE_ATTRIBUTES;
}

void restore_attributes(const std::wstring& native, DWORD attributes) {
  if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(native.c_str(), attributes);
}

bool is_in_use_error(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

}  // namespace

std::wstring extended_path(const std::wstring& path) {
  // Already in the system's own form: a device or an extended-length path.
  if (path.empty() || starts_with(path, L"\\\\?\\") || starts_with(path, L"\\\\.\\")) {
    return path;
  }
  // Absolute, with '/' turned and "." and ".." resolved, as an extended-length
  // path must be; a name that Windows maps to a device comes back as \\.\NAME.
  DWORD need = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (need == 0) return path;
  std::wstring full(need, L'\0');
  DWORD got = GetFullPathNameW(path.c_str(), need, &full[0], nullptr);
  if (got == 0 || got >= need) return path;
  full.resize(got);
  if (starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\")) return full;
  if (starts_with(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

file_handle file_handle::open_read(const std::wstring& path) {
  HANDLE h = keep_disk_file(CreateFileW(extended_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file_handle(h == INVALID_HANDLE_VALUE ? invalid : reinterpret_cast<intptr_t>(h));
}

file_handle file_handle::create_write(const std::wstring& path) {
  if (fence_refuses(path)) return file_handle();
  HANDLE h = keep_disk_file(CreateFileW(extended_path(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file_handle(h == INVALID_HANDLE_VALUE ? invalid : reinterpret_cast<intptr_t>(h));
}

file_handle file_handle::lock_exclusive(const std::wstring& path, bool& held_elsewhere) {
  held_elsewhere = false;
  if (fence_refuses(path)) return file_handle();
  // Open to everyone: a scanner that looks at the file must not pass for a
  // holder of the lock. The lock is a byte range that only lockers take.
  HANDLE h = keep_disk_file(CreateFileW(extended_path(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (h == INVALID_HANDLE_VALUE) return file_handle();
  OVERLAPPED start{};
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &start)) {
    held_elsewhere = GetLastError() == ERROR_LOCK_VIOLATION;
    CloseHandle(h);
    return file_handle();
  }
  return file_handle(reinterpret_cast<intptr_t>(h));
}

bool file_handle::read(void* bytes, uint32_t size, uint32_t& got) {
  DWORD n = 0;
  got = 0;
  if (!ReadFile(handle_of(native_), bytes, size, &n, nullptr)) return false;
  got = n;
  return true;
}

bool file_handle::write(const void* bytes, uint32_t size, uint32_t& wrote) {
  DWORD n = 0;
  wrote = 0;
  if (!WriteFile(handle_of(native_), bytes, size, &n, nullptr)) return false;
  wrote = n;
  return true;
}

bool file_handle::size(uint64_t& out) const {
  LARGE_INTEGER li;
  if (!GetFileSizeEx(handle_of(native_), &li)) return false;
  out = static_cast<uint64_t>(li.QuadPart);
  return true;
}

bool file_handle::last_write_time(uint64_t& out) const {
  FILETIME ft;
  if (!GetFileTime(handle_of(native_), nullptr, nullptr, &ft)) return false;
  out = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return true;
}

namespace {

uint64_t filetime_value(const FILETIME& t) {
  return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

bool identity_of_handle(HANDLE h, file_identity& out) {
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandle(h, &info) ||
      !GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)) {
    return false;
  }
  out.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  out.write_time = filetime_value(info.ftLastWriteTime);
  out.change_time = static_cast<uint64_t>(basic.ChangeTime.QuadPart);
  out.volume = info.dwVolumeSerialNumber;
  out.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

}  // namespace

bool file_handle::identity(file_identity& out) const {
  return identity_of_handle(handle_of(native_), out);
}

bool file_identity_of(const std::wstring& path, file_identity& identity) {
  HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = identity_of_handle(h, identity);
  CloseHandle(h);
  return ok;
}

bool file_handle::seek(uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(handle_of(native_), to, nullptr, FILE_BEGIN) != 0;
}

bool file_handle::flush() { return FlushFileBuffers(handle_of(native_)) != 0; }

void file_handle::close() {
  if (native_ != invalid) {
    CloseHandle(handle_of(native_));
    native_ = invalid;
  }
}

bool delete_file(const std::wstring& path) {
  if (fence_refuses(path)) return false;
  const std::wstring native = extended_path(path);
  const DWORD read_only = make_writable(native);
  HANDLE h =
      CreateFileW(native.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool ok = false;
  if (h != INVALID_HANDLE_VALUE) {
    if (auto fn = native_set_information_file()) {
      io_status_block status{};
      unsigned char disposition = 1;  // FILE_DISPOSITION_INFORMATION.DeleteFile
      ok = fn(h, &status, &disposition, sizeof disposition, 13) >= 0;
    }
    CloseHandle(h);
  }
  if (!ok) restore_attributes(native, read_only);
  return ok;
}

namespace platform {

place_result replace_by_move(const std::wstring& from, const std::wstring& to, bool durable) {
  const std::wstring source = extended_path(from), target = extended_path(to);
  const DWORD read_only = make_writable(target);
  DWORD flags = MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0);
  if (MoveFileExW(source.c_str(), target.c_str(), flags)) return place_result::placed;
  const DWORD error = GetLastError();
  restore_attributes(target, read_only);
  if (is_in_use_error(error)) return place_result::in_use;
  // A target that a running program holds open refuses to be replaced with
  // "access denied"; a missing target cannot be in use.
  const DWORD now = GetFileAttributesW(target.c_str());
  if (error == ERROR_ACCESS_DENIED && now != INVALID_FILE_ATTRIBUTES &&
      !(now & FILE_ATTRIBUTE_DIRECTORY)) {
    return place_result::in_use;
  }
  return place_result::failed;
}

place_result flush_and_replace(const std::wstring& from, const std::wstring& to) {
  // Flushed and renamed through one handle: opening the file once to flush
  // it and once more to move it costs every small file of an update twice
  // the server round trips under Wine.
  const std::wstring source = extended_path(from), target = extended_path(to);
  HANDLE h = CreateFileW(source.c_str(), GENERIC_WRITE | DELETE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    return is_in_use_error(GetLastError()) ? place_result::in_use : place_result::failed;
  }
  if (!FlushFileBuffers(h)) {
    CloseHandle(h);
    return place_result::failed;
  }
  const DWORD read_only = make_writable(target);
  // The structure ends in the name; its own one-character array holds the
  // terminating zero.
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
  FILE_RENAME_INFO* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::memcpy(rename->FileName, target.c_str(), (target.size() + 1) * sizeof(wchar_t));
  const bool renamed =
      SetFileInformationByHandle(h, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())) != 0;
  CloseHandle(h);
  if (renamed) return place_result::placed;
  restore_attributes(target, read_only);
  // The move by name decides what a refusal means, and it also covers a
  // target on another volume, or a system that takes no such path here.
  return replace_by_move(from, to, true);
}

std::vector<place_result> flush_and_replace_all(const std::vector<file_move>& moves) {
  std::vector<place_result> results;
  results.reserve(moves.size());
  for (const file_move& move : moves) results.push_back(flush_and_replace(move.from, move.to));
  return results;
}

}  // namespace platform

bool move_file_replace(const std::wstring& from, const std::wstring& to) {
  if (fence_refuses(from) || fence_refuses(to)) return false;
  return platform::replace_by_move(from, to, false) == place_result::placed;
}

bool copy_file_replace(const std::wstring& from, const std::wstring& to) {
  if (fence_refuses(to)) return false;
  return CopyFileW(extended_path(from).c_str(), extended_path(to).c_str(), FALSE) != 0;
}

std::wstring long_path_name(const std::wstring& path) {
  // As given first: Wine spells out no alias behind the extended prefix,
  // which a path past the old limit still needs.
  for (const std::wstring& form : {path, extended_path(path)}) {
    DWORD need = GetLongPathNameW(form.c_str(), nullptr, 0);
    if (need == 0) continue;
    std::wstring full(need, L'\0');
    DWORD got = GetLongPathNameW(form.c_str(), &full[0], need);
    if (got == 0 || got >= need) continue;
    full.resize(got);
    return full;
  }
  return path;
}

bool query_file_info(const std::wstring& path, uint64_t& size, uint64_t& time) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(extended_path(path).c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  time = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
         data.ftLastWriteTime.dwLowDateTime;
  return true;
}

bool free_disk_space(const std::wstring& path, uint64_t& bytes) {
  std::wstring directory = extended_path(path);
  if (directory.empty() || directory.back() != L'\\') directory += L'\\';
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(directory.c_str(), &available, nullptr, nullptr)) return false;
  bytes = available.QuadPart;
  return true;
}

bool set_file_attributes(const std::wstring& path, uint32_t attributes) {
  if (fence_refuses(path)) return false;
  return SetFileAttributesW(extended_path(path).c_str(), attributes) != 0;
}

std::FILE* open_c_file(const std::wstring& path, const char* mode) {
  const bool writes = mode[0] != 'r' || std::strchr(mode, '+') != nullptr;
  if (writes && fence_refuses(path)) return nullptr;
  std::wstring wide_mode(mode, mode + strlen(mode));
  std::FILE* f = _wfopen(extended_path(path).c_str(), wide_mode.c_str());
  if (f && GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)))) != FILE_TYPE_DISK) {
    std::fclose(f);
    errno = EACCES;
    return nullptr;
  }
  return f;
}

namespace platform {

bool get_attributes(const std::wstring& path, uint32_t& attributes) {
  DWORD a = GetFileAttributesW(extended_path(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return false;
  attributes = a;
  return true;
}

bool same_name(const std::wstring& a, const std::wstring& b) {
  // The system drops the dots and blanks that end a name.
  auto end_of = [](const std::wstring& name) {
    size_t end = name.size();
    if (name == L"." || name == L"..") return end;
    while (end > 0 && (name[end - 1] == L'.' || name[end - 1] == L' ')) --end;
    return end;
  };
  return equals_ignore_case(std::wstring_view(a).substr(0, end_of(a)),
                            std::wstring_view(b).substr(0, end_of(b)));
}

bool make_directory(const std::wstring& path) {
  return CreateDirectoryW(extended_path(path).c_str(), nullptr) != 0;
}

bool remove_empty_directory(const std::wstring& path) {
  return RemoveDirectoryW(extended_path(path).c_str()) != 0;
}

bool enumerate(const std::wstring& directory, const std::wstring& mask,
               const std::function<void(const std::wstring&, bool)>& entry) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(join_path(extended_path(directory), mask).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  do {
    entry(data.cFileName, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return true;
}

std::wstring temporary_sibling(const std::wstring& path) {
  static std::atomic<unsigned> counter{0};
  return format_wide(L"%s.%u-%u.tmp", path, static_cast<unsigned>(GetCurrentProcessId()),
                     counter.fetch_add(1) + 1);
}

std::wstring link_target(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return path;
  }
  HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return path;
  std::wstring target(MAX_PATH, L'\0');
  DWORD n = GetFinalPathNameByHandleW(h, &target[0], static_cast<DWORD>(target.size()), 0);
  if (n >= target.size()) {
    target.resize(n + 1);
    n = GetFinalPathNameByHandleW(h, &target[0], static_cast<DWORD>(target.size()), 0);
  }
  CloseHandle(h);
  if (n == 0 || n >= target.size()) return path;
  target.resize(n);
  return target;
}

// Windows keeps no permission bits in the file itself that a replacement
// would lose (the ACL is inherited from the directory).
bool copy_permissions(const std::wstring& from, const std::wstring& to) {
  return path_exists(from) && path_exists(to);
}

}  // namespace platform
bool create_private_file(const std::wstring& path, const std::string& bytes) {
  if (fence_refuses(path)) return false;
  // Protected (nothing inherited from the directory), full access for the
  // file's owner and nobody else.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)", SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  const std::wstring native = extended_path(path);
  HANDLE h = CreateFileW(native.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  LocalFree(descriptor);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  for (size_t done = 0; ok && done < bytes.size();) {
    DWORD wrote = 0;
    const DWORD step = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
    ok = WriteFile(h, bytes.data() + done, step, &wrote, nullptr) && wrote > 0;
    done += wrote;
  }
  ok = ok && FlushFileBuffers(h);
  ok = CloseHandle(h) && ok;
  if (!ok) DeleteFileW(native.c_str());
  return ok;
}

}  // namespace tsl
