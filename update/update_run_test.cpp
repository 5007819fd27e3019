#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "codec/sha1.h"
#include "update/game_launcher.h"
#include "update/game_launcher_seams.h"
#include "tests/update_fixture.h"
#include "update/update_pipeline.h"
#include "update/update_task.h"
#include "update/update_texts.h"
#include "util/file_system.h"
#include "util/process.h"
#include "util/product.h"
#include "util/text.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace tsl {
namespace {

using nlohmann::json;
using test::game_install;
using test::published_file;
using test::publisher;
using test::run_update;
using test::update_host;

const std::wstring session_rel = join_path(L".temp", product_guid);

// A game, its host and a publisher, with a helper to bring the install up to date.
struct update_world {
  game_install game;
  test::scoped_temp_dir host_dir;
  update_host host{host_dir.path()};
  publisher pub{host_dir.path()};

  json config() const { return publisher::default_config({host.base_url()}); }
  test::run_result update(std::function<void(CSplashWnd&, const std::wstring&)> during = nullptr) {
    return run_update(game, {host.base_url()}, std::move(during),
                      [](game_launcher& s) { game_launcher_seams::set_retry_delay(s, 0); });
  }
  std::wstring session(const std::wstring& name) const {
    return game.path(join_path(session_rel, name));
  }
  int downloads() const {
    int n = 0;
    for (const auto& path : host.request_log()) {
      if (path != "version.json" && path.find("index.json") == std::string::npos) ++n;
    }
    return n;
  }
};

std::wstring published_path(const std::wstring& host_dir, const std::string& remote) {
  return join_path(host_dir, unescape_remote_path(utf8_to_wide(remote)));
}

std::vector<published_file> game_files(const std::string& version) {
  return {{"client\\Client.exe", "client " + version + std::string(20000, 'c'), true},
          {"client\\engine.dll", "engine " + version, false},
          {"data\\Game Data.bin", test::random_bytes(70000, 7), true},
          {"data\\levels\\level 1.map", "level one " + version, false},
          {"config\\settings.cfg", "user settings default", false},
          {"empty.txt", "", false}};
}

TEST(UpdateRun, FirstInstallThenNothingToDo) {
  update_world w;
  w.pub.publish(1, game_files("v1"), w.config());
  auto r = w.update();
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.error, L"");
  EXPECT_FALSE(r.restart);
  for (const auto& f : game_files("v1")) {
    EXPECT_EQ(test::read_file(w.game.path(utf8_to_wide(f.local))), f.content) << f.local;
    EXPECT_FALSE(file_exists(w.game.path(utf8_to_wide(f.local) + L".unp")));
  }
  EXPECT_TRUE(file_exists(w.session(L"cache.json")));
  EXPECT_TRUE(file_exists(w.session(L"config.json")));
  EXPECT_FALSE(path_exists(w.session(L"downloading")));
  EXPECT_FALSE(file_exists(w.session(L"index.json.lzma2")));
  EXPECT_EQ(r.statuses.back(), pick_text(texts::files_updated));
  int first = w.downloads();
  EXPECT_EQ(first, 6);

  auto again = w.update();
  ASSERT_TRUE(again.ok);
  EXPECT_EQ(again.error, L"");
  EXPECT_EQ(w.downloads(), first);  // nothing fetched
}

TEST(UpdateRun, IncrementalUpdateFetchesOnlyWhatChanged) {
  update_world w;
  w.pub.publish(1, game_files("v1"), w.config());
  ASSERT_EQ(w.update().error, L"");
  auto files = game_files("v1");
  files[0].content = "client v2" + std::string(20000, 'C');
  files[3].content = "level one, second edition";
  w.pub.publish(2, files, w.config());
  int before = w.downloads();
  auto r = w.update();
  ASSERT_EQ(r.error, L"");
  EXPECT_EQ(w.downloads() - before, 2);
  EXPECT_EQ(test::read_file(w.game.path(L"client\\Client.exe")), files[0].content);
  EXPECT_EQ(test::read_file(w.game.path(L"data\\levels\\level 1.map")), files[3].content);
}

// Changes a file's bytes while keeping its size and last-write time, so only
// a digest can tell.
void tamper(const std::wstring& path) {
  uint64_t size = 0, time = 0;
  ASSERT_TRUE(get_file_size_and_time(path, size, time));
  std::string bytes = test::read_file(path);
  ASSERT_FALSE(bytes.empty());
  bytes[0] = static_cast<char>(bytes[0] ^ 0x55);
  test::write_file(path, bytes);
  ASSERT_TRUE(test::set_file_time(path, time));
}

TEST(UpdateRun, CacheSkipsHashingUnlessHardOrGameupdateChanged) {
  update_world w;
  w.pub.publish(1, game_files("v1"), w.config());
  ASSERT_EQ(w.update().error, L"");
  std::wstring level = w.game.path(L"data\\levels\\level 1.map");
  std::wstring exe = w.game.path(L"client\\Client.exe");
  tamper(level);
  tamper(exe);
  ASSERT_EQ(w.update().error, L"");
  // Same gameupdate: the cache stands for the level; the hard mask hashes the exe.
  EXPECT_NE(test::read_file(level), game_files("v1")[3].content);
  EXPECT_EQ(test::read_file(exe), game_files("v1")[0].content);

  // A new gameupdate number forces hashing of every file of matching size.
  w.pub.publish(2, game_files("v1"), w.config());
  ASSERT_EQ(w.update().error, L"");
  EXPECT_EQ(test::read_file(level), game_files("v1")[3].content);
}

TEST(UpdateRun, VerifyRepairsWhatTheCacheWouldHaveAccepted) {
  update_world w;
  w.pub.publish(1, game_files("v1"), w.config());
  ASSERT_EQ(w.update().error, L"");
  const std::wstring level = w.game.path(L"data\\levels\\level 1.map");
  const std::wstring engine = w.game.path(L"client\\engine.dll");
  tamper(level);
  uint64_t size = 0, time = 0;
  ASSERT_TRUE(get_file_size_and_time(level, size, time));
  const int before = w.downloads();
  auto r = run_update(w.game, {w.host.base_url()}, nullptr, [](game_launcher& s) {
    game_launcher_seams::set_retry_delay(s, 0);
    s.set_verify(true);
  });
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.error, L"");
  // Only the damaged file is fetched; the intact ones are hashed and kept.
  EXPECT_EQ(w.downloads() - before, 1);
  EXPECT_EQ(test::read_file(level), game_files("v1")[3].content);
  EXPECT_EQ(test::read_file(engine), game_files("v1")[1].content);
  // The repaired file's new stamp is trusted again by a plain run.
  ASSERT_EQ(w.update().error, L"");
  EXPECT_EQ(w.downloads() - before, 1);
}

TEST(UpdateRun, AFileTheDiskCannotHoldFailsAtOnceAndLosesNothing) {
  update_world w;
  auto files = game_files("v1");
  w.pub.publish(1, files, w.config());
  ASSERT_EQ(w.update().error, L"");
  files[0].content = "client v2" + std::string(20000, 'C');  // packed, about 20 KB unpacked
  files[2].content = test::random_bytes(70000, 8);           // packed, does not shrink
  w.pub.publish(2, files, w.config());
  const std::wstring data = w.game.path(L"data\\Game Data.bin");
  const std::string old_data = test::read_file(data);
  std::vector<std::wstring> asked;
  auto r = run_update(w.game, {w.host.base_url()}, nullptr, [&](game_launcher& s) {
    game_launcher_seams::set_retry_delay(s, 0);
    game_launcher_seams::set_free_space_query(s,
                                              [&](const std::wstring& directory, uint64_t& bytes) {
                                                asked.push_back(directory);
                                                bytes = disk_space_margin + 100000;
                                                return true;
                                              });
  });
  EXPECT_TRUE(r.ok);
  // Published plus unpacked bytes: the data file needs 140 KB, the client 40 KB.
  EXPECT_EQ(r.error,
            L"Failed to download 1 files\nFile: data\\Game Data.bin (Not enough disk space)");
  EXPECT_EQ(w.host.requests("2/data/Game Data.bin.lzma2"), 0);
  EXPECT_EQ(test::read_file(data), old_data);
  EXPECT_EQ(test::read_file(w.game.path(L"client\\Client.exe")), files[0].content);
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0].rfind(w.session(L"downloading"), 0), 0u);
  // Asked once only: room does not grow by trying again.
  EXPECT_EQ(std::count(asked.begin(), asked.end(), w.session(L"downloading\\data")), 1);
  EXPECT_TRUE(list_files(w.session(L"downloading"), true, L"*.*").empty());
}

TEST(UpdateRun, FreeSpaceIsAskedAgainBeforeAFileIsRefused) {
  update_world w;
  const auto files = game_files("v1");
  w.pub.publish(1, files, w.config());
  std::vector<uint64_t> told;
  auto r = run_update(w.game, {w.host.base_url()}, nullptr, [&](game_launcher& s) {
    game_launcher_seams::set_free_space_query(s, [&](const std::wstring&, uint64_t& bytes) {
      // Room for the first files only, then space freed by another program.
      bytes = disk_space_margin + (told.empty() ? 150000 : 10000000);
      told.push_back(bytes);
      return true;
    });
  });
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.error, L"");
  for (const auto& f : files) {
    EXPECT_EQ(test::read_file(w.game.path(utf8_to_wide(f.local))), f.content) << f.local;
  }
  // The first answer could not cover all six files; the second one did. Not
  // asked for every file (unless the run took seconds).
  EXPECT_GE(told.size(), 2u);
  EXPECT_LT(told.size(), files.size());
}

TEST(UpdateRun, ADroppedDownloadIsContinuedInTheNextRun) {
  update_world w;
  auto files = game_files("v1");
  json index = w.pub.publish(1, files, w.config());
  const std::string data_remote = index["files"][2]["r"];  // packed, about 70 KB
  std::string data_path = wide_to_utf8(unescape_remote_path(utf8_to_wide(data_remote)));
  std::replace(data_path.begin(), data_path.end(), '\\', '/');
  w.host.drop(data_path, 35000);
  // Closing the window after the first try keeps its part for the next run.
  auto first = w.update([&](CSplashWnd& splash, const std::wstring&) {
    if (w.host.requests(data_path) >= 1) splash.close();
  });
  EXPECT_EQ(first.error, L"Cancelled by user");
  EXPECT_FALSE(file_exists(w.game.path(L"data\\Game Data.bin")));

  w.host.heal(data_path);
  ASSERT_EQ(w.update().error, L"");
  EXPECT_EQ(test::read_file(w.game.path(L"data\\Game Data.bin")), files[2].content);
  const std::string log = test::read_file(w.session(L"launcher.log"));
  EXPECT_NE(log.find(", 35000 of them kept from an earlier try"), std::string::npos) << log;
  EXPECT_NE(log.find("End of run, window closed: Cancelled by user"), std::string::npos) << log;
  EXPECT_FALSE(path_exists(w.session(L"downloading")));
}

TEST(UpdateRun, AKeptPartThatIsWrongIsFetchedAgainFromItsFirstByte) {
  update_world w;
  auto files = game_files("v1");
  json index = w.pub.publish(1, files, w.config());
  const std::string data_remote = index["files"][2]["r"];
  std::string data_path = wide_to_utf8(unescape_remote_path(utf8_to_wide(data_remote)));
  std::replace(data_path.begin(), data_path.end(), '\\', '/');
  w.host.drop(data_path, 35000);
  w.update([&](CSplashWnd& splash, const std::wstring&) {
    if (w.host.requests(data_path) >= 1) splash.close();
  });
  // Other files may have been under way too when the window closed.
  std::wstring kept;
  for (const auto& path : list_files(w.session(L"downloading"), true, L"*.*")) {
    if (file_name_of(path).rfind(L"Game Data.bin.", 0) == 0) kept = path;
  }
  ASSERT_FALSE(kept.empty());
  // The kept part goes bad on disk: the rest arrives digested as it comes,
  // but the whole file must be judged.
  std::string part = test::read_file(kept);
  ASSERT_EQ(part.size(), 35000u);
  part[100] = static_cast<char>(part[100] ^ 0x55);
  test::write_file(kept, part);

  w.host.heal(data_path);
  ASSERT_EQ(w.update().error, L"");
  EXPECT_EQ(test::read_file(w.game.path(L"data\\Game Data.bin")), files[2].content);
  const std::string log = test::read_file(w.session(L"launcher.log"));
  EXPECT_NE(log.find(", 35000 of them kept from an earlier try, wrong digest"), std::string::npos)
      << log;
}

TEST(UpdateRun, UnfinishedSessionWithANewNumberLeavesNoTrustedStamps) {
  update_world w;
  w.pub.publish(1, game_files("v1"), w.config());
  ASSERT_EQ(w.update().error, L"");
  auto files = game_files("v1");
  files[3].content = "level one " + std::string("v2");  // same size as before
  ASSERT_EQ(files[3].content.size(), game_files("v1")[3].content.size());
  w.pub.publish(2, files, w.config());
  // The session learns number 2 but is cancelled before it checks anything.
  auto cancelled = w.update([](CSplashWnd& splash, const std::wstring& text) {
    if (text == pick_text(texts::checking_game_files)) splash.close();
  });
  EXPECT_EQ(cancelled.error, L"Cancelled by user");
  auto r = w.update();
  ASSERT_EQ(r.error, L"");
  EXPECT_EQ(test::read_file(w.game.path(L"data\\levels\\level 1.map")), files[3].content);
}

TEST(UpdateRun, SoftFilesOnlyNeedToExist) {
  update_world w;
  w.pub.publish(1, game_files("v1"), w.config());
  ASSERT_EQ(w.update().error, L"");
  std::wstring settings = w.game.path(L"config\\settings.cfg");
  test::write_file(settings, "the player's own settings, longer than the default");
  ASSERT_EQ(w.update().error, L"");
  EXPECT_EQ(test::read_file(settings), "the player's own settings, longer than the default");
  delete_file(settings);
  ASSERT_EQ(w.update().error, L"");
  EXPECT_EQ(test::read_file(settings), "user settings default");
}

TEST(UpdateRun, AcceptableChecksumsIncludingTheEmptyOne) {
  update_world w;
  json config = w.config();
  config["check"]["acceptable_checksums"] = json::parse(R"([
      {"file": "data\\levels\\*.map", "checksums": [" 2AAE6C35C94FCFB415DBE95F408B9CE91EE846ED "]},
      {"file": "optional.pak", "checksums": [""]}])");
  std::vector<published_file> files{{"data\\levels\\level 1.map", "official level", false},
                                    {"optional.pak", "optional content", false}};
  w.pub.publish(1, files, config);
  // sha1("hello world") is accepted for the level; the optional file may be missing.
  test::write_file(w.game.path(L"data\\levels\\level 1.map"), "hello world");
  ASSERT_EQ(w.update().error, L"");
  EXPECT_EQ(test::read_file(w.game.path(L"data\\levels\\level 1.map")), "hello world");
  EXPECT_FALSE(file_exists(w.game.path(L"optional.pak")));
  EXPECT_EQ(w.downloads(), 0);
  // Acceptable checksums count from configuration version 3 on.
  config["version"] = 2;
  w.pub.publish(2, files, config);
  ASSERT_EQ(w.update().error, L"");
  EXPECT_EQ(test::read_file(w.game.path(L"data\\levels\\level 1.map")), "official level");
  EXPECT_TRUE(file_exists(w.game.path(L"optional.pak")));
}

TEST(UpdateRun, FailedDownloadsAreRetriedThenReportedOnce) {
  update_world w;
  w.pub.publish(1, game_files("v1"), w.config());
  w.host.fail("1/data/levels/level 1.map", 404);
  auto r = w.update();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(w.host.requests("1/data/levels/level 1.map"), 4);
  EXPECT_EQ(r.error,
            L"Failed to download 1 files\nFile: data\\levels\\level 1.map (CURL error: 22)");
  // No cache is saved after a partly failed run; the downloading folder stays.
  EXPECT_FALSE(file_exists(w.session(L"cache.json")));
  EXPECT_TRUE(directory_exists(w.session(L"downloading")));
  // The rest arrived all the same.
  EXPECT_EQ(test::read_file(w.game.path(L"client\\engine.dll")), "engine v1");
}

TEST(UpdateRun, CorruptPublishedFileFailsItsDigest) {
  update_world w;
  json index = w.pub.publish(1, game_files("v1"), w.config());
  std::string remote = index["files"][1]["r"];
  w.pub.corrupt(remote, "engine v2");  // same size, other bytes
  auto r = w.update();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.error, L"Failed to download 1 files\nFile: client\\engine.dll (wrong digest)");
  EXPECT_FALSE(file_exists(w.game.path(L"client\\engine.dll")));
}

TEST(UpdateRun, DigestsDifferingOnlyInCaseAreEqual) {
  update_world w;
  json index = w.pub.publish(1, game_files("v1"), w.config());
  for (auto& e : index["files"]) {
    e["l_sha1"] = to_lower_ascii(e["l_sha1"].get<std::string>());
    std::string upper = e["l_sha1"];
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    e["l_sha1"] = upper;
  }
  test::write_file(w.host_dir / L"1\\index.json", index.dump() + "\n");
  delete_file(w.host_dir / L"1\\index.json.lzma2");
  auto r = w.update();
  EXPECT_EQ(r.error, L"");
  EXPECT_EQ(test::read_file(w.game.path(L"client\\engine.dll")), "engine v1");
}

TEST(UpdateRun, PackedFileDecodingToWrongBytesIsNeverPlaced) {
  update_world w;
  auto files = game_files("v1");
  json index = w.pub.publish(1, files, w.config());
  // Publish a valid packed file of other content under the same entry.
  auto other = files;
  other[2].content = test::random_bytes(70000, 8);
  test::scoped_temp_dir other_dir;
  publisher(other_dir.path()).publish(1, other, w.config());
  std::string remote = index["files"][2]["r"];
  std::string bytes = test::read_file(published_path(other_dir.path(), remote));
  ASSERT_FALSE(bytes.empty());
  w.pub.corrupt(remote, bytes);
  index["files"][2]["r_sha1"] =
      json::parse(test::read_file(other_dir / L"1\\index.json"))["files"][2]["r_sha1"];
  test::write_file(w.host_dir / L"1\\index.json", index.dump() + "\n");
  delete_file(w.host_dir / L"1\\index.json.lzma2");

  // An old copy of the file is in place: it must survive intact.
  test::write_file(w.game.path(L"data\\Game Data.bin"), "old data");
  auto r = w.update();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.error, L"Failed to unpack 1 files\nFile: data\\Game Data.bin");
  EXPECT_EQ(test::read_file(w.game.path(L"data\\Game Data.bin")), "old data");
  EXPECT_FALSE(file_exists(w.game.path(L"data\\Game Data.bin.unp")));
}

TEST(UpdateRun, DownloadFailuresHideUnpackFailures) {
  update_world w;
  auto files = game_files("v1");
  json index = w.pub.publish(1, files, w.config());
  w.host.fail("1/client/engine.dll", 500);
  w.host.fail("1/empty.txt", 404);
  // A packed file whose bytes are not a packed file but whose digest matches.
  std::string remote = index["files"][2]["r"];
  w.pub.corrupt(remote, "garbage that is not LZMA2");
  test::scoped_temp_dir scratch;
  test::write_file(scratch / L"g", "garbage that is not LZMA2");
  Sha1Context context;
  byte_buffer buffer;
  index["files"][2]["r_sha1"] = file_digest(scratch / L"g", context, buffer);
  test::write_file(w.host_dir / L"1\\index.json", index.dump() + "\n");
  delete_file(w.host_dir / L"1\\index.json.lzma2");
  auto r = w.update();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.error.substr(0, 26), L"Failed to download 2 files");
  EXPECT_EQ(std::count(r.error.begin(), r.error.end(), L'\n'), 2);
  EXPECT_EQ(r.statuses.back(), format_wide(pick_text(texts::download_failed), 2u));
}

TEST(UpdateRun, EntriesOutsideTheGameDirectoryAreNeverWritten) {
  update_world w;
  json index = w.pub.publish(1, game_files("v1"), w.config());
  json evil = index["files"][1];
  evil["l"] = "..\\outside.dll";
  json absolute = index["files"][1];
  absolute["l"] = wide_to_utf8(w.host_dir / L"absolute.dll");
  index["files"].push_back(evil);
  index["files"].push_back(absolute);
  test::write_file(w.host_dir / L"1\\index.json", index.dump() + "\n");
  delete_file(w.host_dir / L"1\\index.json.lzma2");
  // A pack method is part of no name: one that climbs out of the downloads
  // must not reach a player's file.
  json climbing = index["files"][0];
  climbing["r_pack"] = "x\\..\\..\\..\\..\\..\\victim.txt";
  index["files"].push_back(climbing);
  test::write_file(w.game.path(L"victim.txt"), "the player's");
  // A second entry for a file already to be fetched, with other bytes.
  json twice = index["files"][2];
  twice["l_sha1"] = std::string(40, 'a');
  index["files"].push_back(twice);
  test::write_file(w.host_dir / L"1\\index.json", index.dump() + "\n");
  auto r = w.update();
  EXPECT_EQ(r.error, L"");
  EXPECT_FALSE(file_exists(join_path(directory_of(w.game.dir()), L"outside.dll")));
  EXPECT_FALSE(file_exists(w.host_dir / L"absolute.dll"));
  EXPECT_EQ(test::read_file(w.game.path(L"victim.txt")), "the player's");
  const std::string log = test::read_file(w.session(L"launcher.log"));
  EXPECT_NE(log.find(": an unknown \"r_pack\""), std::string::npos);
  EXPECT_NE(log.find(": names a file that an earlier entry names"), std::string::npos);
}

TEST(UpdateRun, DecodingNeverTouchesAFileBesideItsTarget) {
  update_world w;
  const std::vector<published_file> files = {{"data\\a.bin", std::string(30000, 'a'), true},
                                             {"data\\a.bin.unp", "published beside it", false},
                                             {"data\\b.bin", std::string(30000, 'b'), true}};
  w.pub.publish(1, files, w.config());
  test::write_file(w.game.path(L"data\\b.bin.unp"), "the player's");
  EXPECT_EQ(w.update().error, L"");
  EXPECT_EQ(test::read_file(w.game.path(L"data\\a.bin")), files[0].content);
  EXPECT_EQ(test::read_file(w.game.path(L"data\\a.bin.unp")), "published beside it");
  EXPECT_EQ(test::read_file(w.game.path(L"data\\b.bin.unp")), "the player's");
}

TEST(UpdateRun, SelfUpdateSwapsAndTheNextRunRemovesTheOldCopy) {
  update_world w;
  auto files = game_files("v1");
  files.push_back({"TessalyReach.exe", "launcher executable, second build", true});
  w.pub.publish(1, files, w.config());
  auto r = w.update();
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.error, L"");
  EXPECT_TRUE(r.restart);
  EXPECT_EQ(test::read_file(w.game.image()), "launcher executable, second build");
  EXPECT_EQ(test::read_file(w.game.path(L"old-TessalyReach.exe")),
            "launcher executable, first build");
  EXPECT_FALSE(file_exists(w.game.path(L"new-TessalyReach.exe")));
  EXPECT_FALSE(file_exists(w.game.path(L"TessalyReach.exe.unp")));

  auto next = w.update();
  ASSERT_TRUE(next.ok);
  EXPECT_FALSE(next.restart);
  EXPECT_FALSE(file_exists(w.game.path(L"old-TessalyReach.exe")));
}

TEST(UpdateRun, DirectoriesNamedLikeTheSwapCopiesAreLeftAlone) {
  update_world w;
  w.pub.publish(1, game_files("v1"), w.config());
  create_directories(w.game.path(L"old-TessalyReach.exe"));
  auto r = w.update();
  EXPECT_EQ(r.error, L"");
  EXPECT_TRUE(directory_exists(w.game.path(L"old-TessalyReach.exe")));
}

TEST(UpdateRun, ClosingTheWindowDuringDownloadsCancels) {
  update_world w;
  auto files = game_files("v1");
  files.push_back({"TessalyReach.exe", "launcher executable, second build", false});
  files.push_back({"data\\slow.pak", test::random_bytes(200000, 3), false});
  w.pub.publish(1, files, w.config());
  w.host.slow("1/data/slow.pak", 20);
  auto r = w.update([](CSplashWnd& splash, const std::wstring& text) {
    if (text.find(L"slow.pak' (") != std::wstring::npos) splash.close();
  });
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.error, L"Cancelled by user");
  EXPECT_FALSE(r.restart);
  EXPECT_FALSE(file_exists(w.session(L"cache.json")));
  EXPECT_FALSE(file_exists(w.game.path(L"data\\slow.pak")));
  EXPECT_EQ(test::read_file(w.game.image()), "launcher executable, first build");
}

#ifdef _WIN32
// Publishes the game and holds the installed engine open the way a running
// client does (others may read it, nobody may replace it).
HANDLE hold_engine_open(update_world& w, const std::string& content) {
  w.pub.publish(1, game_files("v1"), w.config());
  const std::wstring engine = w.game.path(L"client\\engine.dll");
  test::write_file(engine, content);
  return CreateFileW(engine.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(UpdateRun, FileHeldOpenIsRetriedThenReported) {
  update_world w;
  HANDLE h = hold_engine_open(w, "an engine that is running");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const std::wstring engine = w.game.path(L"client\\engine.dll");
  auto r = w.update();
  CloseHandle(h);
  EXPECT_EQ(r.error, L"Failed to unpack 1 files\nFile: client\\engine.dll");
  EXPECT_EQ(test::read_file(engine), "an engine that is running");
}
#endif

// Appends entries to the published index (the packed form goes, so the plain
// one is what the launcher reads).
void add_entries(update_world& w, uint32_t gameupdate, json index, const std::vector<json>& extra) {
  for (const auto& e : extra) index["files"].push_back(e);
  test::write_file(w.host_dir / format_wide(L"%u\\index.json", gameupdate), index.dump() + "\n");
  delete_file(w.host_dir / format_wide(L"%u\\index.json.lzma2", gameupdate));
}

json entry_named(const json& model, const std::string& local) {
  json e = model;
  e["l"] = local;
  return e;
}

TEST(UpdateRun, TheLaunchersOwnFilesAreNotTheIndexsToWrite) {
  update_world w;
  auto files = game_files("v1");
  files.push_back({"evil.json", "{\"gameupdate\":999}\n", false});
  json index = w.pub.publish(1, files, w.config());
  const json evil = index["files"].back();
  const std::string session = wide_to_utf8(product_guid);
  add_entries(
      w, 1, index,
      {entry_named(evil, ".temp\\" + session + "\\cache.json"),
       entry_named(evil, ".TEMP\\" + session + "\\version.json"),
       entry_named(evil, ".Temp/" + session + "/downloading/client/engine.dll.temp"),
       entry_named(evil, "old-TessalyReach.exe"), entry_named(evil, "NEW-tessalyreach.exe")});
  auto r = w.update();
  EXPECT_EQ(r.error, L"");
  EXPECT_EQ(test::read_file(w.session(L"version.json")), "{\"gameupdate\":1}\n");
  EXPECT_NE(test::read_file(w.session(L"cache.json")), "{\"gameupdate\":999}\n");
  EXPECT_TRUE(json::parse(test::read_file(w.session(L"cache.json"))).contains("evil.json"));
  EXPECT_FALSE(file_exists(w.game.path(L"old-TessalyReach.exe")));
  EXPECT_FALSE(file_exists(w.game.path(L"new-TessalyReach.exe")));
  EXPECT_FALSE(r.restart);
#ifndef _WIN32
  EXPECT_FALSE(path_exists(w.game.path(L".TEMP")));  // another directory here, the same on Windows
#endif
  // The next run trusts the cache it saved: nothing is fetched again.
  const int before = w.downloads();
  EXPECT_EQ(w.update().error, L"");
  EXPECT_EQ(w.downloads(), before);
}

TEST(UpdateRun, WindowsNameRulesHoldOnEveryBuild) {
  update_world w;
  json index = w.pub.publish(1, game_files("v1"), w.config());
  const json model = index["files"][1];
  std::vector<json> bad;
  // Devices with or without an extension, aliases of other names, names
  // Windows cannot hold: skipped on the native build as on Windows.
  for (const char* name : {"NUL", "client\\aux.dll", "client\\COM1.txt", "client\\engine.dll.",
                           "client\\engine.dll ", "client\\.\\engine.dll", "client\\\\engine.dll",
                           "client\\engine.dll:stream", "client\\a?b", "client\\tab\tname"}) {
    bad.push_back(entry_named(model, name));
  }
  add_entries(w, 1, index, bad);
  auto r = w.update();
  EXPECT_EQ(r.error, L"");
  EXPECT_EQ(test::read_file(w.game.path(L"client\\engine.dll")), "engine v1");
  // Only the published files are there: no name of the list was made.
  EXPECT_EQ(list_files(w.game.path(L"client"), false, L"*.*").size(), 2u);
  EXPECT_EQ(list_files(w.game.dir(), false, L"*.*").size(), 2u);  // the launcher, empty.txt
}

TEST(UpdateRun, NamesAtTheLengthLimitAreInstalled) {
  update_world w;
  // 252 characters: ".temp" or ".unp" behind them would pass the 255 a name
  // may hold.
  const std::string name = "data\\" + std::string(248, 'n');
  json index = w.pub.publish(
      1, {{name + ".bin", "plain long name", false}, {"data\\p.pak", "packed long name", true}},
      w.config());
  // The packed one is published under a short name, as a host may.
  index["files"][1]["l"] = name + ".pak";
  add_entries(w, 1, index, {});
  auto r = w.update();
  ASSERT_EQ(r.error, L"");
  EXPECT_EQ(test::read_file(w.game.path(utf8_to_wide(name + ".bin"))), "plain long name");
  EXPECT_EQ(test::read_file(w.game.path(utf8_to_wide(name + ".pak"))), "packed long name");
  EXPECT_EQ(list_files(w.game.path(L"data"), false, L"*.*").size(), 2u);
}

TEST(UpdateRun, ABodyLargerThanItsEntryIsAbortedAsFailed) {
  update_world w;
  json index = w.pub.publish(1, game_files("v1"), w.config());
  // The host sends far more than the index says the file has.
  w.pub.corrupt(index["files"][1]["r"], "engine v1" + std::string(100000, 'x'));
  auto r = w.update();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.error,
            L"Failed to download 1 files\nFile: client\\engine.dll (Larger than the "
            L"expected 9 bytes)");
  EXPECT_FALSE(file_exists(w.game.path(L"client\\engine.dll")));
}

TEST(UpdateRun, ClosingTheWindowEndsADownloadWithoutALength) {
  update_world w;
  auto files = game_files("v1");
  files.push_back({"data\\slow.pak", test::random_bytes(400000, 3), false});
  w.pub.publish(1, files, w.config());
  // Without a length no progress report comes, which could see the window
  // close; 400 pieces of 50 ms would take 20 s.
  w.host.slow("1/data/slow.pak", 50, false);
  const auto start = std::chrono::steady_clock::now();
  auto session = w.game.session({w.host.base_url()});
  CSplashWnd splash;
  std::thread user([&] {
    while (w.host.requests("1/data/slow.pak") == 0) sleep_milliseconds(5);
    sleep_milliseconds(300);
    splash.close();
  });
  bool restart = false;
  EXPECT_TRUE(session->run(splash, restart));
  user.join();
  EXPECT_EQ(session->error_text(), L"Cancelled by user");
  EXPECT_FALSE(file_exists(w.game.path(L"data\\slow.pak")));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(UpdateRun, ReadOnlyFilesAreReplacedAndTheOldLauncherDeleted) {
  update_world w;
  auto files = game_files("v1");
  files.push_back({"TessalyReach.exe", "launcher executable, second build", false});
  w.pub.publish(1, files, w.config());
  ASSERT_TRUE(w.update().restart);
  // The old copy and an installed file are marked read-only (Windows refuses
  // to replace or delete such files until the flag goes).
  ASSERT_TRUE(set_file_attributes(w.game.path(L"old-TessalyReach.exe"), 0x01));
  ASSERT_TRUE(set_file_attributes(w.game.path(L"data\\levels\\level 1.map"), 0x01));
  files[3].content = "level one, second edition";
  w.pub.publish(2, files, w.config());
  auto r = w.update();
  EXPECT_EQ(r.error, L"");
  EXPECT_EQ(test::read_file(w.game.path(L"data\\levels\\level 1.map")), files[3].content);
  EXPECT_FALSE(file_exists(w.game.path(L"old-TessalyReach.exe")));
}

TEST(UpdateRun, RetriesGoRoundTheHostsFromTheSelectedOne) {
  update_world w;
  test::scoped_temp_dir mirror_dir;
  update_host mirror(mirror_dir.path());
  json config = publisher::default_config({w.host.base_url(), mirror.base_url()});
  w.pub.publish(1, game_files("v1"), config);
  publisher(mirror_dir.path()).publish(1, game_files("v1"), config);
  // The host that served the index lost one file; the mirror has it.
  w.host.fail("1/data/levels/level 1.map", 404);
  auto r = w.update();
  EXPECT_EQ(r.error, L"");
  EXPECT_EQ(test::read_file(w.game.path(L"data\\levels\\level 1.map")), "level one v1");
  EXPECT_EQ(w.host.requests("1/data/levels/level 1.map"), 1);
  EXPECT_EQ(mirror.requests("1/data/levels/level 1.map"), 1);
}

TEST(UpdateRun, AWrongKeptPartFromOneHostDoesNotFailAFileAnotherHasRight) {
  update_world w;
  test::scoped_temp_dir mirror_dir;
  update_host mirror(mirror_dir.path());
  json config = publisher::default_config({w.host.base_url(), mirror.base_url()});
  const auto files = game_files("v1");
  json index = w.pub.publish(1, files, config);
  publisher(mirror_dir.path()).publish(1, files, config);
  // The host that served the index sends garbage for one file and drops;
  // every try on it does the same.
  const std::string remote = index["files"][2]["r"];
  const size_t size = test::read_file(published_path(w.host_dir.path(), remote)).size();
  w.pub.corrupt(remote, std::string(size, 'x'));
  std::string path = wide_to_utf8(unescape_remote_path(utf8_to_wide(remote)));
  std::replace(path.begin(), path.end(), '\\', '/');
  w.host.drop(path, 1000);
  auto r = w.update();
  EXPECT_EQ(r.error, L"");
  EXPECT_EQ(test::read_file(w.game.path(L"data\\Game Data.bin")), files[2].content);
  EXPECT_EQ(w.host.requests(path), 1);
  EXPECT_EQ(mirror.requests(path), 2);  // the rest, then the whole file
}

TEST(UpdateRun, ManyFilesAreInFlightAtOnceAndOneCapHoldsThemAll) {
  update_world w;
  std::vector<published_file> files;
  for (int i = 0; i < 24; ++i) {
    files.push_back({format_narrow("data\\f%u.bin", i), test::random_bytes(8192, i), false});
  }
  w.pub.publish(1, files, w.config());
  // Every body comes a piece at a time: one file after another would take
  // 24 times as long as one.
  for (int i = 0; i < 24; ++i) w.host.slow(format_narrow("1/data/f%u.bin", i), 30);
  ASSERT_EQ(w.update().error, L"");
  for (const auto& f : files)
    EXPECT_EQ(test::read_file(w.game.path(utf8_to_wide(f.local))), f.content);
  // Not all 24: where the check is slow (an emulated machine) the first
  // files end before the last are queued. One at a time would give 1.
  EXPECT_GE(w.host.most_at_once(), 4u);

  // The same with a cap: together the transfers never receive faster.
  game_install capped;
  constexpr uint64_t rate = 256 << 10;
  const auto start = std::chrono::steady_clock::now();
  auto r = run_update(capped, {w.host.base_url()}, nullptr, [](game_launcher& s) {
    game_launcher_seams::set_retry_delay(s, 0);
    s.set_transfer_limits(0, rate);
  });
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.error, L"");
  // The bucket may start full (a tenth of a second of the cap).
  EXPECT_GE(seconds, (24.0 * 8192 - rate / 10.0) / rate) << seconds;
}

TEST(UpdateRun, ATricklingHostIsLeftForTheNextKeepingWhatArrived) {
  update_world w;
  test::scoped_temp_dir mirror_dir;
  update_host mirror(mirror_dir.path());
  json config = publisher::default_config({w.host.base_url(), mirror.base_url()});
  const std::vector<published_file> files = {
      {"data\\big.bin", test::random_bytes(16384, 5), false}};
  w.pub.publish(1, files, config);
  publisher(mirror_dir.path()).publish(1, files, config);
  // A kibibyte every two seconds, forever.
  const std::string path = "1/data/big.bin";
  w.host.slow(path, 2000);
  auto r = run_update(w.game, {w.host.base_url()}, nullptr, [](game_launcher& s) {
    game_launcher_seams::set_retry_delay(s, 0);
    game_launcher_seams::set_slow_host_rule(s, 1024, 2);
  });
  EXPECT_EQ(r.error, L"");
  EXPECT_EQ(test::read_file(w.game.path(L"data\\big.bin")), files[0].content);
  EXPECT_EQ(w.host.requests(path), 1);
  EXPECT_EQ(mirror.requests(path), 1);
  EXPECT_NE(test::read_file(w.session(L"launcher.log")).find("of them kept from an earlier try"),
            std::string::npos);
}

TEST(UpdateRun, AWorkerStepThatThrowsFailsItsTaskAndTheRun) {
  update_world w;
  w.pub.publish(1, game_files("v1"), w.config());
  auto r = run_update(w.game, {w.host.base_url()}, nullptr, [](game_launcher& s) {
    game_launcher_seams::set_retry_delay(s, 0);
    game_launcher_seams::set_worker_hook(s, [](const update_task& task, bool unpacking) {
      if (!unpacking && task.local_path == L"client\\engine.dll") throw std::runtime_error("boom");
      if (unpacking && task.local_path == L"empty.txt") throw 42;  // not even a std::exception
    });
  });
  EXPECT_TRUE(r.ok);
  // Download failures hide unpack failures of the same run.
  EXPECT_EQ(r.error, L"Failed to download 1 files\nFile: client\\engine.dll (boom)");
  EXPECT_FALSE(file_exists(w.session(L"cache.json")));
  EXPECT_EQ(test::read_file(w.game.path(L"data\\levels\\level 1.map")), "level one v1");

  r = run_update(w.game, {w.host.base_url()}, nullptr, [](game_launcher& s) {
    game_launcher_seams::set_worker_hook(s, [](const update_task& task, bool unpacking) {
      if (unpacking && task.local_path == L"empty.txt") throw 42;
    });
  });
  EXPECT_EQ(r.error, L"Failed to unpack 1 files\nFile: empty.txt");
  EXPECT_FALSE(file_exists(w.session(L"cache.json")));
}

#ifdef _WIN32
TEST(UpdateRun, AFileHeldForAMomentIsPlacedOnALaterTry) {
  update_world w;
  HANDLE h = hold_engine_open(w, "an engine that a scanner looks at");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const std::wstring engine = w.game.path(L"client\\engine.dll");
  // Let go once the first try has met it.
  std::thread scanner([&] {
    while (w.downloads() < 6) Sleep(5);
    Sleep(250);
    CloseHandle(h);
  });
  auto r = w.update();
  scanner.join();
  EXPECT_EQ(r.error, L"");
  EXPECT_EQ(test::read_file(engine), "engine v1");
}
#endif

}  // namespace
}  // namespace tsl

namespace tsl {
namespace {

// The support log's lines without their time stamps.
std::vector<std::string> log_lines(const update_world& w) {
  std::vector<std::string> lines;
  const std::string text = test::read_file(w.session(L"launcher.log"));
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t stamp = line.find(" UTC ");
    lines.push_back(stamp == std::string::npos ? line : line.substr(stamp + 5));
  }
  return lines;
}

bool has_line(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

TEST(SupportLogOfARun, HostsCountsFilesAndTheEndAreNoted) {
  update_world w;
  std::vector<published_file> files = game_files("v1");
  json index = w.pub.publish(1, files, w.config());
  const std::string base = w.host.base_url();
  ASSERT_EQ(w.update().error, L"");
  auto lines = log_lines(w);
  const std::string all = joined(lines);
  EXPECT_EQ(lines.front(), "Update run") << all;
  uint64_t index_bytes = test::read_file(w.session(L"index.json")).size();
  EXPECT_TRUE(has_line(lines, format_narrow("Host %s, attempt 1: gameupdate 1 (installed 0), "
                                            "index %u bytes",
                                            base, index_bytes)))
      << all;
  EXPECT_TRUE(has_line(
      lines, "Check: 6 entries, 0 accepted from the cache, 0 hashed, 6 queued, 0 rejected"))
      << all;
  const std::string engine_remote = index["files"][1]["r"];
  EXPECT_TRUE(
      has_line(lines, "Fetched client\\engine.dll from " + base + engine_remote + ": 9 bytes"))
      << all;
  EXPECT_TRUE(has_line(lines, "Installed client\\engine.dll")) << all;
  EXPECT_EQ(lines.back(), "End of run: up to date") << all;

  // Next run: two entries are refused and one file is missing on the host.
  files[1].content = "engine v2" + std::string(2000, 'e');
  index = w.pub.publish(2, files, w.config());
  json outside = index["files"][1], reserved = index["files"][1];
  outside["l"] = "..\\outside.dll";
  reserved["l"] = ".temp\\evil.dll";
  index["files"].push_back(outside);
  index["files"].push_back(reserved);
  test::write_file(w.host_dir / L"2\\index.json", index.dump() + "\n");
  delete_file(w.host_dir / L"2\\index.json.lzma2");
  const std::string engine2 = index["files"][1]["r"];
  w.host.fail(engine2, 404);
  const size_t before = lines.size();
  auto r = w.update();
  EXPECT_TRUE(r.ok);
  lines = log_lines(w);
  const std::vector<std::string> second(lines.begin() + static_cast<ptrdiff_t>(before),
                                        lines.end());
  const std::string run2 = joined(second);
  EXPECT_TRUE(has_line(second, "Rejected entry 7: \"l\" leaves the game directory")) << run2;
  EXPECT_TRUE(has_line(second,
                       "Rejected entry .temp\\evil.dll: names the launcher's session "
                       "directory"))
      << run2;
  // The changed size queues the engine unhashed; the number forces the rest to be hashed.
  EXPECT_TRUE(has_line(
      second, "Check: 6 entries, 0 accepted from the cache, 4 hashed, 1 queued, 2 rejected"))
      << run2;
  EXPECT_TRUE(has_line(second, "Failed to download client\\engine.dll (CURL error: 22)")) << run2;
  EXPECT_TRUE(has_line(
      second, "Download of client\\engine.dll from " + base + engine2 + " failed: CURL error: 22"))
      << run2;
  EXPECT_EQ(second.back(),
            "End of run, the game may start: Failed to download 1 files; "
            "File: client\\engine.dll (CURL error: 22)")
      << run2;
}

// Large files published in chunks, and their next version: a few bytes
// changed in the middle and a few inserted near the start.
std::vector<published_file> chunked_files(int version) {
  std::vector<published_file> files = {
      {"data\\big.pak", test::random_bytes(600000, 21), true, 4096},
      {"data\\raw.bin", test::random_bytes(300000, 22), false, 4096}};
  if (version == 2) {
    for (auto& f : files) {
      f.content.replace(f.content.size() / 2, 100, std::string(100, 'x'));
      f.content.insert(5000, test::random_bytes(3000, 23));
    }
  }
  return files;
}

TEST(UpdateRun, AChangedChunkedFileIsRebuiltFromTheInstalledOne) {
  update_world w;
  w.pub.publish(1, chunked_files(1), w.config());
  ASSERT_EQ(w.update().error, L"");
  const auto files = chunked_files(2);
  const json index = w.pub.publish(2, files, w.config());
  ASSERT_EQ(w.update().error, L"");
  const std::string log = test::read_file(w.session(L"launcher.log"));
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(test::read_file(w.game.path(utf8_to_wide(files[i].local))), files[i].content);
    // Two changed places: a few chunks around each, far from the whole.
    const uint64_t fetched = w.host.bytes_sent(index["files"][i]["r"]);
    EXPECT_GT(fetched, 0u);
    EXPECT_LT(fetched, files[i].content.size() / 10) << files[i].local;
    EXPECT_NE(log.find("Rebuilt " + files[i].local + ": "), std::string::npos) << log;
  }
  EXPECT_EQ(log.find("Rebuild of"), std::string::npos) << log;
  EXPECT_FALSE(path_exists(w.session(L"downloading")));
}

TEST(UpdateRun, ARebuildThatCannotBeDoneFetchesTheWholeFile) {
  update_world w;
  w.pub.publish(1, chunked_files(1), w.config());
  ASSERT_EQ(w.update().error, L"");
  const auto files = chunked_files(2);
  const json index = w.pub.publish(2, files, w.config());
  // The first file's host sends it whole whatever is asked; the second
  // file's map is not the one the index vouches for.
  const std::string big = index["files"][0]["r"], raw = index["files"][1]["r"];
  w.host.no_ranges(big);
  const std::string map = publisher::map_remote(2, files[1]);
  std::string changed = test::read_file(published_path(w.host_dir.path(), map));
  changed.back() ^= 1;
  w.pub.corrupt(map, changed);
  ASSERT_EQ(w.update().error, L"");
  for (const auto& f : files) {
    EXPECT_EQ(test::read_file(w.game.path(utf8_to_wide(f.local))), f.content);
  }
  EXPECT_EQ(w.host.bytes_sent(raw), files[1].content.size());
  EXPECT_EQ(w.host.requests(raw), 1);
  const std::string log = test::read_file(w.session(L"launcher.log"));
  EXPECT_NE(log.find("Rebuild of data\\big.pak failed, fetching it whole: range not fetched"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Rebuild of data\\raw.bin failed, fetching it whole: map does not match"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("Rebuilt"), std::string::npos) << log;
  EXPECT_FALSE(path_exists(w.session(L"downloading")));
}

}  // namespace
}  // namespace tsl
