#include "maker/maker_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "codec/packed_file.h"
#include "maker/maker_guid.h"
#include "maker/patch_maker.h"
#include "tests/test_util.h"
#include "util/file_system.h"
#include "util/product.h"
#include "util/text.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#include "util/native_path.h"
#endif

namespace tsl {
namespace {

using test::random_bytes;
using test::read_file;
using test::scoped_temp_dir;
using test::write_file;

// A working directory of the maker: config.json, cache.json, input, output.
class maker_dir {
 public:
  maker_dir() : paths_(maker_paths::beside(dir_.path())) {}

  const maker_paths& paths() const { return paths_; }
  std::wstring in(const std::wstring& relative) const { return join_path(paths_.input, relative); }
  std::wstring out(const std::wstring& relative) const {
    return join_path(paths_.output, relative);
  }

  // A configuration like the default one, with the maker block replaced.
  void configure(const json& maker) {
    json config = default_config_document(wide_to_utf8(product_guid));
    config["maker"] = maker;
    write_file(paths_.config, json_pretty_line(config));
  }
  void configure(uint32_t gameupdate = 4, bool optimize = true, uint32_t minsize = 16384,
                 int32_t threshold = 85) {
    configure(
        json{{"gameupdate", gameupdate},
             {"packer",
              {{"minsize", minsize}, {"optimize", optimize}, {"optimize_threshold", threshold}}}});
  }

  // One whole run; the console lines are kept in lines().
  bool run(std::atomic<bool>* stop = nullptr) {
    lines_.clear();
    std::atomic<bool> never{false};
    maker_run run(paths_, stop ? *stop : never, [this](const std::string& line) {
      lines_.push_back(line);
      if (on_line_) on_line_(line);
    });
    return run.run();
  }
  const std::vector<std::string>& lines() const { return lines_; }
  bool printed(const std::string& line) const {
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
  }
  size_t count_prefix(const std::string& prefix) const {
    return std::count_if(lines_.begin(), lines_.end(),
                         [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  }
  void on_line(std::function<void(const std::string&)> f) { on_line_ = std::move(f); }

  json document(const std::wstring& path) const { return json::parse(read_file(path)); }
  json index(uint32_t n) const { return document(out(std::to_wstring(n) + L"\\index.json")); }
  uint32_t gameupdate() const {
    return document(paths_.config)["maker"]["gameupdate"].get<uint32_t>();
  }
  // The index entry whose "l" is `local`, or null.
  json entry(uint32_t n, const std::string& local) const {
    json whole = index(n);
    for (const auto& e : whole["files"]) {
      if (e["l"] == local) return e;
    }
    return json();
  }

 private:
  scoped_temp_dir dir_;
  maker_paths paths_;
  std::vector<std::string> lines_;
  std::function<void(const std::string&)> on_line_;
};

// ---------------------------------------------------------------------------
// Configuration

TEST(MakerConfig, FirstRunCreatesTheConfigurationOnly) {
  maker_dir d;
  EXPECT_FALSE(d.run());
  EXPECT_EQ(d.lines(), std::vector<std::string>{
                           "Configuration file created. Edit config.json and start tool again.\n"});
  EXPECT_TRUE(directory_exists(d.paths().input));
  EXPECT_TRUE(directory_exists(d.paths().output));
  EXPECT_FALSE(path_exists(d.paths().cache));

  std::string text = read_file(d.paths().config);
  // Keys ascending, 4-space indentation, one closing newline.
  EXPECT_EQ(text.rfind("{\n    \"client\": {\n        \"check\": {\n", 0), 0u) << text;
  EXPECT_LT(text.find("\n    \"client\""), text.find("\n    \"maker\""));
  EXPECT_EQ(text.substr(text.size() - 2), "}\n");
  json config = json::parse(text);
  std::string guid = config["client"]["guid"];
  EXPECT_TRUE(std::regex_match(guid, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-"
                                                "[0-9a-f]{12}")))
      << guid;
  EXPECT_EQ(config["client"]["version"], 3);
  EXPECT_EQ(config["client"]["check"]["cache"], true);
  EXPECT_EQ(config["maker"]["gameupdate"], 0);
  EXPECT_EQ(config["maker"]["packer"]["minsize"], 16384);
  EXPECT_EQ(config["maker"]["packer"]["optimize"], true);
  EXPECT_EQ(config["maker"]["packer"]["optimize_threshold"], 85);

  // The next run works with it; with nothing to publish it stays at 0.
  EXPECT_TRUE(d.run());
  EXPECT_TRUE(d.printed("Current game update version: 0\n"));
}

TEST(MakerConfig, AConfigurationThatIsADirectoryIsTreatedAsMissing) {
  maker_dir d;
  ASSERT_TRUE(create_directories(d.paths().config));
  EXPECT_FALSE(d.run());
  EXPECT_TRUE(d.printed("Configuration file created. Edit config.json and start tool again.\n"));
  EXPECT_TRUE(directory_exists(d.paths().config));
  EXPECT_FALSE(path_exists(d.paths().cache));
}

TEST(MakerConfig, BadConfigurationsAreReportedAndNothingIsWritten) {
  struct bad_case {
    std::string text;
    std::string line;
  };
  const bad_case cases[] = {
      {"{ \"client\": ", "Exception: [json.exception.parse_error.101] parse error at line 1, "},
      {"", "Exception: [json.exception.parse_error.101] parse error at line 1, column 1: "},
      {R"({"maker":{"gameupdate":1,"packer":{"minsize":16384}}})",
       "Exception: [json.exception.type_error.302] type must be boolean, but is null\n"},
      {R"({"maker":{"gameupdate":1,"packer":{"optimize":"yes","minsize":1}}})",
       "Exception: [json.exception.type_error.302] type must be boolean, but is string\n"},
      {R"({"maker":{"gameupdate":1,"packer":{"optimize":false,"minsize":"big"}}})",
       "Exception: [json.exception.type_error.302] type must be number, but is string\n"},
      {R"({"maker":{"gameupdate":1,"packer":{"optimize":true,"minsize":1}}})",
       "Exception: [json.exception.type_error.302] type must be number, but is null\n"},
      {R"({"maker":{"packer":{"optimize":false,"minsize":1}}})",
       "Exception: [json.exception.type_error.302] type must be number, but is null\n"},
      {R"({"maker":[]})", "Exception: [json.exception.type_error.305] cannot use operator[] "},
      {R"({"maker":{"gameupdate":4294967295,"packer":{"optimize":false,"minsize":1}}})",
       "Exception: maker.gameupdate 4294967295 cannot be raised any further\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    maker_dir d;
    write_file(d.paths().config, c.text);
    write_file(d.in(L"a.txt"), "a");
    EXPECT_FALSE(d.run());
    ASSERT_EQ(d.lines().size(), 1u);
    EXPECT_EQ(d.lines()[0].rfind(c.line, 0), 0u) << d.lines()[0];
    EXPECT_EQ(read_file(d.paths().config), c.text);
    EXPECT_FALSE(path_exists(d.paths().cache));
    EXPECT_TRUE(list_files(d.paths().output, true, L"*.*").empty());
  }
}

TEST(MakerConfig, OptimizeOffNeverReadsTheThreshold) {
  json config = {
      {"maker", {{"gameupdate", 2}, {"packer", {{"minsize", 10}, {"optimize", false}}}}}};
  maker_settings s = read_maker_settings(config);
  EXPECT_FALSE(s.optimize);
  EXPECT_EQ(s.optimize_threshold, 85);
  EXPECT_EQ(s.minimum_size, 10u);
  EXPECT_EQ(s.current_version, 2u);
  EXPECT_EQ(s.next_version, 3u);
  EXPECT_FALSE(config["maker"]["packer"].contains("optimize_threshold"));

  maker_dir d;
  write_file(d.paths().config, R"({"maker":{"gameupdate":0,"packer":{"minsize":10,
      "optimize":false,"optimize_threshold":"not a number"}}})");
  write_file(d.in(L"a.bin"), random_bytes(100, 1));
  EXPECT_TRUE(d.run());
  // The operator's configuration had no "client": the index says so.
  EXPECT_TRUE(d.index(1)["config"].is_null());
  EXPECT_EQ(d.document(d.paths().config)["maker"]["packer"]["optimize_threshold"], "not a number");
}

TEST(MakerConfig, GuidTexts) {
  guid_fields g;
  g.data1 = 0x0d3f6c21;
  g.data2 = 0x7a4e;
  g.data3 = 0x4b9d;
  const uint8_t tail[8] = {0xa1, 0xc5, 0x52, 0xe8, 0xf0, 0xb7, 0xc9, 0x04};
  std::copy(tail, tail + 8, g.data4);
  EXPECT_EQ(guid_text(g), "0d3f6c21-7a4e-4b9d-a1c5-52e8f0b7c904");

  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    std::string t = make_guid_text();
    ASSERT_EQ(t.size(), 36u);
    EXPECT_EQ(t[14], '4') << t;  // version 4 (random)
    EXPECT_NE(std::string("89ab").find(t[19]), std::string::npos) << t;
    seen.insert(t);
  }
  EXPECT_EQ(seen.size(), 50u);
}

// ---------------------------------------------------------------------------
// Names and the packing rule

TEST(MakerPacking, NamesOfOneFile) {
  maker_paths paths = maker_paths::beside(L"C:\\pub");
  publish_names n = derive_names(paths, L"C:\\pub\\input\\Client\\Game Data.bin", 7);
  EXPECT_EQ(n.relative, L"Client\\Game Data.bin");
  EXPECT_EQ(n.key_path, L"client\\game data.bin");
  EXPECT_EQ(n.output_path, L"C:\\pub\\output\\7\\client\\game data.bin");
  EXPECT_EQ(n.packed_path, L"C:\\pub\\output\\7\\client\\game data.bin.lzma2");
  EXPECT_EQ(n.remote, "7/client/game%20data.bin");
  EXPECT_EQ(n.cache_key, "client\\game data.bin");

  // Only A-Z fold; other letters and the URL-breaking characters are kept or
  // escaped, and the reuse check finds the copy again.
  n = derive_names(paths, L"C:\\pub\\input\\\x0414\x0430\\A%20b#1.TXT", 3);
  EXPECT_EQ(n.key_path, L"\x0414\x0430\\a%20b#1.txt");
  EXPECT_EQ(n.remote, "3/\xD0\x94\xD0\xB0/a%2520b%231.txt");
  EXPECT_EQ(published_copy_path(paths.output, n.remote), n.output_path);
  EXPECT_EQ(published_copy_path(paths.output, "3/a%20b.txt"), L"C:\\pub\\output\\3\\a b.txt");

  // A cache that names a place outside output is not followed.
  EXPECT_EQ(published_copy_path(paths.output, "../../secret"), L"");
  EXPECT_EQ(published_copy_path(paths.output, "/etc/passwd"), L"");
}

TEST(MakerPacking, RetainRule) {
  maker_settings s;                                       // optimize on, threshold 85
  EXPECT_FALSE(retain_packed(L"a.bin", 10000, 8500, s));  // exactly 85 %
  EXPECT_TRUE(retain_packed(L"a.bin", 10000, 8499, s));   // 84.99 %
  EXPECT_FALSE(retain_packed(L"a.bin", 10000, 10000, s));
  EXPECT_FALSE(retain_packed(L"a.bin", 10000, 12000, s));
  // 57 / 100 * 100 is 56.99... in doubles; the rule means whole percent.
  s.optimize_threshold = 57;
  EXPECT_FALSE(retain_packed(L"a.bin", 100, 57, s));
  EXPECT_TRUE(retain_packed(L"a.bin", 100, 56, s));
  // Sizes near the 32-bit limit do not overflow.
  s.optimize_threshold = 85;
  EXPECT_TRUE(retain_packed(L"a.bin", 4000000000u, 3000000000u, s));
  EXPECT_FALSE(retain_packed(L"a.bin", 4000000000u, 3500000000u, s));
  // Executables stay packed however large, any case.
  for (const wchar_t* name : {L"Client\\Game.EXE", L"x.dll", L"drv.Sys", L"cmd.com"}) {
    EXPECT_TRUE(retain_packed(name, 100, 200, s)) << wide_to_utf8(name);
  }
  EXPECT_FALSE(retain_packed(L"exe", 100, 200, s));
  EXPECT_FALSE(retain_packed(L"a.exe.bak", 100, 200, s));
  s.optimize = false;
  EXPECT_TRUE(retain_packed(L"a.bin", 100, 200, s));
}

TEST(MakerPacking, SizeBoundaryEmptyFilesAndExecutables) {
  maker_dir d;
  d.configure(4);
  write_file(d.in(L"zeros16383.bin"), std::string(16383, '\0'));
  write_file(d.in(L"zeros16384.bin"), std::string(16384, '\0'));
  write_file(d.in(L"empty.dat"), "");
  write_file(d.in(L"bin\\Random.EXE"), random_bytes(40000, 2));
  write_file(d.in(L"bin\\random.pak"), random_bytes(40000, 3));
  ASSERT_TRUE(d.run());

  json small = d.entry(5, "zeros16383.bin");
  EXPECT_EQ(small["r"], "5/zeros16383.bin");
  EXPECT_FALSE(small.contains("r_pack"));
  EXPECT_EQ(small["r_size"], 16383);
  EXPECT_EQ(read_file(d.out(L"5\\zeros16383.bin")), std::string(16383, '\0'));

  json big = d.entry(5, "zeros16384.bin");
  EXPECT_EQ(big["r"], "5/zeros16384.bin.lzma2");
  EXPECT_EQ(big["r_pack"], "lzma2");
  EXPECT_EQ(big["r_size"], get_file_size(d.out(L"5\\zeros16384.bin.lzma2")));
  EXPECT_FALSE(path_exists(d.out(L"5\\zeros16384.bin")));

  json empty = d.entry(5, "empty.dat");
  EXPECT_EQ(empty, (json{{"l", "empty.dat"},
                         {"l_sha1", ""},
                         {"l_size", 0},
                         {"r", "5/empty.dat"},
                         {"r_size", 0},
                         {"u", 5}}));
  EXPECT_TRUE(file_exists(d.out(L"5\\empty.dat")));

  json exe = d.entry(5, "bin\\Random.EXE");
  EXPECT_EQ(exe["r"], "5/bin/random.exe.lzma2");
  EXPECT_GT(exe["r_size"].get<uint32_t>(), 40000u);

  json pak = d.entry(5, "bin\\random.pak");
  EXPECT_EQ(pak["r"], "5/bin/random.pak");
  EXPECT_FALSE(path_exists(d.out(L"5\\bin\\random.pak.lzma2")));  // the try is not left behind

  // A copied empty file is reused like any other, and a deleted one is noticed.
  ASSERT_TRUE(d.run());
  EXPECT_TRUE(d.printed("Using cached: 5/empty.dat\n"));
  ASSERT_TRUE(delete_file(d.out(L"5\\empty.dat")));
  ASSERT_TRUE(d.run());
  EXPECT_TRUE(d.printed(
      "Checksum mismatch for output file: " + wide_to_utf8(d.out(L"5\\empty.dat")) + "\n"));
  EXPECT_EQ(d.entry(6, "empty.dat")["r"], "6/empty.dat");
}

TEST(MakerPacking, RatioBoundaryWithRealPacking) {
  // Half random, half zeros: packs to a little over half its size.
  std::string bytes = random_bytes(30000, 4) + std::string(30000, '\0');
  scoped_temp_dir probe;
  write_file(probe / L"x", bytes);
  ASSERT_EQ(pack_file(probe / L"x", probe / L"x.lzma2"), 0);
  uint64_t ratio = uint64_t{get_file_size(probe / L"x.lzma2")} * 100 / bytes.size();
  ASSERT_GT(ratio, 40u);
  ASSERT_LT(ratio, 70u);

  for (int32_t threshold : {static_cast<int32_t>(ratio), static_cast<int32_t>(ratio) + 1}) {
    SCOPED_TRACE(threshold);
    maker_dir d;
    d.configure(0, true, 16384, threshold);
    write_file(d.in(L"half.bin"), bytes);
    ASSERT_TRUE(d.run());
    json e = d.entry(1, "half.bin");
    bool packed = threshold > static_cast<int32_t>(ratio);
    EXPECT_EQ(e.contains("r_pack"), packed);
    EXPECT_EQ(e["r"], packed ? "1/half.bin.lzma2" : "1/half.bin");
    EXPECT_EQ(path_exists(d.out(L"1\\half.bin.lzma2")), packed);
    EXPECT_EQ(path_exists(d.out(L"1\\half.bin")), !packed);
  }

  // With optimize off, even random data stays packed.
  maker_dir d;
  d.configure(0, false);
  write_file(d.in(L"random.bin"), random_bytes(20000, 5));
  ASSERT_TRUE(d.run());
  EXPECT_EQ(d.entry(1, "random.bin")["r"], "1/random.bin.lzma2");
}

// ---------------------------------------------------------------------------
// Runs over a tree: reuse, change detection, numbering

class MakerRuns : public ::testing::Test {
 protected:
  void SetUp() override {
    d.configure(4);
    write_file(d.in(L"Readme.txt"), "hello");
    write_file(d.in(L"Client\\Game.exe"), random_bytes(50000, 6));
    write_file(d.in(L"Data\\Big Map.pak"), random_bytes(60000, 7, true));
    write_file(d.in(L"Data\\a%20b#1.txt"), "odd name");
    ASSERT_TRUE(d.run());
    ASSERT_EQ(d.gameupdate(), 5u);
  }
  maker_dir d;
};

TEST_F(MakerRuns, FirstRunPublishesEverything) {
  EXPECT_EQ(d.count_prefix("Processing: "), 4u);
  EXPECT_TRUE(d.printed("Processing: Data\\Big Map.pak\n"));
  EXPECT_TRUE(d.printed("Saving config file.\n"));
  EXPECT_TRUE(d.printed("Minimum referenced version: 5\n"));
  EXPECT_EQ(d.lines().back(), "Current game update version: 5\n");
  EXPECT_EQ(d.lines()[0], "Orvane Game Launcher\n");
  EXPECT_EQ(d.lines()[1], "Checking files...\n");
  EXPECT_EQ(read_file(d.out(L"version.json")), "{\"gameupdate\":5}\n");
  EXPECT_EQ(d.entry(5, "Data\\Big Map.pak")["r"], "5/data/big%20map.pak.lzma2");
  EXPECT_TRUE(file_exists(d.out(L"5\\data\\big map.pak.lzma2")));
  EXPECT_TRUE(file_exists(d.out(L"5\\data\\a%20b#1.txt")));
  EXPECT_TRUE(file_exists(d.out(L"5\\index.json.lzma2")));
  // The cache holds each entry as the index does.
  json cache = d.document(d.paths().cache);
  EXPECT_EQ(cache["data\\big map.pak"]["data"], d.entry(5, "Data\\Big Map.pak"));
  EXPECT_TRUE(cache["data\\big map.pak"]["cache"].is_number_unsigned());
}

TEST_F(MakerRuns, UnchangedTreeIsReusedAndTheIndexRewritten) {
  std::string index = read_file(d.out(L"5\\index.json"));
  std::string config = read_file(d.paths().config);
  ASSERT_TRUE(d.run());
  EXPECT_EQ(d.count_prefix("Using cached: "), 4u);
  EXPECT_TRUE(d.printed("Using cached: 5/data/a%2520b%231.txt\n"));
  EXPECT_EQ(d.count_prefix("Processing: "), 0u);
  EXPECT_TRUE(d.printed("No change in files detected. Comparing cache...\n"));
  EXPECT_TRUE(d.printed("No update detected.\n"));
  EXPECT_FALSE(d.printed("Saving config file.\n"));
  EXPECT_TRUE(d.printed("Saving update index.\n"));
  EXPECT_EQ(read_file(d.out(L"5\\index.json")), index);
  EXPECT_EQ(read_file(d.paths().config), config);
  EXPECT_FALSE(path_exists(d.out(L"6")));
}

TEST_F(MakerRuns, DeletedOrAlteredPublishedCopiesArePublishedAgain) {
  ASSERT_TRUE(delete_file(d.out(L"5\\data\\big map.pak.lzma2")));
  std::string exe = read_file(d.out(L"5\\client\\game.exe.lzma2"));
  exe[100] ^= 1;  // same size, other bytes
  write_file(d.out(L"5\\client\\game.exe.lzma2"), exe);
  ASSERT_TRUE(d.run());
  EXPECT_TRUE(d.printed("Checksum mismatch for output file: " +
                        wide_to_utf8(d.out(L"5\\data\\big map.pak.lzma2")) + "\n"));
  EXPECT_TRUE(d.printed("Checksum mismatch for output file: " +
                        wide_to_utf8(d.out(L"5\\client\\game.exe.lzma2")) + "\n"));
  EXPECT_EQ(d.count_prefix("Processing: "), 2u);
  EXPECT_EQ(d.gameupdate(), 6u);
  EXPECT_EQ(d.entry(6, "Data\\Big Map.pak")["r"], "6/data/big%20map.pak.lzma2");
  EXPECT_EQ(d.entry(6, "Client\\Game.exe")["u"], 6);
  EXPECT_EQ(d.entry(6, "Readme.txt")["u"], 5);
  EXPECT_TRUE(d.printed("Minimum referenced version: 5\n"));
}

TEST_F(MakerRuns, TouchedFileIsPublishedUnderTheNextNumber) {
  uint64_t size = 0, time = 0;
  ASSERT_TRUE(get_file_size_and_time(d.in(L"Readme.txt"), size, time));
  ASSERT_TRUE(test::set_file_time(d.in(L"Readme.txt"), time + 20000000));
  ASSERT_TRUE(d.run());
  EXPECT_EQ(d.lines().size(), 11u);
  EXPECT_TRUE(d.printed("Processing: Readme.txt\n"));
  EXPECT_EQ(d.count_prefix("Using cached: "), 3u);
  EXPECT_FALSE(d.printed("No change in files detected. Comparing cache...\n"));
  EXPECT_EQ(d.gameupdate(), 6u);
  EXPECT_EQ(d.entry(6, "Readme.txt")["r"], "6/readme.txt");
  EXPECT_EQ(d.entry(6, "Client\\Game.exe")["r"], "5/client/game.exe.lzma2");
  EXPECT_EQ(read_file(d.out(L"version.json")), "{\"gameupdate\":6}\n");
  EXPECT_TRUE(file_exists(d.out(L"5\\index.json")));  // earlier updates stay
}

TEST_F(MakerRuns, DeletedInputFileMakesAnUpdateWithoutNewFiles) {
  ASSERT_TRUE(delete_file(d.in(L"Readme.txt")));
  ASSERT_TRUE(d.run());
  EXPECT_TRUE(d.printed("No change in files detected. Comparing cache...\n"));
  EXPECT_TRUE(d.printed("Update detected!\n"));
  EXPECT_TRUE(d.printed("Saving config file.\n"));
  EXPECT_EQ(d.gameupdate(), 6u);
  EXPECT_EQ(d.index(6)["files"].size(), 3u);
  EXPECT_TRUE(d.entry(6, "Readme.txt").is_null());
  std::vector<std::wstring> in6 = list_files(d.out(L"6"), true, L"*.*");
  std::sort(in6.begin(), in6.end());
  EXPECT_EQ(in6,
            (std::vector<std::wstring>{d.out(L"6\\index.json"), d.out(L"6\\index.json.lzma2")}));
  EXPECT_TRUE(d.printed("Minimum referenced version: 5\n"));
}

TEST_F(MakerRuns, StoppedRunKeepsItsWorkForTheNextOne) {
  std::atomic<bool> stop{false};
  for (const wchar_t* name : {L"n1.txt", L"n2.txt", L"n3.txt"}) write_file(d.in(name), "new");
  ASSERT_TRUE(delete_file(d.out(L"5\\readme.txt")));  // forces one more publication
  int processed = 0;
  d.on_line([&](const std::string& line) {
    if (line.rfind("Processing: ", 0) == 0 && ++processed == 2) stop = true;
  });
  ASSERT_TRUE(d.run(&stop));
  d.on_line(nullptr);
  EXPECT_EQ(processed, 2);
  EXPECT_TRUE(d.printed("Saving config file.\n"));
  EXPECT_FALSE(d.printed("Saving update index.\n"));
  EXPECT_FALSE(d.printed("Finished!\n\n"));
  EXPECT_EQ(d.gameupdate(), 6u);
  EXPECT_FALSE(path_exists(d.out(L"6\\index.json")));
  EXPECT_EQ(read_file(d.out(L"version.json")), "{\"gameupdate\":5}\n");
  json partial = d.document(d.paths().cache);
  size_t handled = partial.size();
  EXPECT_GE(handled, 2u);
  EXPECT_LT(handled, 7u);

  ASSERT_TRUE(d.run());
  EXPECT_EQ(d.gameupdate(), 7u);
  json files = d.index(7)["files"];
  EXPECT_EQ(files.size(), 7u);
  std::map<uint32_t, int> by_version;
  for (const auto& e : files) ++by_version[e["u"].get<uint32_t>()];
  // Whatever the stopped run published it published under 6 and is reused.
  EXPECT_EQ(by_version[6], 2);
  EXPECT_EQ(by_version[5] + by_version[7], 5);
  EXPECT_EQ(d.count_prefix("Using cached: 6/"), 2u);
  EXPECT_TRUE(d.printed("Current game update version: 7\n"));
}

TEST(MakerRunsEdge, EmptyInput) {
  maker_dir d;
  d.configure(9);
  ASSERT_TRUE(d.run());
  EXPECT_TRUE(d.printed("No change in files detected. Comparing cache...\n"));
  EXPECT_TRUE(d.printed("No update detected.\n"));
  EXPECT_EQ(d.index(9)["files"], json::array());
  EXPECT_TRUE(d.printed("Minimum referenced version: 4294967295\n"));
  EXPECT_EQ(d.gameupdate(), 9u);
  EXPECT_EQ(read_file(d.paths().cache), "null\n");
}

TEST(MakerRunsEdge, UnwritableUpdateDirectoryLosesNothingPublished) {
  maker_dir d;
  d.configure(0);
  write_file(d.in(L"keep.txt"), "keep");
  ASSERT_TRUE(d.run());
  std::string index1 = read_file(d.out(L"1\\index.json"));

  // The next update's directory cannot be made: new files fail, the update
  // is not announced, and update 1 stays as it was.
  write_file(d.out(L"2"), "in the way");
  write_file(d.in(L"new.txt"), "new");
  write_file(d.in(L"new.pak"), std::string(20000, 'x'));
  EXPECT_FALSE(d.run());
  EXPECT_TRUE(d.printed("Using cached: 1/keep.txt\n"));
  EXPECT_TRUE(d.printed("!!! Error copy: " + wide_to_utf8(d.in(L"new.txt")) + "\n"));
  EXPECT_TRUE(
      d.printed("!!! Error packing file: " + wide_to_utf8(d.in(L"new.pak")) + " (Code: 5)\n"));
  EXPECT_TRUE(d.printed("!!! Error writing file: " + wide_to_utf8(d.out(L"2\\index.json")) + "\n"));
  EXPECT_EQ(read_file(d.out(L"version.json")), "{\"gameupdate\":1}\n");
  EXPECT_EQ(read_file(d.out(L"1\\index.json")), index1);
  EXPECT_TRUE(file_exists(d.out(L"1\\keep.txt")));

  // Once the way is clear the failed files go out under the number after.
  ASSERT_TRUE(delete_file(d.out(L"2")));
  ASSERT_TRUE(d.run());
  EXPECT_EQ(d.entry(3, "new.txt")["r"], "3/new.txt");
  EXPECT_EQ(d.entry(3, "keep.txt")["r"], "1/keep.txt");
}

TEST(MakerRunsEdge, NonAsciiNamesRoundTrip) {
  maker_dir d;
  d.configure(0);
  const std::wstring name =
      L"\x0414\x0430\x043D\x043D\x044B\x0435\\\x0424\x0430\x0439\x043B \xFC.TXT";
  write_file(d.in(name), "text");
  ASSERT_TRUE(d.run());
  EXPECT_TRUE(d.printed("Processing: " + wide_to_utf8(name) + "\n"));
  json e = d.index(1)["files"][0];
  EXPECT_EQ(e["l"], wide_to_utf8(name));
  std::wstring remote = replace_all(replace_all(to_lower_ascii(name), L"\\", L"/"), L" ", L"%20");
  EXPECT_EQ(e["r"], "1/" + wide_to_utf8(remote));
  EXPECT_TRUE(file_exists(d.out(L"1\\" + to_lower_ascii(name))));
  ASSERT_TRUE(d.run());
  EXPECT_EQ(d.count_prefix("Using cached: "), 1u);
}

// The index carries 32-bit sizes: a file of 4 GiB or more would go out with
// a wrong one and fail every launcher's check, so it is refused whole.
TEST(MakerRunsEdge, FileOf4GiBOrMoreIsRefused) {
  maker_dir d;
  d.configure(0);
  write_file(d.in(L"small.txt"), "small");
  ASSERT_TRUE(test::make_sized_file(d.in(L"huge.pak"), (uint64_t(1) << 32) + 5));
  d.run();
  EXPECT_TRUE(d.printed("!!! File too large: " + wide_to_utf8(d.in(L"huge.pak")) + "\n"));
  EXPECT_FALSE(file_exists(d.out(L"1\\huge.pak")));
  EXPECT_FALSE(file_exists(d.out(L"1\\huge.pak.lzma2")));
  ASSERT_TRUE(d.entry(1, "small.txt").is_object());
  EXPECT_TRUE(d.entry(1, "huge.pak").is_null());
}

#ifndef _WIN32
TEST(MakerRunsEdge, UnreadableInputIsReportedAndTheRunGoesOn) {
  maker_dir d;
  d.configure(0);
  write_file(d.in(L"good.txt"), "good");
  // A name that lists but cannot be opened.
  ASSERT_EQ(symlink("/nonexistent/target", native_path(d.in(L"gone.txt")).c_str()), 0);
  // A FIFO would block a plain open for ever.
  ASSERT_EQ(mkfifo(native_path(d.in(L"pipe")).c_str(), 0600), 0);
  ASSERT_TRUE(d.run());
  EXPECT_TRUE(d.printed("!!! Error copy: " + wide_to_utf8(d.in(L"gone.txt")) + "\n"));
  EXPECT_TRUE(d.printed("!!! Error copy: " + wide_to_utf8(d.in(L"pipe")) + "\n"));
  EXPECT_EQ(d.index(1)["files"].size(), 1u);
  EXPECT_EQ(d.index(1)["files"][0]["l"], "good.txt");
}
#endif

}  // namespace
}  // namespace tsl
