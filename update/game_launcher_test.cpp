#include "update/game_launcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "codec/packed_file.h"
#include "codec/sha1.h"
#include "codec/signature.h"
#include "tests/update_fixture.h"
#include "update/game_launcher_seams.h"
#include "update/update_texts.h"
#include "util/file_system.h"
#include "util/process.h"
#include "util/product.h"
#include "util/text.h"

namespace tsl {
namespace {

using nlohmann::json;
using test::game_install;
using test::publisher;
using test::run_update;
using test::update_host;

std::vector<test::published_file> small_game() {
  return {{"client\\Client.exe", "client build 1", true},
          {"data\\Game Data.bin", std::string(3000, 'd'), false}};
}

TEST(SessionSetup, LayoutBesideTheExecutable) {
  game_install game;
  game_launcher session(game.image());
  EXPECT_EQ(session.paths().launcher_dir, game.dir());
  EXPECT_EQ(session.paths().old_image_path, game.path(L"old-TessalyReach.exe"));
  EXPECT_EQ(session.paths().new_image_path, game.path(L"new-TessalyReach.exe"));
  session.prepare();
  // The published identity: every publisher's configuration carries it.
  EXPECT_EQ(session.guid(), L"0d3f6c21-7a4e-4b9d-a1c5-52e8f0b7c9a4");
  EXPECT_EQ(session.hosts(), (std::vector<std::string>{TSL_PRIMARY_URL, TSL_FALLBACK_URL}));
  EXPECT_EQ(session.paths().session_dir, game.path(join_path(L".temp", product_guid)));
  EXPECT_TRUE(directory_exists(session.paths().session_dir));
  EXPECT_EQ(session.paths().cache_path, join_path(session.paths().session_dir, L"cache.json"));
  EXPECT_EQ(session.local_gameupdate(), 0u);
}

TEST(SessionSetup, PreviousGameupdateCountsOnlyAfterAFileCheck) {
  game_install game;
  std::wstring session_dir = game.path(join_path(L".temp", product_guid));
  test::write_file(join_path(session_dir, L"version.json"), "{\"gameupdate\":9}\n");
  {
    game_launcher s(game.image());
    s.prepare();
    EXPECT_EQ(s.local_gameupdate(), 0u);  // no config.json: no file check happened
  }
  test::write_file(join_path(session_dir, L"config.json"), "{}\n");
  {
    game_launcher s(game.image());
    s.prepare();
    EXPECT_EQ(s.local_gameupdate(), 9u);
  }
  test::write_file(join_path(session_dir, L"version.json"), "{\"gameupdate\":\"9\"}");
  {
    game_launcher s(game.image());
    s.prepare();
    EXPECT_EQ(s.local_gameupdate(), 0u);
  }
}

TEST(SessionSetup, UnwritableSessionDirectoryStillLetsTheGameStart) {
  game_install game;
  // A file where the hidden directory should be.
  test::write_file(game.path(L".temp"), "in the way");
  test::scoped_temp_dir host_dir;
  update_host host(host_dir.path());
  auto r = run_update(game, {host.base_url()});
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.error, L"Can not create temp directory.");
}

TEST(HostSelection, BothHostsDownRotatesThreeAttempts) {
  game_install game;
  std::string primary = "http://127.0.0.1:" + std::to_string(test::closed_port()) + "/tsl/";
  std::string fallback = "http://127.0.0.1:" + std::to_string(test::closed_port()) + "/tsl/";
  auto r = run_update(game, {primary, fallback}, nullptr,
                      [](game_launcher& s) { game_launcher_seams::set_retry_delay(s, 10); });
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.error, L"Could not download update index.");
  std::vector<std::wstring> expected{L"Connecting to update server... ",
                                     L"Connection attempt #2... ", L"Connection attempt #3... ",
                                     L"Connection attempt #4... "};
  if (r.statuses.size() >= 4 && r.statuses[0] != expected[0]) {
    GTEST_SKIP() << "Russian system language";
  }
  EXPECT_EQ(r.statuses, expected);
}

TEST(HostSelection, AttemptsGoPrimaryFallbackPrimary) {
  game_install game;
  test::scoped_temp_dir a_dir, b_dir;
  update_host a(a_dir.path()), b(b_dir.path());
  a.fail("version.json", 500);
  b.fail("version.json", 500);
  auto r = run_update(game, {a.base_url(), b.base_url()}, nullptr,
                      [](game_launcher& s) { game_launcher_seams::set_retry_delay(s, 0); });
  EXPECT_EQ(r.error, L"Could not download update index.");
  EXPECT_EQ(a.requests("version.json"), 2);
  EXPECT_EQ(b.requests("version.json"), 1);
}

TEST(HostSelection, FallsBackToThePlainIndex) {
  game_install game;
  test::scoped_temp_dir dir;
  update_host host(dir.path());
  publisher pub(dir.path());
  pub.publish(5, small_game(), publisher::default_config({host.base_url()}), false);
  auto r = run_update(game, {host.base_url()});
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.error, L"");
  EXPECT_EQ(host.requests("5/index.json.lzma2"), 1);
  EXPECT_EQ(host.requests("5/index.json"), 1);
  EXPECT_EQ(test::read_file(game.path(L"client\\Client.exe")), "client build 1");

  // A packed index that does not decode is not an error either.
  pub.publish(6, small_game(), publisher::default_config({host.base_url()}), false);
  test::write_file(dir / L"6\\index.json.lzma2", "not a packed file");
  r = run_update(game, {host.base_url()});
  EXPECT_EQ(r.error, L"");
  EXPECT_EQ(host.requests("6/index.json"), 1);
}

TEST(HostSelection, StaleIndexOfAnEarlierSessionIsNeverUsed) {
  game_install game;
  test::scoped_temp_dir dir;
  update_host host(dir.path());
  publisher pub(dir.path());
  pub.publish(1, small_game(), publisher::default_config({host.base_url()}));
  auto first = run_update(game, {host.base_url()});
  ASSERT_EQ(first.error, L"");
  // An index.json lies in the session directory; the host now serves neither form.
  std::wstring session_index = game.path(join_path(L".temp", product_guid) + L"\\index.json");
  test::write_file(session_index, test::read_file(dir / L"1\\index.json"));
  pub.publish(2, {{"client\\Client.exe", "client build 2", true}},
              publisher::default_config({host.base_url()}));
  host.fail("2/index.json.lzma2", 404);
  host.fail("2/index.json", 404);
  auto r = run_update(game, {host.base_url()}, nullptr,
                      [](game_launcher& s) { game_launcher_seams::set_retry_delay(s, 0); });
  EXPECT_EQ(r.error, L"Could not download update index.");
}

TEST(HostSelection, VersionOneHostNamingTheServingHostIsAccepted) {
  game_install game;
  test::scoped_temp_dir dir;
  update_host host(dir.path());
  publisher pub(dir.path());
  json config{{"version", 1}, {"guid", wide_to_utf8(product_guid)}};
  std::string shouted = host.base_url();
  std::transform(shouted.begin(), shouted.end(), shouted.begin(), ::toupper);
  shouted.pop_back();  // no trailing "/": compared with it added
  config["host"] = shouted;
  pub.publish(3, small_game(), config);
  auto r = run_update(game, {host.base_url()});
  EXPECT_EQ(r.error, L"");
  EXPECT_EQ(host.requests("version.json"), 1);
}

TEST(HostSelection, VersionOneHostNamingAnotherHostMovesTheSession) {
  game_install game;
  test::scoped_temp_dir a_dir, b_dir;
  update_host a(a_dir.path()), b(b_dir.path());
  json to_b{{"version", 1}, {"guid", wide_to_utf8(product_guid)}, {"host", b.base_url()}};
  publisher(a_dir.path()).publish(3, small_game(), to_b);
  publisher(b_dir.path()).publish(4, small_game(), to_b);
  auto r = run_update(game, {a.base_url()});
  EXPECT_EQ(r.error, L"");
  EXPECT_EQ(a.requests("version.json"), 1);
  EXPECT_EQ(b.requests("version.json"), 1);
  EXPECT_EQ(b.requests("4/data/game%20data.bin") + b.requests("4/data/game data.bin"), 1);

  // Two hosts that keep naming each other do not fetch forever.
  json to_a = to_b;
  to_a["host"] = a.base_url();
  publisher(b_dir.path()).publish(4, small_game(), to_a);
  r = run_update(game, {a.base_url()});
  EXPECT_EQ(r.error, L"Could not download update index.");
}

TEST(HostSelection, VersionThreeReplacesTheHosts) {
  game_install game;
  test::scoped_temp_dir a_dir, b_dir;
  update_host a(a_dir.path()), b(b_dir.path());
  std::string b_without_slash = b.base_url();
  b_without_slash.pop_back();
  publisher(a_dir.path())
      .publish(2, small_game(), publisher::default_config({b_without_slash, a.base_url()}));
  publisher(b_dir.path()).publish(2, small_game(), publisher::default_config({b.base_url()}));
  auto r = run_update(game, {a.base_url()}, nullptr, nullptr);
  EXPECT_EQ(r.error, L"");
  // The index of the first host is kept; the files come from the first new host.
  EXPECT_EQ(a.requests("version.json"), 1);
  EXPECT_EQ(b.requests("version.json"), 0);
  EXPECT_EQ(b.requests("2/data/game data.bin"), 1);
  EXPECT_EQ(a.requests("2/data/game data.bin"), 0);
  // The next session starts from the compiled-in hosts again.
  game_launcher next(game.image());
  next.prepare();
  EXPECT_EQ(next.hosts(), (std::vector<std::string>{TSL_PRIMARY_URL, TSL_FALLBACK_URL}));
}

TEST(HostSelection, ConfigurationFailuresAndMalformedDocuments) {
  game_install game;
  test::scoped_temp_dir dir;
  update_host host(dir.path());
  publisher pub(dir.path());
  auto error_for = [&](const json& config) {
    pub.publish(1, small_game(), config);
    auto r = run_update(game, {host.base_url()}, nullptr,
                        [](game_launcher& s) { game_launcher_seams::set_retry_delay(s, 0); });
    EXPECT_TRUE(r.ok);  // not strict: the game still starts
    return r.error;
  };
  json good = publisher::default_config({host.base_url()});
  json c = good;
  c.erase("hosts");
  EXPECT_EQ(error_for(c), L"Remote config is invalid");
  c = good;
  c["version"] = 0;
  EXPECT_EQ(error_for(c), L"Invalid version number");
  c = good;
  c["guid"] = "00000000-0000-0000-0000-000000000000";
  EXPECT_EQ(error_for(c), L"GUID mismatch");
  EXPECT_EQ(error_for(json::object()), L"Remote update config is empty");
  c = good;
  c["hosts"] = {1};
  EXPECT_EQ(error_for(c), L"Remote config \"hosts\" holds a host that is not a string");
  c = good;
  c["check"]["hard_check"] = {true};
  EXPECT_EQ(error_for(c), L"Remote config \"hard_check\" holds a mask that is not a string");

  pub.publish(1, small_game(), good);
  test::write_file(dir / L"version.json", "{\"gameupdate\":");
  auto r = run_update(game, {host.base_url()}, nullptr,
                      [](game_launcher& s) { game_launcher_seams::set_retry_delay(s, 0); });
  EXPECT_EQ(r.error, L"Could not download update index. Version file is not valid JSON");
  test::write_file(dir / L"version.json", "{\"gameupdate\":\"1\"}");
  r = run_update(game, {host.base_url()}, nullptr,
                 [](game_launcher& s) { game_launcher_seams::set_retry_delay(s, 0); });
  EXPECT_EQ(r.error,
            L"Could not download update index. Version file has no numeric \"gameupdate\"");
  test::write_file(dir / L"version.json", "{\"gameupdate\":1}");
  delete_file(dir / L"1\\index.json.lzma2");
  test::write_file(dir / L"1\\index.json", "{\"files\":[1,2");
  r = run_update(game, {host.base_url()}, nullptr,
                 [](game_launcher& s) { game_launcher_seams::set_retry_delay(s, 0); });
  EXPECT_EQ(r.error, L"Could not download update index. Update index is not valid JSON");
  test::write_file(dir / L"1\\index.json", "[1,2]");
  r = run_update(game, {host.base_url()}, nullptr,
                 [](game_launcher& s) { game_launcher_seams::set_retry_delay(s, 0); });
  EXPECT_EQ(r.error, L"Could not download update index. Update index is not an object");
}

TEST(HostSelection, ClosingTheWindowDuringAttemptsOrAfterAcceptance) {
  game_install game;
  std::string down = "http://127.0.0.1:" + std::to_string(test::closed_port()) + "/tsl/";
  auto during_attempts = run_update(
      game, {down},
      [](CSplashWnd& splash, const std::wstring& text) {
        if (text.find(L"#2") != std::wstring::npos) splash.close();
      },
      [](game_launcher& s) { game_launcher_seams::set_retry_delay(s, 0); });
  EXPECT_TRUE(during_attempts.ok);
  EXPECT_EQ(during_attempts.error, L"Could not download update index.");

  // Closed as the first contact begins: its transfers end at once, and the
  // selection gives up the same way.
  test::scoped_temp_dir dir;
  update_host host(dir.path());
  publisher(dir.path()).publish(1, small_game(), publisher::default_config({"http://x/"}));
  auto at_first_contact = run_update(
      game, {host.base_url()}, [](CSplashWnd& splash, const std::wstring&) { splash.close(); });
  EXPECT_TRUE(at_first_contact.ok);
  EXPECT_EQ(at_first_contact.error, L"Could not download update index.");
  EXPECT_FALSE(file_exists(game.path(L"client\\Client.exe")));
}

const std::wstring session_rel = join_path(L".temp", product_guid);

TEST(SessionSetup, ASecondLauncherOnTheInstallationChangesNothing) {
  game_install game;
  test::scoped_temp_dir dir;
  update_host host(dir.path());
  publisher(dir.path()).publish(1, small_game(), publisher::default_config({host.base_url()}));
  auto second = game.session({host.base_url()});
  // The first launcher is at work and holds the installation's lock.
  bool elsewhere = false;
  file_handle first =
      file_handle::lock_exclusive(game.path(join_path(session_rel, L"launcher.lock")), elsewhere);
  ASSERT_TRUE(first.is_open());
  CSplashWnd splash;
  bool restart = false;
  EXPECT_FALSE(second->run(splash, restart));
  splash.close();
  EXPECT_TRUE(second->another_launcher_running());
  EXPECT_FALSE(restart);
  EXPECT_TRUE(host.request_log().empty());
  // Nothing but the lock and the support log, which says why.
  const std::wstring log = game.path(join_path(session_rel, L"launcher.log"));
  std::vector<std::wstring> left = list_files(game.path(session_rel), true, L"*.*");
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left,
            (std::vector<std::wstring>{game.path(join_path(session_rel, L"launcher.lock")), log}));
  EXPECT_NE(
      test::read_file(log).find(
          "End of run, the game does not start: Another launcher is updating this installation"),
      std::string::npos);

  // Once it is done, the lock is free; and a run leaves it free, so the
  // launcher that a self-update starts is never refused.
  first.close();
  auto r = run_update(game, {host.base_url()});
  EXPECT_EQ(r.error, L"");
  EXPECT_EQ(test::read_file(game.path(L"client\\Client.exe")), "client build 1");
  first =
      file_handle::lock_exclusive(game.path(join_path(session_rel, L"launcher.lock")), elsewhere);
  EXPECT_TRUE(first.is_open());
}

TEST(HostSelection, AnOfflineStartKeepsTheCopiesOfTheLastContact) {
  game_install game;
  test::scoped_temp_dir dir;
  update_host host(dir.path());
  publisher pub(dir.path());
  pub.publish(1, small_game(), publisher::default_config({host.base_url()}));
  ASSERT_EQ(run_update(game, {host.base_url()}).error, L"");
  const std::wstring version = game.path(join_path(session_rel, L"version.json"));
  const std::wstring index = game.path(join_path(session_rel, L"index.json"));
  const std::string version_before = test::read_file(version);
  const std::string index_before = test::read_file(index);
  ASSERT_EQ(version_before, "{\"gameupdate\":1}\n");

  // Same size and time, other bytes: only a digest would tell.
  const std::wstring data = game.path(L"data\\Game Data.bin");
  uint64_t size = 0, time = 0;
  ASSERT_TRUE(get_file_size_and_time(data, size, time));
  test::write_file(data, std::string(3000, 'e'));
  ASSERT_TRUE(test::set_file_time(data, time));

  auto offline = [&] {
    auto r = run_update(game, {host.base_url()}, nullptr,
                        [](game_launcher& s) { game_launcher_seams::set_retry_delay(s, 0); });
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(test::read_file(version), version_before);
    EXPECT_EQ(test::read_file(index), index_before);
    EXPECT_EQ(list_files(game.path(session_rel), false, L"*.part"),
              std::vector<std::wstring>{});  // nothing staged is left
    return r.error;
  };
  // No answer, a broken version file, a broken index: the copies stay.
  host.fail("version.json", 500, 3);
  EXPECT_EQ(offline(), L"Could not download update index.");
  test::write_file(dir / L"version.json", "{\"gameupdate\":");
  EXPECT_EQ(offline(), L"Could not download update index. Version file is not valid JSON");
  test::write_file(dir / L"version.json", "{\"gameupdate\":1}\n");
  host.fail("1/index.json.lzma2", 404, 3);
  test::write_file(dir / L"1\\index.json", "{\"config\":");
  EXPECT_EQ(offline(), L"Could not download update index. Update index is not valid JSON");

  // Back online with the same update: the cache still counts, nothing is
  // hashed again (so the changed bytes stay unnoticed).
  pub.publish(1, small_game(), publisher::default_config({host.base_url()}));
  EXPECT_EQ(run_update(game, {host.base_url()}).error, L"");
  EXPECT_EQ(test::read_file(data), std::string(3000, 'e'));
}

TEST(HostSelection, HostileDocumentsEndTheSessionWithAClearText) {
  game_install game;
  test::scoped_temp_dir dir;
  update_host host(dir.path());
  publisher(dir.path()).publish(1, small_game(), publisher::default_config({host.base_url()}));
  auto run = [&] {
    return run_update(game, {host.base_url()}, nullptr,
                      [](game_launcher& s) { game_launcher_seams::set_retry_delay(s, 0); });
  };
  // A small index whose configuration nests 200,000 arrays deep.
  delete_file(dir / L"1\\index.json.lzma2");
  test::write_file(dir / L"1\\index.json", "{\"config\":" + std::string(200000, '[') +
                                               std::string(200000, ']') + ",\"files\":[]}");
  auto r = run();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.error,
            L"Could not download update index. Update index is nested deeper than 64 "
            L"levels");
  EXPECT_FALSE(file_exists(game.path(join_path(session_rel, L"config.json"))));
  // A version file of a megabyte and more.
  test::write_file(dir / L"version.json", "{\"gameupdate\":1" + std::string(1u << 20, ' ') + "}");
  r = run();
  EXPECT_EQ(r.error, L"Could not download update index. Version file is larger than 1 MiB");
}

TEST(HostSelection, ClosingTheWindowEndsAStalledTransfer) {
  game_install game;
  test::scoped_temp_dir dir;
  update_host host(dir.path());
  publisher(dir.path()).publish(1, small_game(), publisher::default_config({host.base_url()}));
  // Headers and then nothing: only the low-speed time-out of a minute would
  // end it, had the window no say.
  host.stall("version.json");
  const auto start = std::chrono::steady_clock::now();
  auto session = game.session({host.base_url()});
  CSplashWnd splash;
  // The user closes the window while the transfer hangs.
  std::thread user([&] {
    while (host.requests("version.json") == 0) sleep_milliseconds(5);
    sleep_milliseconds(200);
    splash.close();
  });
  bool restart = false;
  EXPECT_TRUE(session->run(splash, restart));
  user.join();
  EXPECT_EQ(session->error_text(), L"Could not download update index.");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  EXPECT_EQ(host.requests("version.json"), 1);
}

// ---------------------------------------------------------------------------
// Signed updates

struct signed_world {
  game_install game;
  test::scoped_temp_dir dir;
  update_host host{dir.path()};
  publisher pub{dir.path()};
  std::string public_key, secret_key;
  json index;

  signed_world() {
    EXPECT_TRUE(make_signing_keys(public_key, secret_key));
    pub.sign_with(secret_key);
    index = pub.publish(5, small_game(), publisher::default_config({host.base_url()}));
  }
  test::run_result run(const std::string& key) {
    return run_update(game, {host.base_url()}, nullptr, [&key](game_launcher& s) {
      game_launcher_seams::set_public_key(s, key);
      game_launcher_seams::set_retry_delay(s, 0);
    });
  }
  bool installed() const { return file_exists(game.path(L"client\\Client.exe")); }
};

TEST(SignedUpdates, ASignedPublicationInstallsAndAnUnsignedLauncherIgnoresSignatures) {
  {
    signed_world w;
    auto r = w.run(w.public_key);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.error, L"");
    EXPECT_TRUE(w.installed());
    EXPECT_EQ(w.host.requests("version.json.sig"), 1);
    EXPECT_EQ(w.host.requests("5/index.json.sig"), 1);
  }
  {
    signed_world w;
    auto r = w.run(std::string());
    EXPECT_EQ(r.error, L"");
    EXPECT_TRUE(w.installed());
    EXPECT_EQ(w.host.requests("version.json.sig"), 0);
    EXPECT_EQ(w.host.requests("5/index.json.sig"), 0);
  }
}

TEST(SignedUpdates, BadSignaturesCountAsHostsWithoutAUsableIndex) {
  struct bad_case {
    const char* what;
    std::function<void(signed_world&)> tamper;
    const wchar_t* error;
  };
  const std::wstring no_index = L"Could not download update index. ";
  const bad_case cases[] = {
      {"index byte changed",
       [](signed_world& w) {
         std::string bytes = test::read_file(w.dir / L"5\\index.json");
         char& digit = bytes[bytes.find("\"l_size\":") + 9];
         digit = digit == '9' ? '8' : '9';  // still a number, still JSON
         test::write_file(w.dir / L"5\\index.json", bytes);
         delete_file(w.dir / L"5\\index.json.lzma2");
       },
       L"Update index has no valid signature"},
      {"packed index of other bytes",
       [](signed_world& w) {
         json other = w.index;
         other["files"].erase(1);
         test::write_file(w.dir / L"other.json", json_compact_line(other));
         ASSERT_EQ(pack_file(w.dir / L"other.json", w.dir / L"5\\index.json.lzma2"), 0);
       },
       L"Update index has no valid signature"},
      {"index signature flipped",
       [](signed_world& w) {
         std::string sig = test::read_file(w.dir / L"5\\index.json.sig");
         sig[10] ^= 4;
         test::write_file(w.dir / L"5\\index.json.sig", sig);
       },
       L"Update index has no valid signature"},
      {"index signature missing",
       [](signed_world& w) { delete_file(w.dir / L"5\\index.json.sig"); },
       L"Update index has no valid signature"},
      // Nothing a host sent is parsed before its signature holds.
      {"index not JSON",
       [](signed_world& w) {
         test::write_file(w.dir / L"5\\index.json", "{\"files\":[");
         delete_file(w.dir / L"5\\index.json.lzma2");
       },
       L"Update index has no valid signature"},
      {"version not JSON",
       [](signed_world& w) { test::write_file(w.dir / L"version.json", "{\"gameupdate\":"); },
       L"Version file has no valid signature"},
      {"version signature missing",
       [](signed_world& w) { delete_file(w.dir / L"version.json.sig"); },
       L"Version file has no valid signature"},
      {"version signed for another update",
       [](signed_world& w) {
         // A signature is for the bytes, not for "a" version file.
         const std::string old = json_compact_line(make_version_document(4));
         test::write_file(w.dir / L"version.json.sig", sign_detached(old, w.secret_key));
       },
       L"Version file has no valid signature"},
      {"signed by another key",
       [](signed_world& w) {
         std::string other_public, other_secret;
         ASSERT_TRUE(make_signing_keys(other_public, other_secret));
         publisher other(w.dir.path());
         other.sign_with(other_secret);
         other.publish(5, small_game(), publisher::default_config({w.host.base_url()}));
       },
       L"Version file has no valid signature"},
      {"unsigned publication",
       [](signed_world& w) {
         publisher unsigned_pub(w.dir.path());
         unsigned_pub.publish(5, small_game(), publisher::default_config({w.host.base_url()}));
       },
       L"Version file has no valid signature"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    signed_world w;
    // A good session first: its documents must survive the bad one.
    ASSERT_EQ(w.run(w.public_key).error, L"");
    const std::wstring session = join_path(L".temp", product_guid);
    const std::string version = test::read_file(w.game.path(join_path(session, L"version.json")));
    const std::string index = test::read_file(w.game.path(join_path(session, L"index.json")));
    delete_file(w.game.path(L"client\\Client.exe"));
    c.tamper(w);
    auto r = w.run(w.public_key);
    EXPECT_TRUE(r.ok);  // the game starts as after any failed update
    EXPECT_EQ(r.error, no_index + c.error);
    EXPECT_FALSE(w.installed());
    EXPECT_EQ(test::read_file(w.game.path(join_path(session, L"version.json"))), version);
    EXPECT_EQ(test::read_file(w.game.path(join_path(session, L"index.json"))), index);
    EXPECT_EQ(w.host.requests("version.json"), 4);  // one good run, then three attempts
  }
}

TEST(SignedUpdates, AnOlderSignedVersionIsNotTakenBack) {
  signed_world w;
  ASSERT_EQ(w.run(w.public_key).error, L"");
  w.index = w.pub.publish(6, small_game(), publisher::default_config({w.host.base_url()}));
  ASSERT_EQ(w.run(w.public_key).error, L"");
  // A host that replays update 5, signature and all.
  w.pub.publish(5, {{"client\\Client.exe", "client build 0", true}},
                publisher::default_config({w.host.base_url()}));
  auto r = w.run(w.public_key);
  EXPECT_EQ(r.error,
            L"Could not download update index. Version file names update 5, older than "
            L"the installed 6");
  EXPECT_EQ(test::read_file(w.game.path(L"client\\Client.exe")), "client build 1");
  // A launcher without a key takes what the hosts say, as it always did.
  EXPECT_EQ(w.run(std::string()).error, L"");
  EXPECT_EQ(test::read_file(w.game.path(L"client\\Client.exe")), "client build 0");
}

TEST(SignedUpdates, AnIndexThatUnpacksBeyondAnyIndexMovesToTheNextHost) {
  signed_world w;
  test::scoped_temp_dir bad_dir;
  update_host bad(bad_dir.path());
  // The real version file, signature and all, replayed with a small packed
  // index that unpacks to more than any index may be.
  for (const wchar_t* name : {L"version.json", L"version.json.sig", L"5\\index.json.sig"}) {
    test::write_file(bad_dir / name, test::read_file(w.dir / name));
  }
  const std::wstring huge = bad_dir / L"huge";
  {
    std::FILE* f = open_c_file(huge, "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("{\"files\":[", f);
    std::string piece;
    for (int i = 0; i < (1 << 19); ++i) piece += "0,";
    for (uint64_t i = 0; i <= (max_index_bytes >> 20); ++i) {
      std::fwrite(piece.data(), 1, piece.size(), f);
    }
    std::fputs("0]}", f);
    std::fclose(f);
  }
  const std::wstring bomb = bad_dir / L"5\\index.json.lzma2";
  ASSERT_EQ(pack_file(huge, bomb), 0);
  delete_file(huge);
  // Its header states no size: only decoding finds out.
  std::string bytes = test::read_file(bomb);
  ASSERT_LT(bytes.size(), 64u << 10);
  std::fill(bytes.begin() + 4, bytes.begin() + 12, '\xff');
  test::write_file(bomb, bytes);

  auto r = run_update(w.game, {bad.base_url(), w.host.base_url()}, nullptr, [&w](game_launcher& s) {
    game_launcher_seams::set_public_key(s, w.public_key);
    game_launcher_seams::set_retry_delay(s, 0);
  });
  EXPECT_EQ(r.error, L"");
  EXPECT_TRUE(w.installed());
  EXPECT_EQ(bad.requests("5/index.json.lzma2"), 1);
  // Refused while it unpacked, before its signature was even asked for.
  EXPECT_EQ(bad.requests("5/index.json.sig"), 0);
}

TEST(SignedUpdates, AnOlderSignedIndexUnderTheCurrentNumberIsRefused) {
  signed_world w;
  w.pub.publish(5, {{"client\\Client.exe", "client build 0", true}},
                publisher::default_config({w.host.base_url()}));
  const std::string old_index = test::read_file(w.dir / L"5\\index.json");
  const std::string old_signature = test::read_file(w.dir / L"5\\index.json.sig");
  w.pub.publish(6, small_game(), publisher::default_config({w.host.base_url()}));
  ASSERT_EQ(w.run(w.public_key).error, L"");
  ASSERT_EQ(test::read_file(w.game.path(L"client\\Client.exe")), "client build 1");
  // The current version file, with update 5's index, signature and all,
  // where update 6's belongs.
  test::write_file(w.dir / L"6\\index.json", old_index);
  test::write_file(w.dir / L"6\\index.json.sig", old_signature);
  delete_file(w.dir / L"6\\index.json.lzma2");
  auto r = w.run(w.public_key);
  EXPECT_EQ(r.error, L"Could not download update index. Update index has no valid signature");
  EXPECT_EQ(test::read_file(w.game.path(L"client\\Client.exe")), "client build 1");
}

TEST(SignedUpdates, FilesAreBoundBySha256NotSha1) {
  signed_world w;
  // A signed index whose SHA-1 texts match an attacker's file while its
  // SHA-256 texts name the real one: the file is refused.
  const std::string swapped = "a client of someone else";
  json& entry = w.index["files"][0];
  ASSERT_EQ(entry["l"], "client\\Client.exe");
  test::write_file(w.dir / L"swapped", swapped);
  Sha1Context context;
  byte_buffer buffer;
  entry["l_sha1"] = file_digest(w.dir / L"swapped", context, buffer);
  entry["l_size"] = swapped.size();
  entry.erase("r_pack");
  entry.erase("r_sha1");
  entry.erase("r_sha256");
  entry["r"] = "5/client/client.exe";
  entry["r_size"] = swapped.size();
  test::write_file(w.dir / L"5\\client\\client.exe", swapped);
  w.pub.write_signed_index(5, w.index);
  auto r = w.run(w.public_key);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.error.rfind(L"Failed to download 1 files\nFile: client\\Client.exe", 0), 0u)
      << wide_to_utf8(r.error);
  EXPECT_FALSE(w.installed());
  EXPECT_EQ(test::read_file(w.game.path(L"data\\Game Data.bin")), std::string(3000, 'd'));

  // The same entry without its SHA-256 text is skipped altogether.
  entry.erase("l_sha256");
  w.pub.write_signed_index(5, w.index);
  r = w.run(w.public_key);
  EXPECT_EQ(r.error, L"");
  EXPECT_FALSE(w.installed());
}

}  // namespace
}  // namespace tsl
