#include "update/file_check.h"

#include <gtest/gtest.h>

#include <map>

#include "tests/test_util.h"
#include "util/file_system.h"
#include "util/text.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace tsl {
namespace {

const std::wstring game_dir = L"C:\\games\\tsl";
// sha1("hello world")
const std::string hello_sha1 = "2aae6c35c94fcfb415dbe95f408b9ce91ee846ed";

// Installed files from a table; every digest asked for is counted.
class table_files : public installed_files {
 public:
  struct file {
    uint64_t size;
    uint64_t time;
    std::string digest;
  };

  void put(const std::wstring& local, uint64_t size, uint64_t time, const std::string& digest) {
    files_[join_path(game_dir, local)] = file{size, time, digest};
  }
  bool query(const std::wstring& path, uint64_t& size, uint64_t& time) override {
    auto it = files_.find(path);
    if (it == files_.end()) return false;
    size = it->second.size;
    time = it->second.time;
    return true;
  }
  std::string digest(const std::wstring& path) override {
    ++digests;
    auto it = files_.find(path);
    return it == files_.end() ? std::string() : it->second.digest;
  }
  // The table's digest text stands for either kind.
  std::string sha256_digest(const std::wstring& path) override {
    ++sha256_digests;
    auto it = files_.find(path);
    return it == files_.end() ? std::string() : it->second.digest;
  }
  int sha256_digests = 0;

  int digests = 0;

 private:
  std::map<std::wstring, file> files_;
};

// One run's rules with the default masks, and a helper that judges one entry.
struct check_world {
  mask_list soft;
  mask_list hard;
  acceptable_map acceptable;
  file_cache cache;
  bool gameupdate_changed = false;
  table_files files;

  check_world() {
    soft.add(L"config\\*.*");
    hard.add(L"client\\*.exe");
  }
  bool sha256 = false;  // a signed index
  std::string sha256_of_entry;
  check_result judge(const std::string& local, uint32_t size, const std::string& sha1) {
    index_entry entry;
    entry.local_path = local;
    entry.local_size = size;
    entry.local_sha1 = sha1;
    entry.local_sha256 = sha256_of_entry;
    const std::wstring wide = utf8_to_wide(local);
    const check_inputs inputs{soft, hard, acceptable, cache, gameupdate_changed, files, sha256};
    return check_entry(entry, wide, join_path(game_dir, wide), inputs);
  }
  void accept(const std::string& file, std::vector<std::string> sums) {
    std::vector<acceptable_checksum> items{{file, std::move(sums)}};
    acceptable = make_acceptable_map(items, game_dir);
  }
};

TEST(FileCheckDecision, MissingFilesAreFetchedWithoutHashing) {
  check_world w;
  EXPECT_EQ(w.judge("data\\a.bin", 5, hello_sha1).verdict, check_verdict::fetch);
  EXPECT_EQ(w.judge("config\\user.cfg", 5, hello_sha1).verdict, check_verdict::fetch);
  EXPECT_EQ(w.files.digests, 0);
}

TEST(FileCheckDecision, SoftFilesOnlyNeedToExist) {
  check_world w;
  w.files.put(L"config\\user.cfg", 999, 40, "other");
  check_result r = w.judge("config\\user.cfg", 5, hello_sha1);
  EXPECT_EQ(r.verdict, check_verdict::keep_and_store);
  EXPECT_EQ(r.stamp, 999u ^ 40u);
  EXPECT_EQ(w.files.digests, 0);
  // A soft mask needs a dot in the name: config\readme is verified.
  w.files.put(L"config\\readme", 999, 40, "other");
  EXPECT_EQ(w.judge("config\\readme", 5, hello_sha1).verdict, check_verdict::fetch);
}

TEST(FileCheckDecision, OtherSizeIsFetchedWithoutHashing) {
  check_world w;
  w.files.put(L"data\\a.bin", 6, 40, hello_sha1);
  EXPECT_EQ(w.judge("data\\a.bin", 5, hello_sha1).verdict, check_verdict::fetch);
  EXPECT_EQ(w.files.digests, 0);
  // The whole 64-bit size counts: 4 GiB more is another file.
  w.files.put(L"data\\b.bin", (1ULL << 32) + 5, 40, hello_sha1);
  EXPECT_EQ(w.judge("data\\b.bin", 5, hello_sha1).verdict, check_verdict::fetch);
}

TEST(FileCheckDecision, MatchingStampSkipsTheDigestUnlessHardOrNewGameupdate) {
  check_world w;
  w.files.put(L"data\\a.bin", 5, 40, "tampered");
  w.files.put(L"client\\Client.exe", 5, 40, hello_sha1);
  w.cache.store_stamp("data\\a.bin", make_file_stamp(5, 40));
  w.cache.store_stamp("client\\Client.exe", make_file_stamp(5, 40));
  EXPECT_EQ(w.judge("data\\a.bin", 5, hello_sha1).verdict, check_verdict::keep);
  EXPECT_EQ(w.files.digests, 0);
  // A hard mask always hashes, cache or not.
  check_result r = w.judge("client\\Client.exe", 5, hello_sha1);
  EXPECT_EQ(r.verdict, check_verdict::keep_and_store);
  EXPECT_EQ(r.stamp, make_file_stamp(5, 40));
  EXPECT_EQ(w.files.digests, 1);
  // A new gameupdate number hashes every file of matching size.
  w.gameupdate_changed = true;
  EXPECT_EQ(w.judge("data\\a.bin", 5, hello_sha1).verdict, check_verdict::fetch);
  EXPECT_EQ(w.files.digests, 2);
}

TEST(FileCheckDecision, StaleStampFallsBackToTheDigest) {
  check_world w;
  w.cache.store_stamp("data\\a.bin", make_file_stamp(5, 40));
  w.files.put(L"data\\a.bin", 5, 41, "2AAE6C35C94FCFB415DBE95F408B9CE91EE846ED");
  EXPECT_EQ(w.judge("data\\a.bin", 5, hello_sha1).verdict, check_verdict::keep_and_store);
  w.files.put(L"data\\a.bin", 5, 42, "0000000000000000000000000000000000000000");
  EXPECT_EQ(w.judge("data\\a.bin", 5, hello_sha1).verdict, check_verdict::fetch);
  EXPECT_EQ(w.files.digests, 2);
  // An unreadable file has the empty digest and matches only an entry without one.
  w.files.put(L"data\\locked.bin", 0, 42, "");
  EXPECT_EQ(w.judge("data\\locked.bin", 0, "").verdict, check_verdict::keep_and_store);
}

TEST(FileCheckDecision, AcceptableChecksumsKeepWithoutStoring) {
  check_world w;
  w.accept("data\\levels\\*.map", {" 2AAE6C35C94FCFB415DBE95F408B9CE91EE846ED "});
  w.files.put(L"data\\levels\\level 1.map", 11, 40, hello_sha1);
  // Another size: the digest is taken for the map all the same.
  check_result r =
      w.judge("data\\levels\\level 1.map", 14, "1111111111111111111111111111111111111111");
  EXPECT_EQ(r.verdict, check_verdict::keep);
  EXPECT_EQ(w.files.digests, 1);
  w.files.put(L"data\\levels\\level 2.map", 11, 40, "other");
  EXPECT_EQ(w.judge("data\\levels\\level 2.map", 11, "x").verdict, check_verdict::fetch);
  // A path the pattern does not match is fetched.
  w.files.put(L"data\\level.map", 11, 40, hello_sha1);
  EXPECT_EQ(w.judge("data\\level.map", 14, "x").verdict, check_verdict::fetch);
}

TEST(FileCheckDecision, EmptyAcceptableChecksumAcceptsAMissingFile) {
  check_world w;
  w.accept("optional.pak", {""});
  EXPECT_EQ(w.judge("optional.pak", 16, hello_sha1).verdict, check_verdict::keep);
  EXPECT_EQ(w.files.digests, 0);  // nothing to hash
  EXPECT_EQ(w.judge("other.pak", 16, hello_sha1).verdict, check_verdict::fetch);
}

TEST(FileCheckDecision, FirstMatchingPatternDecidesAlone) {
  check_world w;
  std::vector<acceptable_checksum> items{{"data\\*.bin", {"aaaa"}}, {"data\\z*.bin", {"zzzz"}}};
  w.acceptable = make_acceptable_map(items, game_dir);
  // "data\*.bin" sorts first and does not hold zzzz; the second pattern is not asked.
  w.files.put(L"data\\zed.bin", 4, 40, "zzzz");
  EXPECT_EQ(w.judge("data\\zed.bin", 5, "x").verdict, check_verdict::fetch);
  w.files.put(L"data\\zed.bin", 4, 40, "AAAA");
  EXPECT_EQ(w.judge("data\\zed.bin", 5, "x").verdict, check_verdict::keep);
}

TEST(FileCheckDecision, AcceptableMapKeysAndDigests) {
  std::vector<acceptable_checksum> items{
      {"Data/Sub\\A.bin", {" x ", "y", "x"}}, {"empty.bin", {}}, {"data/sub\\a.bin", {"z"}}};
  acceptable_map map = make_acceptable_map(items, game_dir);
  ASSERT_EQ(map.size(), 1u);  // no digests: left out; the same key: replaced
  EXPECT_EQ(map.begin()->first, L"c:\\games\\tsl\\data\\sub\\a.bin");
  EXPECT_EQ(map.begin()->second, (std::set<std::string>{"z"}));
  items.pop_back();
  map = make_acceptable_map(items, game_dir);
  EXPECT_EQ(map.begin()->second, (std::set<std::string>{"x", "y"}));
}

TEST(FileCheckTask, FieldsAsHandedToTheDownloadWorker) {
  session_paths paths;
  paths.launcher_dir = game_dir;
  paths.image_path = join_path(game_dir, L"TessalyReach.exe");
  paths.new_image_path = join_path(game_dir, L"new-TessalyReach.exe");
  paths.downloading_dir = join_path(game_dir, L".temp\\g\\downloading");
  index_entry entry;
  entry.local_path = "data\\Game Data.bin";
  entry.remote_path = "7/data/game%20data.bin.lzma2";
  entry.local_size = 10;
  entry.local_sha1 = "aa";
  entry.remote_size = 4;
  entry.remote_sha1 = "bb";
  entry.pack = "lzma2";
  const std::wstring local = L"data\\Game Data.bin";
  auto task = make_update_task(entry, local, join_path(game_dir, local), paths);
  EXPECT_EQ(task->phase, 0);
  EXPECT_EQ(task->attempts, 0u);
  EXPECT_EQ(task->file_name, L"Game Data.bin");
  EXPECT_EQ(task->target_path, L"C:\\games\\tsl\\data\\Game Data.bin");
  // Named for its entry's "r" and digest (letter case aside), so a partial
  // download is never continued into another file; decoded beside it, where
  // no entry's file can be.
  const std::wstring below = L"C:\\games\\tsl\\.temp\\g\\downloading\\data\\Game Data.bin.";
  EXPECT_EQ(task->download_path.substr(0, below.size()), below);
  EXPECT_EQ(task->download_path.substr(task->download_path.size() - 6), L".lzma2");
  EXPECT_EQ(task->unpack_path,
            task->download_path.substr(0, task->download_path.size() - 6) + L".unp");
  index_entry other = entry;
  other.remote_sha1 = "BB";
  EXPECT_EQ(make_update_task(other, local, join_path(game_dir, local), paths)->download_path,
            task->download_path);
  other.remote_sha1 = "bc";
  EXPECT_NE(make_update_task(other, local, join_path(game_dir, local), paths)->download_path,
            task->download_path);
  other = entry;
  other.remote_path += "x";
  EXPECT_NE(make_update_task(other, local, join_path(game_dir, local), paths)->download_path,
            task->download_path);
  EXPECT_EQ(task->expected_digest, "bb");
  EXPECT_FALSE(task->is_launcher);

  // The launcher's own executable, plain: put in place at its "new-" path.
  entry.local_path = "tessalyreach.EXE";
  entry.pack = "none";
  task =
      make_update_task(entry, L"tessalyreach.EXE", join_path(game_dir, L"tessalyreach.EXE"), paths);
  EXPECT_TRUE(task->is_launcher);
  EXPECT_EQ(task->target_path, paths.new_image_path);
  EXPECT_EQ(task->download_path.substr(0, 50),
            L"C:\\games\\tsl\\.temp\\g\\downloading\\tessalyreach.EXE.");
  EXPECT_EQ(task->download_path.substr(task->download_path.size() - 5), L".temp");
  EXPECT_EQ(task->expected_digest, "aa");
}

TEST(FileCheckDecision, SignedIndexComparesBySha256Only) {
  check_world w;
  w.sha256 = true;
  w.sha256_of_entry = "strong";
  // A file whose SHA-1 matches but whose SHA-256 does not is fetched.
  w.files.put(L"data\\a.bin", 5, 40, hello_sha1);
  EXPECT_EQ(w.judge("data\\a.bin", 5, hello_sha1).verdict, check_verdict::fetch);
  w.files.put(L"data\\b.bin", 5, 40, "strong");
  EXPECT_EQ(w.judge("data\\b.bin", 5, hello_sha1).verdict, check_verdict::keep_and_store);
  EXPECT_EQ(w.files.digests, 0);
  EXPECT_EQ(w.files.sha256_digests, 2);
  // Acceptable checksums are SHA-1 texts still.
  w.accept("data\\a.bin", {hello_sha1});
  EXPECT_EQ(w.judge("data\\a.bin", 5, "other").verdict, check_verdict::keep);
  EXPECT_EQ(w.files.digests, 1);
}

TEST(FileCheckDecision, SignedIndexTasksCarrySha256Digests) {
  session_paths paths;
  paths.image_path = join_path(game_dir, L"TessalyReach.exe");
  paths.downloading_dir = join_path(game_dir, L".temp\\g\\downloading");
  index_entry entry;
  entry.local_path = "a.bin";
  entry.local_sha1 = "aa";
  entry.local_sha256 = "l256";
  entry.remote_sha1 = "bb";
  entry.remote_sha256 = "r256";
  entry.pack = "lzma2";
  auto task = make_update_task(entry, L"a.bin", join_path(game_dir, L"a.bin"), paths, true);
  EXPECT_TRUE(task->sha256);
  EXPECT_EQ(task->local_digest, "l256");
  EXPECT_EQ(task->expected_digest, "r256");
  entry.pack = "none";
  task = make_update_task(entry, L"a.bin", join_path(game_dir, L"a.bin"), paths, true);
  EXPECT_EQ(task->expected_digest, "l256");
  task = make_update_task(entry, L"a.bin", join_path(game_dir, L"a.bin"), paths);
  EXPECT_FALSE(task->sha256);
  EXPECT_EQ(task->expected_digest, "aa");
}

TEST(MaskList, NormalisedMasksMatchPieceByPiece) {
  mask_list hard;
  hard.add(L"client\\*.exe");
  hard.add(L" CLIENT\\*.exe ");
  hard.add(L"data/sub/x.bin");
  EXPECT_TRUE(hard.matches(L"client\\Client.exe"));
  EXPECT_FALSE(hard.matches(L"client\\sub\\a.exe"));
  EXPECT_FALSE(hard.matches(L"data\\sub\\x.bin"));  // only the first slash turns
  mask_list soft;
  soft.add(L"config\\*.*");
  EXPECT_FALSE(soft.matches(L"config\\readme"));
  EXPECT_TRUE(soft.matches(L"Config\\User.CFG"));
}

TEST(TaskHasher, StreamedDigestsEqualTheFileDigests) {
  const std::string hello = "hello world";
  const auto* bytes = reinterpret_cast<const uint8_t*>(hello.data());
  task_hasher hasher;
  for (bool sha256 : {false, true}) {
    // A stream given up half-way leaves nothing in the next one.
    hasher.begin(sha256);
    hasher.add(bytes, 3);
    hasher.begin(sha256);
    hasher.add(bytes, 5);
    hasher.add(bytes + 5, hello.size() - 5);
    EXPECT_EQ(hasher.finish(), sha256 ? sha256_text(hello) : hello_sha1);
    hasher.begin(sha256);
    // No bytes: what the digest of an empty file is on each side.
    EXPECT_EQ(hasher.finish(), sha256 ? sha256_text("") : "");
  }
}

TEST(FileCheckReserved, TheLaunchersOwnFilesAreNoTargets) {
  test::scoped_temp_dir game;
  const std::wstring exe = L"TessalyReach.exe";
  for (const wchar_t* reserved :
       {L".temp\\0d3f6c21-7a4e-4b9d-a1c5-52e8f0b7c9a4\\cache.json", L".TEMP\\x\\version.json",
        L".Temp/x/downloading/client/Client.exe.temp", L".temp", L"old-TessalyReach.exe",
        L"NEW-tessalyreach.EXE"}) {
    EXPECT_NE(reserved_target_problem(game.path(), reserved, exe), L"") << wide_to_utf8(reserved);
  }
  for (const wchar_t* fine : {L"TessalyReach.exe", L"client\\old-TessalyReach.exe", L"temp\\x",
                              L".temp2\\x", L"data\\.temp\\x", L"old-Other.exe"}) {
    EXPECT_EQ(reserved_target_problem(game.path(), fine, exe), L"") << wide_to_utf8(fine);
  }
#ifdef _WIN32
  // A short alias reaches the same directory as its long name.
  test::write_file(game / L".temp\\x\\cache.json", "{}");
  test::write_file(game / L"old-TessalyReach.exe", "old");
  for (const wchar_t* name : {L".temp", L"old-TessalyReach.exe"}) {
    wchar_t alias[MAX_PATH];
    DWORD n = GetShortPathNameW((game / name).c_str(), alias, MAX_PATH);
    ASSERT_GT(n, 0u);
    const std::wstring short_name = file_name_of(std::wstring(alias, n));
    ASSERT_FALSE(equals_ignore_case(short_name, name)) << wide_to_utf8(short_name);
    EXPECT_NE(reserved_target_problem(game.path(), short_name, exe), L"")
        << wide_to_utf8(short_name);
  }
  wchar_t alias[MAX_PATH];
  DWORD n = GetShortPathNameW((game / L".temp").c_str(), alias, MAX_PATH);
  const std::wstring temp_alias = file_name_of(std::wstring(alias, n));
  EXPECT_NE(reserved_target_problem(game.path(), temp_alias + L"\\x\\cache.json", exe), L"");
#endif
}

}  // namespace
}  // namespace tsl
