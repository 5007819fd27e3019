#include "update/game_launcher.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/update_fixture.h"
#include "util/file_system.h"
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
  ASSERT_TRUE(session.prepare());
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
                      [](game_launcher& s) { s.set_retry_delay(10); });
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
                      [](game_launcher& s) { s.set_retry_delay(0); });
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
  auto r =
      run_update(game, {host.base_url()}, nullptr, [](game_launcher& s) { s.set_retry_delay(0); });
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
                        [](game_launcher& s) { s.set_retry_delay(0); });
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
  auto r =
      run_update(game, {host.base_url()}, nullptr, [](game_launcher& s) { s.set_retry_delay(0); });
  EXPECT_EQ(r.error, L"Could not download update index. Version file is not valid JSON");
  test::write_file(dir / L"version.json", "{\"gameupdate\":\"1\"}");
  r = run_update(game, {host.base_url()}, nullptr, [](game_launcher& s) { s.set_retry_delay(0); });
  EXPECT_EQ(r.error,
            L"Could not download update index. Version file has no numeric \"gameupdate\"");
  test::write_file(dir / L"version.json", "{\"gameupdate\":1}");
  delete_file(dir / L"1\\index.json.lzma2");
  test::write_file(dir / L"1\\index.json", "[1,2");
  r = run_update(game, {host.base_url()}, nullptr, [](game_launcher& s) { s.set_retry_delay(0); });
  EXPECT_EQ(r.error, L"Could not download update index. Update index is not valid JSON");
  test::write_file(dir / L"1\\index.json", "[1,2]");
  r = run_update(game, {host.base_url()}, nullptr, [](game_launcher& s) { s.set_retry_delay(0); });
  EXPECT_EQ(r.error, L"Update index is not an object");
}

TEST(HostSelection, ClosingTheWindowDuringAttemptsOrAfterAcceptance) {
  game_install game;
  std::string down = "http://127.0.0.1:" + std::to_string(test::closed_port()) + "/tsl/";
  auto during_attempts = run_update(
      game, {down},
      [](CSplashWnd& splash, const std::wstring& text) {
        if (text.find(L"#2") != std::wstring::npos) splash.close();
      },
      [](game_launcher& s) { s.set_retry_delay(0); });
  EXPECT_TRUE(during_attempts.ok);
  EXPECT_EQ(during_attempts.error, L"Could not download update index.");

  test::scoped_temp_dir dir;
  update_host host(dir.path());
  publisher(dir.path()).publish(1, small_game(), publisher::default_config({"http://x/"}));
  auto after_acceptance = run_update(
      game, {host.base_url()}, [](CSplashWnd& splash, const std::wstring&) { splash.close(); });
  EXPECT_FALSE(after_acceptance.ok);
  EXPECT_EQ(after_acceptance.error, L"Cancelled by user");
  EXPECT_FALSE(file_exists(game.path(L"client\\Client.exe")));
}

}  // namespace
}  // namespace tsl
