#include "util/file_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include <cerrno>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>

#include "util/native_path.h"
#endif

#include "tests/test_util.h"
#include "util/byte_buffer.h"
#include "util/text.h"

namespace tsl {
namespace {

using test::scoped_temp_dir;
using test::write_file;

TEST(FileSystemRead, WholeFilesSizesAndTimes) {
  scoped_temp_dir dir;
  write_file(dir / L"f", "hello");
  const std::string big = test::random_bytes(200000, 5);
  write_file(dir / L"big", big);
  write_file(dir / L"empty", "");
  std::string bytes = "old";
  ASSERT_TRUE(read_whole_file(dir / L"big", bytes));
  EXPECT_TRUE(bytes == big);
  ASSERT_TRUE(read_whole_file(dir / L"empty", bytes));
  EXPECT_EQ(bytes, "");
  bytes = "old";
  EXPECT_FALSE(read_whole_file(dir / L"missing", bytes));
  EXPECT_EQ(bytes, "");
  EXPECT_FALSE(read_whole_file(dir.path(), bytes));  // a directory is not a file

  EXPECT_EQ(get_file_size(dir / L"f"), 5u);
  EXPECT_EQ(get_file_size(dir / L"missing"), 0u);
  EXPECT_EQ(get_file_size(dir.path()), 0u);
  uint64_t s = 0, t = 0;
  ASSERT_TRUE(test::set_file_time(dir / L"f", 133000000000000000ULL));
  ASSERT_TRUE(query_file_info(dir / L"f", s, t));
  EXPECT_EQ(s, 5u);
  EXPECT_EQ(t, 133000000000000000ULL);  // FILETIME units on both platforms
  s = t = 0;
  ASSERT_TRUE(get_file_size_and_time(dir / L"f", s, t));
  EXPECT_EQ(s, 5u);
  EXPECT_EQ(t, 133000000000000000ULL);
  s = t = 7;
  EXPECT_FALSE(query_file_info(dir / L"missing", s, t));
  EXPECT_FALSE(query_file_info(dir.path(), s, t));
  EXPECT_FALSE(get_file_size_and_time(dir / L"missing", s, t));
  EXPECT_EQ(s, 7u);
}

// Past 4 GiB the 64-bit queries see the whole size and the 32-bit one its
// low bits, as the documents carry sizes.
TEST(FileSystemRead, FilesBeyond4GiB) {
  scoped_temp_dir dir;
  const uint64_t big = (uint64_t(1) << 32) + 5;
  ASSERT_TRUE(test::make_sized_file(dir / L"big", big));
  uint64_t size = 0, time = 0;
  ASSERT_TRUE(query_file_info(dir / L"big", size, time));
  EXPECT_EQ(size, big);
  size = 0;
  ASSERT_TRUE(get_file_size_and_time(dir / L"big", size, time));
  EXPECT_EQ(size, big);
  {
    file_handle file = file_handle::open_read(dir / L"big");
    size = 0;
    ASSERT_TRUE(file.is_open() && file.size(size));
    EXPECT_EQ(size, big);
  }
  EXPECT_EQ(get_file_size(dir / L"big"), 5u);
  ASSERT_TRUE(test::make_sized_file(dir / L"big", UINT32_MAX));
  EXPECT_EQ(get_file_size(dir / L"big"), UINT32_MAX);
}

TEST(ByteBuffer, GrowsKeepingItsBytes) {
  byte_buffer buffer;
  ASSERT_TRUE(buffer.grow(3));
  std::copy_n("abc", 3, buffer.data());
  ASSERT_TRUE(buffer.grow(5000));
  EXPECT_EQ(buffer.capacity(), 5000u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), 3), "abc");
}

TEST(FileSystemDelete, DeletesFilesEvenWhileOpen) {
  scoped_temp_dir dir;
  write_file(dir / L"open", "data");
  {
    // Another opener that allows deletion, as a running program would.
#ifdef _WIN32
    HANDLE h = CreateFileW((dir / L"open").c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(delete_file(dir / L"open"));
    CloseHandle(h);
#else
    std::FILE* f = open_c_file(dir / L"open", "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(delete_file(dir / L"open"));
    char c;
    EXPECT_EQ(std::fread(&c, 1, 1, f), 1u);  // the open file is still readable
    std::fclose(f);
#endif
  }
  EXPECT_FALSE(file_exists(dir / L"open"));
  EXPECT_FALSE(delete_file(dir / L"missing"));
  EXPECT_FALSE(delete_file(dir.path()));
}

TEST(FileSystemDirectories, CreateNestedAndRefuseFiles) {
  scoped_temp_dir dir;
  EXPECT_TRUE(create_directories(dir / L"a\\b\\c"));
  EXPECT_TRUE(directory_exists(dir / L"a\\b\\c"));
  EXPECT_TRUE(create_directories(dir / L"a\\b"));
  write_file(dir / L"file", "x");
  EXPECT_FALSE(create_directories(dir / L"file"));
  EXPECT_FALSE(create_directories(dir / L"file\\sub"));
}

TEST(FileSystemDirectories, CreatorsOfOneTreeAtOnceAllSucceed) {
  // One that finds a parent missing and then loses the race to make it must
  // not give up.
  for (int round = 0; round < 20; ++round) {
    scoped_temp_dir dir;
    std::atomic<int> made{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        if (create_directories(dir / (L"a\\b\\c\\" + std::to_wstring(t)))) ++made;
      });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(made.load(), 4) << "round " << round;
  }
}

TEST(FileSystemDirectories, FreeSpaceOfTheVolumeAndItsShrinking) {
  scoped_temp_dir dir;
  uint64_t before = 0, after = 0;
  ASSERT_TRUE(free_disk_space(dir.path(), before));
  EXPECT_GT(before, 0u);
  // A file's blocks, written through to the disk, leave less room.
  ASSERT_TRUE(create_directories(dir / L"sub"));
  const std::string bytes(8u << 20, 'x');
  ASSERT_TRUE(write_file_atomic(dir / L"sub\\big", bytes));
  ASSERT_TRUE(free_disk_space(dir / L"sub", after));
  // Others write to the volume too; the 8 MiB leave a wide band for them.
  EXPECT_LT(after, before + (4u << 20));
  uint64_t untouched = 12345;
  EXPECT_FALSE(free_disk_space(dir / L"missing", untouched));
  EXPECT_EQ(untouched, 12345u);
}

TEST(FileSystemDirectories, ListingIsParentFirstAndSelectsNamesWithoutDots) {
  scoped_temp_dir dir;
  write_file(dir / L"top.txt", "1");
  write_file(dir / L"README", "2");
  write_file(dir / L"sub\\inner.bin", "3");
  write_file(dir / L"sub\\deeper\\x", "4");
  write_file(dir / L"other\\y.dat", "5");
  auto files = list_files(dir.path(), true, L"*.*");
  ASSERT_EQ(files.size(), 5u);
  // The top directory's files come first.
  std::vector<std::wstring> first(files.begin(), files.begin() + 2);
  std::sort(first.begin(), first.end());
  EXPECT_EQ(first, (std::vector<std::wstring>{dir / L"README", dir / L"top.txt"}));
  auto pos = [&](const std::wstring& p) {
    return std::find(files.begin(), files.end(), p) - files.begin();
  };
  EXPECT_LT(pos(dir / L"sub\\inner.bin"), pos(dir / L"sub\\deeper\\x"));
  auto dirs = list_directories(dir.path(), true);
  ASSERT_EQ(dirs.size(), 3u);
  auto dpos = [&](const std::wstring& p) {
    return std::find(dirs.begin(), dirs.end(), p) - dirs.begin();
  };
  EXPECT_EQ(dpos(dir / L"sub\\deeper"), dpos(dir / L"sub") + 1);
  EXPECT_EQ(list_files(dir / L"top.txt", true, L"*.*").size(), 0u);
  EXPECT_EQ(list_files(dir / L"missing", true, L"*.*").size(), 0u);
  EXPECT_EQ(list_files(dir.path(), false, L"*.txt"), std::vector<std::wstring>{dir / L"top.txt"});
}

TEST(FileSystemDirectories, RemoveTreeEmptiesEveryLevelOnlyWhenAskedTo) {
  scoped_temp_dir dir;
  write_file(dir / L"t\\a", "1");
  create_directories(dir / L"t\\empty\\deeper");
  EXPECT_FALSE(remove_directory_tree(dir / L"t", false));
  EXPECT_TRUE(file_exists(dir / L"t\\a"));
  EXPECT_TRUE(remove_directory_tree(dir / L"t", true));
  EXPECT_FALSE(path_exists(dir / L"t"));

  // Kept parts below subfolders must not outlive the tree.
  write_file(dir / L"u\\a", "1");
  write_file(dir / L"u\\sub\\deeper\\b", "2");
  EXPECT_TRUE(remove_directory_tree(dir / L"u", true));
  EXPECT_FALSE(path_exists(dir / L"u"));
}

TEST(FileSystemWrite, MovesCopiesAndAtomicWrites) {
  scoped_temp_dir dir;
  write_file(dir / L"a", "new");
  write_file(dir / L"b", "old");
  ASSERT_TRUE(move_file_replace(dir / L"a", dir / L"b"));
  EXPECT_EQ(test::read_file(dir / L"b"), "new");
  EXPECT_FALSE(file_exists(dir / L"a"));
  create_directories(dir / L"d");
  EXPECT_FALSE(move_file_replace(dir / L"b", dir / L"d"));
  EXPECT_TRUE(file_exists(dir / L"b"));

  ASSERT_TRUE(test::set_file_time(dir / L"b", 132000000000000000ULL));
  ASSERT_TRUE(copy_file_replace(dir / L"b", dir / L"c"));
  EXPECT_EQ(test::read_file(dir / L"c"), "new");
  uint64_t s, t;
  ASSERT_TRUE(get_file_size_and_time(dir / L"c", s, t));
  EXPECT_EQ(t, 132000000000000000ULL);
  EXPECT_FALSE(copy_file_replace(dir / L"missing", dir / L"c"));

  ASSERT_TRUE(write_file_atomic(dir / L"doc.json", "{\"a\":1}\n"));
  EXPECT_EQ(test::read_file(dir / L"doc.json"), "{\"a\":1}\n");
  // A target that cannot take the file leaves nothing behind.
  EXPECT_FALSE(write_file_atomic(dir / L"d", "x"));
  EXPECT_FALSE(write_file_atomic(dir / L"missing-dir\\doc.json", "x"));
  EXPECT_EQ(list_files(dir.path(), false, L"*.*").size(), 3u);  // b, c, doc.json
}

TEST(FileSystemWrite, PlacingReplacesReadOnlyTargetsAndLeavesNoSource) {
  scoped_temp_dir dir;
  write_file(dir / L"new", "new");
  write_file(dir / L"installed", "old");
  // Windows refuses to replace or delete a read-only file unless the flag
  // goes first (a no-op on POSIX, where the directory decides).
  ASSERT_TRUE(set_file_attributes(dir / L"installed", 0x01));
  EXPECT_EQ(place_file(dir / L"new", dir / L"installed"), place_result::placed);
  EXPECT_EQ(test::read_file(dir / L"installed"), "new");
  EXPECT_FALSE(file_exists(dir / L"new"));

  write_file(dir / L"again", "again");
  ASSERT_TRUE(set_file_attributes(dir / L"installed", 0x01));
  ASSERT_TRUE(move_file_replace(dir / L"again", dir / L"installed"));
  EXPECT_EQ(test::read_file(dir / L"installed"), "again");
  ASSERT_TRUE(set_file_attributes(dir / L"installed", 0x01));
  EXPECT_TRUE(delete_file(dir / L"installed"));
  EXPECT_FALSE(file_exists(dir / L"installed"));

  EXPECT_EQ(place_file(dir / L"missing", dir / L"installed"), place_result::failed);
  write_file(dir / L"file", "x");
  create_directories(dir / L"d");
  EXPECT_EQ(place_file(dir / L"file", dir / L"d"), place_result::failed);
  EXPECT_TRUE(file_exists(dir / L"file"));
}

TEST(FileSystemWrite, PlacingSeveralFilesTogetherReportsEachOnItsOwn) {
  scoped_temp_dir dir;
  create_directories(dir / L"a");
  create_directories(dir / L"b");
  create_directories(dir / L"b\\taken");
  std::vector<file_move> moves;
  // More than are flushed in one go, over two directories.
  for (int i = 0; i < 40; ++i) {
    const std::wstring name = format_wide(L"%d", i);
    write_file(dir / (L"new" + name), "new " + std::to_string(i));
    moves.push_back({dir / (L"new" + name), dir / ((i % 2 ? L"a\\" : L"b\\") + name)});
  }
  write_file(dir / L"a\\1", "old");
  ASSERT_TRUE(set_file_attributes(dir / L"a\\1", 0x01));
  moves.push_back({dir / L"missing", dir / L"a\\missing"});
  write_file(dir / L"file", "x");
  moves.push_back({dir / L"file", dir / L"b\\taken"});

  const std::vector<place_result> results = place_files(moves);
  ASSERT_EQ(results.size(), moves.size());
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(results[i], place_result::placed) << i;
    EXPECT_EQ(test::read_file(moves[i].to), "new " + std::to_string(i));
    EXPECT_FALSE(file_exists(moves[i].from));
  }
  EXPECT_EQ(results[40], place_result::failed);
  EXPECT_FALSE(file_exists(dir / L"a\\missing"));
  EXPECT_EQ(results[41], place_result::failed);
  EXPECT_TRUE(file_exists(dir / L"file"));
  EXPECT_TRUE(place_files({}).empty());
}

TEST(FileSystemWrite, DevicesAndPipesAreNoFiles) {
  scoped_temp_dir dir;
#ifdef _WIN32
  // Names Windows maps to devices in any directory: not a byte may reach
  // them, and none may be read from them.
  const std::wstring devices[] = {dir / L"CONOUT$", dir / L"nul", dir / L"NUL"};
#else
  const std::wstring fifo = dir / L"fifo";
  ASSERT_EQ(mkfifo(native_path(fifo).c_str(), 0644), 0);
  // A FIFO without a reader would block an open for writing for ever, one
  // with none to write would block a read.
  const std::wstring devices[] = {L"/dev/null", L"/dev/zero", fifo};
#endif
  // Replacing one would unlink the node: only a name in our own directory
  // is risked, and no temporary file may stay behind.
  const std::wstring& own = devices[std::size(devices) - 1];
  const size_t names_before = list_files(dir.path(), false, L"*.*").size();
  EXPECT_FALSE(write_file_atomic(own, "x"));
  EXPECT_EQ(list_files(dir.path(), false, L"*.*").size(), names_before);
  for (const auto& device : devices) {
    const std::string name = wide_to_utf8(device);
    EXPECT_FALSE(file_handle::create_write(device).is_open()) << name;
    EXPECT_FALSE(file_handle::open_read(device).is_open()) << name;
    for (const char* mode : {"wb", "rb", "ab"}) {
      errno = 0;
      std::FILE* f = open_c_file(device, mode);
      EXPECT_EQ(f, nullptr) << name << " " << mode;
      if (f) std::fclose(f);
      EXPECT_NE(errno, 0) << name << " " << mode;
    }
  }
  errno = 0;
  EXPECT_EQ(open_c_file(dir.path(), "rb"), nullptr);  // a directory neither
  EXPECT_EQ(errno, EACCES);
  errno = 0;
  EXPECT_EQ(open_c_file(dir / L"missing\\x", "wb"), nullptr);
  EXPECT_EQ(errno, ENOENT);
  std::FILE* f = open_c_file(dir / L"plain", "ab");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
}

TEST(FileSystemWrite, PathsLongerThanTheOldLimit) {
  scoped_temp_dir dir;
  // Over 400 characters below the temporary directory, every component well
  // within the 255 a name may have.
  std::wstring deep = dir.path();
  for (int i = 0; i < 6; ++i) deep = join_path(deep, std::wstring(60, wchar_t(L'a' + i)));
  const std::wstring file = join_path(deep, std::wstring(200, L'f') + L".bin");
  ASSERT_GT(file.size(), 400u);
  ASSERT_TRUE(create_directories(deep));
  EXPECT_TRUE(directory_exists(deep));
  write_file(file, "contents");
  EXPECT_EQ(test::read_file(file), "contents");
  EXPECT_EQ(get_file_size(file), 8u);
  uint64_t size = 0, time = 0;
  EXPECT_TRUE(query_file_info(file, size, time));
  EXPECT_TRUE(set_file_attributes(file, 0x80));
  EXPECT_EQ(list_files(dir.path(), true, L"*.*"), std::vector<std::wstring>{file});
  ASSERT_TRUE(write_file_atomic(file + L".json", "{}"));
  EXPECT_EQ(place_file(file + L".json", file), place_result::placed);
  EXPECT_EQ(test::read_file(file), "{}");
  EXPECT_TRUE(copy_file_replace(file, file + L".copy"));
  EXPECT_TRUE(move_file_replace(file + L".copy", file + L".moved"));
  file_handle out = file_handle::create_write(file + L".handle");
  EXPECT_TRUE(out.is_open());
  out.close();
  EXPECT_TRUE(file_handle::open_read(file + L".handle").is_open());
  EXPECT_TRUE(delete_file(file + L".handle"));
  EXPECT_TRUE(remove_directory_tree(deep, true));
  EXPECT_FALSE(path_exists(deep));
}

#ifdef _WIN32
TEST(FileSystemWrite, TheLauncherDeclaresItselfLongPathAware) {
  // What the system is given without the extended prefix (the client's
  // working directory, say) passes the old limit only with this declaration.
  const std::wstring exe = join_path(test::test_binary_dir(), L"TessalyReach.exe");
  HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr) << wide_to_utf8(exe);
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(found, nullptr);
  const char* bytes = static_cast<const char*>(LockResource(LoadResource(module, found)));
  const std::string manifest(bytes, SizeofResource(module, found));
  FreeLibrary(module);
  EXPECT_NE(manifest.find("<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/"
                          "WindowsSettings\">true</longPathAware>"),
            std::string::npos)
      << manifest;
}

TEST(FileSystemWrite, ATargetInUseIsReportedApart) {
  scoped_temp_dir dir;
  write_file(dir / L"new", "new");
  write_file(dir / L"busy", "old");
  // Held the way a virus scanner or a running client holds a file: nobody
  // may delete or rename it meanwhile.
  HANDLE h = CreateFileW((dir / L"busy").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(place_file(dir / L"new", dir / L"busy"), place_result::in_use);
  EXPECT_TRUE(file_exists(dir / L"new"));
  CloseHandle(h);
  EXPECT_EQ(place_file(dir / L"new", dir / L"busy"), place_result::placed);
  EXPECT_EQ(test::read_file(dir / L"busy"), "new");

  // The same for a freshly written file that someone still scans.
  write_file(dir / L"scanned", "scanned");
  h = CreateFileW((dir / L"scanned").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(place_file(dir / L"scanned", dir / L"busy"), place_result::in_use);
  CloseHandle(h);
  EXPECT_EQ(place_file(dir / L"scanned", dir / L"busy"), place_result::placed);
}
#endif

TEST(FileSystemFence, WritesOnlyWhereTheThreadIsAllowed) {
  scoped_temp_dir dir;
  const std::wstring game = dir / L"game", outside = dir / L"outside.txt";
  write_file(outside, "keep");
  write_file(game + L"\\.temp\\cache.json", "keep");
  write_file(game + L"\\old.txt", "old");
  {
    write_fence fence({{game, game + L"\\.temp\\downloading"},
                       {game + L"\\.temp"},
                       {game + L"\\.temp\\launcher.log"}});
    // Whatever way a path leaves the game, or reaches the session's files.
    for (const std::wstring& refused :
         {outside, game + L"\\..\\outside.txt", game + L"\\a\\..\\..\\outside.txt",
          game + L"\\.temp\\cache.json", game + L"\\x\\..\\.temp\\cache.json"}) {
      EXPECT_FALSE(delete_file(refused)) << wide_to_utf8(refused);
      EXPECT_FALSE(file_handle::create_write(refused).is_open());
      EXPECT_EQ(open_c_file(refused, "ab"), nullptr);
      EXPECT_FALSE(write_file_atomic(refused, "x"));
      EXPECT_EQ(place_file(game + L"\\old.txt", refused), place_result::failed);
    }
#ifdef _WIN32
    // Windows takes these for the session's folder.
    EXPECT_FALSE(delete_file(game + L"\\.TEMP.\\cache.json"));
#endif
    EXPECT_FALSE(move_file_replace(outside, game + L"\\moved.txt"));
    EXPECT_FALSE(remove_directory_tree(game + L"\\.temp", true));
    // Reading is never fenced.
    std::string bytes;
    EXPECT_TRUE(read_whole_file(outside, bytes));

    EXPECT_TRUE(create_directories(game + L"\\.temp\\downloading\\d"));
    EXPECT_TRUE(write_file_atomic(game + L"\\.temp\\downloading\\d\\f", "part"));
    EXPECT_EQ(place_file(game + L"\\.temp\\downloading\\d\\f", game + L"\\new.txt"),
              place_result::placed);
    std::FILE* log = open_c_file(game + L"\\.temp\\launcher.log", "ab");
    ASSERT_NE(log, nullptr);
    std::fclose(log);
    EXPECT_TRUE(delete_file(game + L"\\old.txt"));
  }
  EXPECT_EQ(test::read_file(outside), "keep");
  EXPECT_EQ(test::read_file(game + L"\\.temp\\cache.json"), "keep");
  EXPECT_EQ(test::read_file(game + L"\\new.txt"), "part");
  // Without a fence the thread writes anywhere again.
  EXPECT_TRUE(delete_file(outside));
}

TEST(FileSystemLock, OneHolderAtATime) {
  scoped_temp_dir dir;
  bool elsewhere = true;
  file_handle first = file_handle::lock_exclusive(dir / L"lock", elsewhere);
  ASSERT_TRUE(first.is_open());
  EXPECT_FALSE(elsewhere);
  // Anyone may still look at the file without taking the lock.
  std::FILE* look = open_c_file(dir / L"lock", "rb");
  EXPECT_NE(look, nullptr);
  if (look) std::fclose(look);
  file_handle second = file_handle::lock_exclusive(dir / L"lock", elsewhere);
  EXPECT_FALSE(second.is_open());
  EXPECT_TRUE(elsewhere);
  first.close();
  second = file_handle::lock_exclusive(dir / L"lock", elsewhere);
  EXPECT_TRUE(second.is_open());
  EXPECT_FALSE(elsewhere);
  // A lock that cannot even be opened is not someone else's.
  EXPECT_FALSE(file_handle::lock_exclusive(dir / L"missing\\lock", elsewhere).is_open());
  EXPECT_FALSE(elsewhere);
}

TEST(FileSystemWrite, NonAsciiNames) {
  scoped_temp_dir dir;
  std::wstring name = dir / L"\x0414\x0430\x043d\x043d\x044b\x0435 file.bin";
  write_file(name, "abc");
  EXPECT_EQ(get_file_size(name), 3u);
  auto files = list_files(dir.path(), false, L"*.*");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0], name);
}

// A file whose bytes change keeps its size and may keep its last-write time
// (a build tool that restores it, a write within the clock's resolution):
// the identity still tells, and so does a replacement by another file.
TEST(FileSystemIdentity, ChangesWhenTheContentsMayHave) {
  scoped_temp_dir dir;
  const std::wstring path = dir / L"f.bin";
  write_file(path, "0123456789");
  file_identity before;
  ASSERT_TRUE(file_identity_of(path, before));
  EXPECT_EQ(before.size, 10u);
  file_handle open = file_handle::open_read(path);
  file_identity through_handle;
  ASSERT_TRUE(open.identity(through_handle));
  EXPECT_TRUE(through_handle == before);
  open.close();

  uint64_t size = 0, time = 0;
  ASSERT_TRUE(get_file_size_and_time(path, size, time));
#ifndef _WIN32
  // Windows has no way to write without passing the change time along;
  // POSIX updates ctime, which no one can set back.
  usleep(20000);
#endif
  write_file(path, "0123456788");
  ASSERT_TRUE(test::set_file_time(path, time));
  file_identity after;
  ASSERT_TRUE(file_identity_of(path, after));
  EXPECT_EQ(after.size, before.size);
  EXPECT_EQ(after.write_time, before.write_time);
  EXPECT_TRUE(after != before);

  write_file(dir / L"other", "0123456788");
  ASSERT_TRUE(test::set_file_time(dir / L"other", time));
  ASSERT_TRUE(move_file_replace(dir / L"other", path));
  file_identity replaced;
  ASSERT_TRUE(file_identity_of(path, replaced));
  EXPECT_NE(replaced.index, after.index);
  EXPECT_FALSE(file_identity_of(dir / L"missing", replaced));
  EXPECT_FALSE(file_identity_of(dir.path(), replaced));  // a directory is no file
}

TEST(FileSystemIdentity, SeekReadsFromAnyOffset) {
  scoped_temp_dir dir;
  write_file(dir / L"f", "abcdefghij");
  file_handle f = file_handle::open_read(dir / L"f");
  char piece[4] = {};
  uint32_t got = 0;
  ASSERT_TRUE(f.seek(6));
  ASSERT_TRUE(f.read(piece, 4, got));
  EXPECT_EQ(std::string(piece, got), "ghij");
  ASSERT_TRUE(f.seek(0));
  ASSERT_TRUE(f.read(piece, 2, got));
  EXPECT_EQ(std::string(piece, got), "ab");
  ASSERT_TRUE(f.seek(100));  // past the end: nothing more to read
  ASSERT_TRUE(f.read(piece, 4, got));
  EXPECT_EQ(got, 0u);
}

#ifndef _WIN32

// Documents kept elsewhere and linked in (a publisher's configuration under
// version control, say) stay linked, and private files stay private.
TEST(FileSystemWrite, AtomicWritesGoThroughLinksAndKeepPermissions) {
  scoped_temp_dir dir;
  const std::wstring real = dir / L"kept\\doc.json";
  write_file(real, "old");
  ASSERT_EQ(chmod(native_path(real).c_str(), 0600), 0);
  const std::string link = native_path(dir / L"doc.json");
  ASSERT_EQ(symlink("kept/doc.json", link.c_str()), 0);
  const std::string chain = native_path(dir / L"chain.json");
  ASSERT_EQ(symlink(link.c_str(), chain.c_str()), 0);

  ASSERT_TRUE(write_file_atomic(dir / L"chain.json", "new"));
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(lstat(chain.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(test::read_file(real), "new");
  ASSERT_EQ(stat(native_path(real).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(list_files(dir / L"kept", false, L"*.*").size(), 1u);  // no temporary left

  // A link to nowhere is written through too: its target comes into being.
  ASSERT_EQ(symlink("kept/later.json", native_path(dir / L"later.json").c_str()), 0);
  ASSERT_TRUE(write_file_atomic(dir / L"later.json", "made"));
  EXPECT_EQ(test::read_file(dir / L"kept\\later.json"), "made");
  unlink(chain.c_str());
  unlink(link.c_str());
  unlink(native_path(dir / L"later.json").c_str());
}

#endif

}  // namespace
}  // namespace tsl
