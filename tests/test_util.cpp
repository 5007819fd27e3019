#include "tests/test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>

#include "util/file_system.h"
#include "util/process.h"
#include "util/text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include "util/native_path.h"
#endif

namespace tsl {
namespace test {

namespace {

std::wstring system_temp() {
#ifdef _WIN32
  wchar_t buffer[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  std::wstring dir(buffer, n);
  while (!dir.empty() && (dir.back() == L'\\' || dir.back() == L'/')) dir.pop_back();
  return dir;
#else
  const char* t = std::getenv("TMPDIR");
  return utf8_to_wide(t && *t ? t : "/tmp");
#endif
}

unsigned process_id() {
#ifdef _WIN32
  return GetCurrentProcessId();
#else
  return static_cast<unsigned>(getpid());
#endif
}

}  // namespace

scoped_temp_dir::scoped_temp_dir() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  path_ = format_wide(L"%s\\tsl-test-%u-%u-%08x", system_temp(), process_id(), ++counter, rd());
  create_directories(path_);
}

scoped_temp_dir::~scoped_temp_dir() { remove_tree(path_); }

std::wstring scoped_temp_dir::operator/(const std::wstring& relative) const {
  return join_path(path_, relative);
}

void write_file(const std::wstring& path, const std::string& bytes) {
  create_directories(directory_of(path));
  std::FILE* f = open_c_file(path, "wb");
  ASSERT_NE(f, nullptr) << wide_to_utf8(path);
  if (!bytes.empty()) {
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  }
  std::fclose(f);
}

std::string read_file(const std::wstring& path) {
  std::string out;
  read_whole_file(path, out);
  return out;
}

void remove_tree(const std::wstring& path) {
  for (const auto& file : list_files(path, true, L"*.*")) delete_file(file);
  auto directories = list_directories(path, true);
  std::reverse(directories.begin(), directories.end());
  for (const auto& d : directories) remove_directory_tree(d, false);
  remove_directory_tree(path, false);
}

std::string random_bytes(size_t size, uint32_t seed, bool compressible) {
  std::mt19937 rng(seed);
  std::string out(size, '\0');
  if (!compressible) {
    for (auto& c : out) c = static_cast<char>(rng());
    return out;
  }
  static const char* words[] = {"alpha ", "beta ",  "gamma ", "delta ", "texture ",
                                "mesh ",  "sound ", "\n",     "level ", "0123 "};
  size_t i = 0;
  while (i < size) {
    const char* w = words[rng() % 10];
    for (; *w && i < size; ++w) out[i++] = *w;
  }
  return out;
}

bool set_file_time(const std::wstring& path, uint64_t filetime) {
#ifdef _WIN32
  HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(filetime);
  ft.dwHighDateTime = static_cast<DWORD>(filetime >> 32);
  bool ok = SetFileTime(h, nullptr, nullptr, &ft) != 0;
  CloseHandle(h);
  return ok;
#else
  const uint64_t epoch = 116444736000000000ULL;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>((filetime - epoch) / 10000000ULL);
  times[1].tv_nsec = static_cast<long>(((filetime - epoch) % 10000000ULL) * 100);
  return utimensat(AT_FDCWD, native_path(path).c_str(), times, 0) == 0;
#endif
}

bool make_sized_file(const std::wstring& path, uint64_t size) {
#ifdef _WIN32
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  bool ok = SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h);
  CloseHandle(h);
  return ok;
#else
  int fd = open(native_path(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
  return close(fd) == 0 && ok;
#endif
}

std::wstring test_binary_dir() { return executable_directory(); }

}  // namespace test
}  // namespace tsl
