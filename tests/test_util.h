// Shared test fixtures: scoped temporary directories and file helpers.
#pragma once

#include <cstdint>
#include <string>

namespace tsl {
namespace test {

// A fresh directory below the system's temporary directory, removed with
// everything in it when the object goes.
class scoped_temp_dir {
 public:
  scoped_temp_dir();
  ~scoped_temp_dir();
  scoped_temp_dir(const scoped_temp_dir&) = delete;
  scoped_temp_dir& operator=(const scoped_temp_dir&) = delete;

  const std::wstring& path() const { return path_; }
  // path() joined with a relative path ('\' separators).
  std::wstring operator/(const std::wstring& relative) const;

 private:
  std::wstring path_;
};

// Writes bytes to a file, creating missing directories. Aborts the test on failure.
void write_file(const std::wstring& path, const std::string& bytes);
std::string read_file(const std::wstring& path);
// Removes a directory with everything below it.
void remove_tree(const std::wstring& path);
// Deterministic pseudo-random bytes; `compressible` makes text-like data.
std::string random_bytes(size_t size, uint32_t seed, bool compressible = false);
// Sets a file's last-write time (FILETIME units).
bool set_file_time(const std::wstring& path, uint64_t filetime);
// Creates (or truncates) a file of `size` zero bytes without writing them: a
// sparse file where the file system has them, so sizes beyond 4 GiB are cheap.
bool make_sized_file(const std::wstring& path, uint64_t size);
// Directory of the test executable: helper programs sit beside it.
std::wstring test_binary_dir();

}  // namespace test
}  // namespace tsl
