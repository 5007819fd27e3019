#include "maker/maker_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/chunker.h"
#include "codec/packed_file.h"
#include "codec/sha1.h"
#include "codec/signature.h"
#include "maker/maker_guid.h"
#include "maker/maker_names.h"
#include "maker/maker_progress.h"
#include "maker/maker_run_seams.h"
#include "maker/maker_signing.h"
#include "maker/patch_maker.h"
#include "format/chunk_map.h"
#include "tests/test_util.h"
#include "util/byte_buffer.h"
#include "util/file_system.h"
#include "util/product.h"
#include "util/text.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
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

  // One whole run; the console lines are kept in lines(). No run leaves a
  // temporary file in `output`, where it would be uploaded.
  bool run(std::atomic<bool>* stop = nullptr) {
    lines_.clear();
    std::atomic<bool> never{false};
    maker_run run(paths_, stop ? *stop : never, [this](const std::string& line) {
      lines_.push_back(line);
      if (on_line_) on_line_(line);
    });
    maker_run_seams::set_read_observer(run, read_observer_);
    run.set_unsigned_allowed(unsigned_allowed_);
    maker_run_seams::set_block_size(run, block_size_);
    if (progress_) run.set_progress_writer(progress_);
    const bool ok = run.run();
    EXPECT_FALSE(path_exists(out(L".partial")));
    for (const auto& file : list_files(paths_.output, true, L"*.*")) {
      EXPECT_FALSE(ends_with_ignore_case(file, L".tmp") || ends_with_ignore_case(file, L".part"))
          << wide_to_utf8(file);
    }
    return ok;
  }
  void read_observer(std::function<void(const std::wstring&)> f) { read_observer_ = std::move(f); }
  void block_size(uint64_t size) { block_size_ = size; }
  void allow_unsigned(bool allowed) { unsigned_allowed_ = allowed; }
  void progress(std::function<void(const std::string&)> f) { progress_ = std::move(f); }
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
  // Changes one setting of maker.packer in the configuration on disk.
  void set_packer(const std::string& key, const json& value) {
    json config = document(paths_.config);
    config["maker"]["packer"][key] = value;
    write_file(paths_.config, json_pretty_line(config));
  }
  json index(uint32_t n) const { return document(out(std::to_wstring(n) + L"\\index.json")); }
  uint32_t gameupdate() const {
    return document(paths_.config)["maker"]["gameupdate"].get<uint32_t>();
  }
  // The published file an index entry names.
  std::wstring published_copy(const json& entry) const {
    return published_copy_path(paths_.output, entry["r"].get<std::string>());
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
  std::function<void(const std::string&)> progress_;
  std::function<void(const std::wstring&)> read_observer_;
  uint64_t block_size_ = packed_block_size;
  bool unsigned_allowed_ = false;
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
      {R"({"maker":{"gameupdate":-1,"packer":{"optimize":false,"minsize":1}}})",
       "Exception: maker.gameupdate must be a whole number from 0 to 4294967295\n"},
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

TEST(MakerConfig, Threads) {
  json config = default_config_document("g");
  EXPECT_EQ(config["maker"]["packer"]["threads"], 0);  // every hardware thread
  EXPECT_EQ(read_maker_settings(config).threads, 0u);
  config["maker"]["packer"]["threads"] = 3;
  EXPECT_EQ(read_maker_settings(config).threads, 3u);
  // A configuration from before the setting: the machine's choice, and
  // nothing added to it that a save would write.
  config["maker"]["packer"].erase("threads");
  EXPECT_EQ(read_maker_settings(config).threads, 0u);
  EXPECT_FALSE(config["maker"]["packer"].contains("threads"));
  for (const json& bad : {json(-1), json(2.5), json("4"), json(1025), json(nullptr)}) {
    config["maker"]["packer"]["threads"] = bad;
    EXPECT_THROW(read_maker_settings(config), std::out_of_range) << bad.dump();
  }

  // One coder's worth of memory per thread, at least one thread.
  EXPECT_EQ(default_thread_count(8, 0), 8u);
  EXPECT_EQ(default_thread_count(8, 3 * memory_per_thread + 1), 3u);
  EXPECT_EQ(default_thread_count(8, memory_per_thread / 2), 1u);
  EXPECT_EQ(default_thread_count(0, 0), 1u);
  EXPECT_EQ(default_thread_count(2, 64 * memory_per_thread), 2u);
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
// Chunked files

// Checks a published file's chunk map against the input and the published
// file: the chunker's cuts of the input, each chunk's SHA-256, and each
// range decoding on its own (packed) or holding the chunk (copied).
void expect_map_matches(const maker_dir& d, const json& entry, const std::string& input) {
  ASSERT_TRUE(entry.contains("m")) << entry.dump();
  const std::wstring map_path =
      published_copy_path(d.paths().output, entry["m"].get<std::string>());
  const std::string map_bytes = read_file(map_path);
  EXPECT_EQ(entry["m_size"], map_bytes.size());
  Sha1Context context;
  byte_buffer buffer;
  EXPECT_EQ(entry["m_sha1"], file_digest(map_path, context, buffer));
  chunk_map map;
  std::string why;
  ASSERT_TRUE(parse_chunk_map(map_bytes, map, &why)) << why;
  const bool packed = entry.contains("r_pack");
  EXPECT_EQ(map.header.form, packed ? published_form::packed : published_form::copied);
  EXPECT_EQ(map.header.file_size, input.size());
  EXPECT_EQ(map.header.published_size, entry["r_size"]);
  const std::string published = read_file(d.published_copy(entry));
  size_t at = 0;
  std::vector<found_chunk> cuts;
  ASSERT_TRUE(chunk_stream(
      [&](uint8_t* bytes, uint32_t room, uint32_t& got) {
        got = static_cast<uint32_t>(std::min<size_t>(room, input.size() - at));
        std::copy(input.begin() + at, input.begin() + at + got, bytes);
        at += got;
        return true;
      },
      map.header.sizes,
      [&cuts](const found_chunk& c) {
        cuts.push_back(c);
        return true;
      }));
  ASSERT_EQ(map.chunks.size(), cuts.size());
  for (size_t k = 0; k < cuts.size(); ++k) {
    const chunk_entry& c = map.chunks[k];
    EXPECT_EQ(c.offset, cuts[k].offset);
    EXPECT_EQ(c.length, cuts[k].length);
    EXPECT_EQ(std::string(c.sha256, c.sha256 + 32),
              std::string(cuts[k].sha256, cuts[k].sha256 + 32));
    const std::string range = published.substr(c.published_offset, c.published_length);
    std::string chunk;
    if (packed) {
      size_t given = 0;
      EXPECT_EQ(unpack_piece(
                    [&](uint8_t* bytes, uint32_t room, uint32_t& got) {
                      got = static_cast<uint32_t>(std::min<size_t>(room, range.size() - given));
                      std::copy(range.begin() + given, range.begin() + given + got, bytes);
                      given += got;
                      return true;
                    },
                    range.size(), c.length,
                    [&chunk](const uint8_t* bytes, size_t n) {
                      chunk.append(reinterpret_cast<const char*>(bytes), n);
                      return true;
                    }),
                packed_ok)
          << k;
    } else {
      chunk = range;
    }
    EXPECT_TRUE(chunk == input.substr(c.offset, c.length)) << k;
  }
}

TEST(MakerChunks, ALargeFileIsCutIntoPiecesWithAMapBesideIt) {
  maker_dir d;
  d.configure(0);
  d.set_packer("chunk_size", 4096);  // files of 16 KiB and more are cut
  d.set_packer("threads", 2);
  d.block_size(64u << 10);  // several groups of chunks
  const std::string big =
      random_bytes(200000, 71, true) + random_bytes(60000, 72) + random_bytes(90000, 73, true);
  const std::string noise = random_bytes(50000, 74);
  write_file(d.in(L"Data\\Big.pak"), big);
  write_file(d.in(L"Data\\Noise.bin"), noise);  // packs badly: copied, its map says so
  write_file(d.in(L"Data\\Small.txt"), random_bytes(16383, 75, true));
  ASSERT_TRUE(d.run());

  const json packed = d.entry(1, "Data\\Big.pak");
  EXPECT_EQ(packed["r"], "1/data/big.pak.lzma2");
  EXPECT_EQ(packed["m"], "1/data/big.pak.lzma2.chunkmap");
  ASSERT_EQ(unpack_file(d.published_copy(packed), d.out(L"check")), packed_ok);
  EXPECT_TRUE(read_file(d.out(L"check")) == big);
  expect_map_matches(d, packed, big);
  const json copied = d.entry(1, "Data\\Noise.bin");
  EXPECT_EQ(copied["r"], "1/data/noise.bin");
  EXPECT_EQ(copied["m"], "1/data/noise.bin.chunkmap");
  expect_map_matches(d, copied, noise);
  EXPECT_FALSE(d.entry(1, "Data\\Small.txt").contains("m"));

  // Reused with its map; a map that went missing publishes the file again.
  ASSERT_TRUE(d.run());
  EXPECT_TRUE(d.printed("Using cached: 1/data/big.pak.lzma2\n"));
  ASSERT_TRUE(delete_file(d.out(L"1\\data\\big.pak.lzma2.chunkmap")));
  write_file(d.out(L"1\\data\\noise.bin.chunkmap"), "altered");
  ASSERT_TRUE(d.run());
  EXPECT_TRUE(d.printed("Checksum mismatch for output file: " +
                        wide_to_utf8(d.out(L"1\\data\\big.pak.lzma2.chunkmap")) + "\n"));
  EXPECT_TRUE(d.printed("Checksum mismatch for output file: " +
                        wide_to_utf8(d.out(L"1\\data\\noise.bin.chunkmap")) + "\n"));
  expect_map_matches(d, d.entry(2, "Data\\Big.pak"), big);
  expect_map_matches(d, d.entry(2, "Data\\Noise.bin"), noise);

  // Chunking off: packed whole, as before maps.
  d.set_packer("chunk_size", 0);
  write_file(d.in(L"Data\\Big.pak"), big + "more");
  ASSERT_TRUE(d.run());
  EXPECT_FALSE(d.entry(3, "Data\\Big.pak").contains("m"));
  for (const json& bad : {json(3000), json(8u << 20), json(-4096), json("4096")}) {
    d.set_packer("chunk_size", bad);
    EXPECT_FALSE(d.run()) << bad;
    EXPECT_EQ(d.lines().size(), 1u);
  }
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

TEST_F(MakerRuns, UnchangedTreeIsReusedAndNoDocumentRewritten) {
  std::string index = read_file(d.out(L"5\\index.json"));
  std::string config = read_file(d.paths().config);
  const std::wstring documents[] = {d.out(L"version.json"), d.out(L"5\\index.json"),
                                    d.out(L"5\\index.json.lzma2")};
  file_identity before[3];
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(file_identity_of(documents[i], before[i]));
  ASSERT_TRUE(d.run());
  for (int i = 0; i < 3; ++i) {
    file_identity after;
    ASSERT_TRUE(file_identity_of(documents[i], after));
    EXPECT_EQ(after, before[i]) << wide_to_utf8(documents[i]);
  }
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
  // One thread, and the stop set while the second file is read, so that
  // exactly two are published (the script test stops a run of several
  // threads).
  d.set_packer("threads", 1);
  std::atomic<bool> stop{false};
  for (const wchar_t* name : {L"n1.txt", L"n2.txt", L"n3.txt"}) write_file(d.in(name), "new");
  ASSERT_TRUE(delete_file(d.out(L"5\\readme.txt")));  // forces one more publication
  std::set<std::wstring> read;
  d.read_observer([&](const std::wstring& path) {
    read.insert(path);
    if (read.size() == 2) stop = true;
  });
  ASSERT_TRUE(d.run(&stop));
  d.read_observer(nullptr);
  const size_t processed = d.count_prefix("Processing: ");
  EXPECT_EQ(processed, 2u);
  EXPECT_TRUE(d.printed("Saving config file.\n"));
  EXPECT_FALSE(d.printed("Saving update index.\n"));
  EXPECT_FALSE(d.printed("Finished!\n\n"));
  EXPECT_EQ(d.gameupdate(), 6u);
  EXPECT_FALSE(path_exists(d.out(L"6\\index.json")));
  EXPECT_EQ(read_file(d.out(L"version.json")), "{\"gameupdate\":5}\n");
  json partial = d.document(d.paths().cache);
  EXPECT_GE(partial.size(), processed);
  EXPECT_LT(partial.size(), 7u);

  ASSERT_TRUE(d.run());
  EXPECT_EQ(d.gameupdate(), 7u);
  json files = d.index(7)["files"];
  EXPECT_EQ(files.size(), 7u);
  std::map<uint32_t, size_t> by_version;
  for (const auto& e : files) ++by_version[e["u"].get<uint32_t>()];
  // Whatever the stopped run published it published under 6 and is reused.
  EXPECT_EQ(by_version[6], processed);
  EXPECT_EQ(by_version[5] + by_version[7], 7 - processed);
  EXPECT_EQ(d.count_prefix("Using cached: 6/"), processed);
  EXPECT_TRUE(d.printed("Current game update version: 7\n"));
}

// Every byte a run leaves (documents, published files, cache, console
// lines) is the same for one thread and for several, with files side by side
// and files of several blocks, one of them an exact multiple of the block.
TEST(MakerThreads, OutputDoesNotDependOnTheThreadCount) {
  maker_dir d;
  const uint64_t block = 256u << 10;
  for (int i = 0; i < 7; ++i) {
    write_file(d.in(L"Data\\file" + std::to_wstring(i) + L".txt"),
               random_bytes(20000 + 5000 * i, 40 + i, true));
  }
  write_file(d.in(L"Data\\small.txt"), "small");
  // New directories below a new one, made by several threads at once.
  for (int i = 0; i < 6; ++i) {
    write_file(d.in(L"Maps\\Area " + std::to_wstring(i) + L"\\map.dat"),
               random_bytes(20000, 60 + i, true));
  }
  const std::string big = random_bytes(5 * block + 12345, 50, true);
  write_file(d.in(L"Big.pak"), big);
  write_file(d.in(L"Exact.pak"), random_bytes(2 * block, 51, true));
  write_file(d.in(L"Noise.bin"), random_bytes(3 * block, 52));  // packs badly: copied

  std::map<std::wstring, std::string> first;
  std::vector<std::string> first_lines;
  for (const uint32_t threads : {1u, 2u, 3u}) {
    SCOPED_TRACE(threads);
    remove_directory_tree(d.paths().output, true);
    delete_file(d.paths().cache);
    d.configure(0, true, 100);
    d.set_packer("threads", threads);
    d.block_size(block);
    ASSERT_TRUE(d.run());
    std::map<std::wstring, std::string> tree;
    for (const auto& file : list_files(d.paths().output, true, L"*.*")) {
      tree[file] = read_file(file);
    }
    tree[d.paths().cache] = read_file(d.paths().cache);
    if (threads == 1) {
      first = tree;
      first_lines = d.lines();
      continue;
    }
    EXPECT_EQ(d.lines(), first_lines);
    ASSERT_EQ(tree.size(), first.size());
    for (const auto& file : first) {
      EXPECT_TRUE(tree[file.first] == file.second) << wide_to_utf8(file.first);
    }
  }
  const json entry = d.entry(1, "Big.pak");
  ASSERT_EQ(entry["r_pack"], "lzma2");
  const std::wstring copy = d.published_copy(entry);
  ASSERT_EQ(unpack_file(copy, d.out(L"check")), packed_ok);
  EXPECT_TRUE(read_file(d.out(L"check")) == big);
  Sha1Context context;
  byte_buffer buffer;
  EXPECT_EQ(entry["l_sha1"], file_digest(d.in(L"Big.pak"), context, buffer));
  EXPECT_FALSE(d.entry(1, "Noise.bin").contains("r_pack"));
}

TEST(MakerProgress, Line) {
  progress_counts c;
  c.files = 340;
  c.bytes = 20480000000ull;
  EXPECT_EQ(progress_text(c, 5), "0/340 files, 0.00/20.48 GB");
  c.files_done = 12;
  c.bytes_done = 1230000000;
  c.bytes_worked = 380000000;  // the rest was reused
  EXPECT_EQ(progress_text(c, 100), "12/340 files, 1.23/20.48 GB, 3.8 MB/s, 1:24:26 left");
  c.bytes = 900000;
  c.bytes_done = c.bytes_worked = 450000;
  EXPECT_EQ(progress_text(c, 2), "12/340 files, 0.5/0.9 MB, 0.2 MB/s, 0:02 left");

  std::vector<std::string> shown;
  {
    progress_line line([&shown](const std::string& text) { shown.push_back(text); });
    c.files_done = 100;
    line.draw(c);
    EXPECT_TRUE(progress_line_shown());
    c.files_done = 9;
    line.draw(c);  // shorter: blanks over the rest
  }
  EXPECT_FALSE(progress_line_shown());  // erased at its end
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0].substr(0, 5), "\r100/");
  EXPECT_EQ(shown[1].size(), shown[0].size());
  EXPECT_EQ(shown[1].back(), ' ');
  // The erase covers the text on screen (the blanks after it are blank already).
  EXPECT_EQ(shown[2], "\r" + std::string(shown[0].size() - 3, ' ') + "\r");
  progress_line none(nullptr);
  none.draw(c);
  none.erase();
}

TEST(MakerProgress, ARunCountsEveryFileAndByteOnce) {
  maker_dir d;
  d.configure();
  uint64_t total = 0;
  for (int i = 0; i < 40; ++i) {
    // A few large ones still being read while small ones are taken.
    const size_t size = i % 10 == 0 ? 3000000 : 1000 + 37 * i;
    write_file(d.in(format_wide(L"f%02d.bin", i)),
               std::string(size, static_cast<char>('a' + i % 7)));
    total += size;
  }
  std::vector<std::string> shown;
  d.progress([&shown](const std::string& text) { shown.push_back(text); });
  ASSERT_TRUE(d.run());
  unsigned files_before = 0;
  std::string last;
  for (const std::string& text : shown) {
    unsigned files = 0, all = 0;
    double done = 0, bytes = 0;
    if (std::sscanf(text.c_str(), "\r%u/%u files, %lf/%lf MB", &files, &all, &done, &bytes) != 4) {
      continue;  // an erase
    }
    EXPECT_EQ(all, 40u);
    EXPECT_GE(files, files_before);
    EXPECT_LE(done, bytes) << text;
    files_before = files;
    last = text;
  }
  const std::string end = format_narrow("\r40/40 files, %.1f/%.1f MB", total / 1e6, total / 1e6);
  EXPECT_EQ(last.substr(0, end.size()), end);
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

  // The next update's directory cannot be made: the new files fail, and as
  // nothing was published anew the version stays and update 1 is rewritten
  // as it was.
  write_file(d.out(L"2"), "in the way");
  write_file(d.in(L"new.txt"), "new");
  write_file(d.in(L"new.pak"), std::string(20000, 'x'));
  EXPECT_TRUE(d.run());
  EXPECT_TRUE(d.printed("Using cached: 1/keep.txt\n"));
  EXPECT_TRUE(d.printed("!!! Error copy: " + wide_to_utf8(d.in(L"new.txt")) + "\n"));
  EXPECT_TRUE(
      d.printed("!!! Error packing file: " + wide_to_utf8(d.in(L"new.pak")) + " (Code: 5)\n"));
  EXPECT_TRUE(d.printed("No update detected.\n"));
  EXPECT_FALSE(d.printed("Saving config file.\n"));
  EXPECT_EQ(d.gameupdate(), 1u);
  EXPECT_EQ(read_file(d.out(L"version.json")), "{\"gameupdate\":1}\n");
  EXPECT_EQ(read_file(d.out(L"1\\index.json")), index1);
  EXPECT_TRUE(file_exists(d.out(L"1\\keep.txt")));

  // Once the way is clear the failed files go out under the next number.
  ASSERT_TRUE(delete_file(d.out(L"2")));
  ASSERT_TRUE(d.run());
  EXPECT_EQ(d.entry(2, "new.txt")["r"], "2/new.txt");
  EXPECT_EQ(d.entry(2, "keep.txt")["r"], "1/keep.txt");
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

// Sizes are 64-bit everywhere: a file past 4 GiB (a hole, quick to pack) is
// published with its whole size. Reading 4 GiB takes minutes under the
// sanitizers and Wine; there tests/maker/maker_tool_test.py covers it.
TEST(MakerRunsEdge, FileOf4GiBOrMoreIsPublishedWhole) {
#if defined(_WIN32) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "4 GiB are read too slowly in this build";
#endif
  maker_dir d;
  d.configure(0);
  write_file(d.in(L"small.txt"), "small");
  const uint64_t size = (uint64_t(1) << 32) + 5;
  ASSERT_TRUE(test::make_sized_file(d.in(L"huge.pak"), size));
  ASSERT_TRUE(d.run());
  const json entry = d.entry(1, "huge.pak");
  ASSERT_TRUE(entry.is_object()) << testing::PrintToString(d.lines());
  EXPECT_EQ(entry["l_size"], size);
  uint64_t published = 0, time = 0;
  ASSERT_TRUE(query_file_info(d.published_copy(entry), published, time));
  EXPECT_EQ(entry["r_size"], published);
  chunk_map map;
  ASSERT_TRUE(parse_chunk_map(
      read_file(published_copy_path(d.paths().output, entry["m"].get<std::string>())), map));
  EXPECT_EQ(map.header.file_size, size);
  // Reused as it is by the next run.
  ASSERT_TRUE(d.run());
  EXPECT_TRUE(d.printed("Using cached: 1/huge.pak.lzma2\n"));
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

// ---------------------------------------------------------------------------
// What a publisher's tree throws at the maker

// Every entry of an index, by its "l".
std::map<std::string, json> entries_by_name(const json& index) {
  std::map<std::string, json> out;
  for (const auto& e : index["files"]) out[e["l"].get<std::string>()] = e;
  return out;
}

TEST(MakerHardening, NamesThatWouldShareAPublishedNameLeaveOutTheLaterOne) {
  maker_dir d;
  d.configure(0);
  write_file(d.in(L"x"), "the file");
  write_file(d.in(L"x.lzma2"), "a file named like the packed form of the other");
  write_file(d.in(L"index.json"), "a game file named like the update index");
  write_file(d.in(L"Sub\\index.json"), "fine below the top");
  std::vector<std::pair<std::wstring, std::wstring>> pairs = {{L"x", L"x.lzma2"}};
#ifndef _WIN32
  // Case pairs exist on POSIX only; every launcher's disk holds one of them.
  write_file(d.in(L"Data\\A.txt"), "upper");
  write_file(d.in(L"data\\a.txt"), "lower");
  write_file(d.in(L"\x0414.txt"), "Cyrillic upper");
  write_file(d.in(L"\x0434.txt"), "Cyrillic lower");
  pairs.push_back({L"Data\\A.txt", L"data\\a.txt"});
  pairs.push_back({L"\x0414.txt", L"\x0434.txt"});
#endif
  ASSERT_TRUE(d.run());
  std::map<std::string, json> files = entries_by_name(d.index(1));
  for (const auto& pair : pairs) {
    SCOPED_TRACE(wide_to_utf8(pair.first));
    // Whichever the listing gave first is published; the line names both.
    const bool first_won = files.count(wide_to_utf8(pair.first)) > 0;
    const std::wstring& kept = first_won ? pair.first : pair.second;
    const std::wstring& left = first_won ? pair.second : pair.first;
    EXPECT_EQ(files.count(wide_to_utf8(left)), 0u);
    EXPECT_TRUE(d.printed(name_collision_line(d.in(left), d.in(kept))));
    EXPECT_EQ(read_file(d.published_copy(files[wide_to_utf8(kept)])), read_file(d.in(kept)));
  }
  EXPECT_TRUE(d.printed(name_collision_line(d.in(L"index.json"), L"the update index")));
  EXPECT_EQ(files.count("index.json"), 0u);
  EXPECT_EQ(files.count("Sub\\index.json"), 1u);
  EXPECT_EQ(d.index(1)["files"].size(), files.size());
  EXPECT_TRUE(d.index(1)["config"].is_object());  // the index is the maker's own

  // Nothing keeps changing: the next run reuses all and raises nothing.
  const std::string index = read_file(d.out(L"1\\index.json"));
  ASSERT_TRUE(d.run());
  EXPECT_EQ(d.count_prefix("Processing: "), 0u);
  EXPECT_TRUE(d.printed("No update detected.\n"));
  EXPECT_EQ(d.gameupdate(), 1u);
  EXPECT_EQ(read_file(d.out(L"1\\index.json")), index);
}

#ifndef _WIN32

// Makes a file or directory of a raw POSIX name below `directory`.
void make_raw(const std::wstring& directory, const std::string& name, bool as_directory) {
  const std::string path = native_path(directory) + "/" + name;
  if (as_directory) {
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
    return;
  }
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, "x", 1), 1);
  close(fd);
}

TEST(MakerHardening, NamesNoLauncherCanInstallAreLeftOut) {
  maker_dir d;
  d.configure(0);
  write_file(d.in(L"good.txt"), "good");
  const std::wstring in = d.paths().input;
  struct bad {
    std::string name;
    std::wstring shown;
    std::wstring reason;
  };
  const bad files[] = {
      {"caf\xE9.txt", L"caf\\xE9.txt", L"name not valid UTF-8"},
      {"back\\slash.txt", L"back\\slash.txt", L"backslash in name"},
      {"con.txt", L"con.txt", L"reserved device name"},
      {"LPT9", L"LPT9", L"reserved device name"},
      {"trailing.", L"trailing.", L"name ends in a dot or a blank"},
      {"trailing ", L"trailing ", L"name ends in a dot or a blank"},
      {"what?.txt", L"what?.txt", L"character that Windows names cannot hold"},
      {"a:b", L"a:b", L"character that Windows names cannot hold"},
      {"line\nfeed", L"line\\x0Afeed", L"control character in name"},
  };
  for (const auto& f : files) make_raw(in, f.name, false);
  // A directory of such a name is left out whole, with one line.
  make_raw(in, "aux", true);
  write_file(d.in(L"aux\\inside.txt"), "never listed");
  ASSERT_TRUE(d.run());
  for (const auto& f : files) {
    EXPECT_TRUE(d.printed(bad_name_line(in + L"\\" + f.shown, f.reason))) << wide_to_utf8(f.shown);
  }
  EXPECT_TRUE(d.printed(bad_name_line(d.in(L"aux"), L"reserved device name")));
  EXPECT_EQ(d.count_prefix("!!! "), sizeof files / sizeof files[0] + 1);
  EXPECT_EQ(d.index(1)["files"].size(), 1u);
  EXPECT_EQ(d.index(1)["files"][0]["l"], "good.txt");
}

// Removes the links a test made before its directory is removed: the
// fixture's tree removal would follow them.
class link_cleanup {
 public:
  ~link_cleanup() {
    for (const auto& link : links_) unlink(link.c_str());
  }
  void make(const std::string& target, const std::wstring& link) {
    links_.push_back(native_path(link));
    ASSERT_EQ(symlink(target.c_str(), links_.back().c_str()), 0) << links_.back();
  }

 private:
  std::vector<std::string> links_;
};

TEST(MakerHardening, DirectoryLinksAreNotFollowedFileLinksArePublished) {
  maker_dir d;
  d.configure(0);
  link_cleanup links;
  write_file(d.in(L"sub\\real.txt"), "real");
  write_file(d.paths().input + L"-elsewhere.txt", "outside input");
  links.make(".", d.in(L"self"));
  links.make("..", d.in(L"up"));
  links.make("..", d.in(L"sub\\back"));
  links.make(native_path(d.paths().input + L"-elsewhere.txt"), d.in(L"sub\\linked.txt"));
  ASSERT_TRUE(d.run());
  for (const wchar_t* link : {L"self", L"up", L"sub\\back"}) {
    EXPECT_TRUE(d.printed(directory_link_line(d.in(link)))) << wide_to_utf8(link);
  }
  std::map<std::string, json> files = entries_by_name(d.index(1));
  EXPECT_EQ(files.size(), 2u);
  ASSERT_EQ(files.count("sub\\linked.txt"), 1u);
  EXPECT_EQ(read_file(d.published_copy(files["sub\\linked.txt"])), "outside input");
  EXPECT_EQ(files.count("sub\\real.txt"), 1u);
}

TEST(MakerHardening, AFileThatChangesWhilePublishedIsNotPublished) {
  // Same size, same last-write time afterwards: only the change time (and
  // the bytes) tell. Once while it is copied, once while it is packed, once
  // while its blocks are packed on several threads.
  for (const wchar_t* name : {L"small.txt", L"packed.bin", L"blocks.bin"}) {
    SCOPED_TRACE(wide_to_utf8(name));
    maker_dir d;
    d.configure(0);
    d.set_packer("threads", 3);
    d.block_size(64u << 10);
    write_file(d.in(L"steady.txt"), "steady");
    write_file(d.in(L"small.txt"), "small");
    write_file(d.in(L"packed.bin"), random_bytes(40000, 31, true));
    write_file(d.in(L"blocks.bin"), random_bytes(300000, 32, true));
    const std::wstring target = d.in(name);
    uint64_t size = 0, time = 0;
    ASSERT_TRUE(get_file_size_and_time(target, size, time));
    std::atomic<bool> changed{false};
    d.read_observer([&](const std::wstring& path) {
      if (path != target || changed.exchange(true)) return;
      std::string bytes = read_file(path);
      bytes[0] ^= 1;
      const int fd = open(native_path(path).c_str(), O_WRONLY);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
      close(fd);
      ASSERT_TRUE(test::set_file_time(path, time));
    });
    ASSERT_TRUE(d.run());
    EXPECT_TRUE(changed);
    EXPECT_TRUE(d.printed("!!! File changed while publishing: " + wide_to_utf8(target) + "\n"));
    std::map<std::string, json> files = entries_by_name(d.index(1));
    EXPECT_EQ(files.size(), 3u);
    EXPECT_EQ(files.count(wide_to_utf8(name)), 0u);
    EXPECT_EQ(d.document(d.paths().cache).count(wide_to_utf8(name)), 0u);

    // Left for the next run, which publishes it as it now is.
    d.read_observer(nullptr);
    ASSERT_TRUE(d.run());
    EXPECT_TRUE(d.printed("Processing: " + wide_to_utf8(name) + "\n"));
    json entry = d.entry(2, wide_to_utf8(name));
    ASSERT_TRUE(entry.is_object());
    const std::wstring copy = d.published_copy(entry);
    if (entry.contains("r_pack")) {
      ASSERT_EQ(unpack_file(copy, copy + L".check"), packed_ok);
      EXPECT_TRUE(read_file(copy + L".check") == read_file(target));
      delete_file(copy + L".check");
    } else {
      EXPECT_EQ(read_file(copy), read_file(target));
    }
  }
}

TEST(MakerHardening, FilesThatKeepFailingDoNotMoveTheVersion) {
  maker_dir d;
  d.configure(0);
  link_cleanup links;
  write_file(d.in(L"good.txt"), "good");
  ASSERT_TRUE(d.run());
  ASSERT_EQ(d.gameupdate(), 1u);

  links.make("/nonexistent/target", d.in(L"gone.txt"));
  ASSERT_EQ(mkfifo(native_path(d.in(L"pipe")).c_str(), 0600), 0);
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    ASSERT_TRUE(d.run());
    EXPECT_TRUE(d.printed("!!! Error copy: " + wide_to_utf8(d.in(L"gone.txt")) + "\n"));
    EXPECT_TRUE(d.printed("!!! Error copy: " + wide_to_utf8(d.in(L"pipe")) + "\n"));
    EXPECT_TRUE(d.printed("No update detected.\n"));
    EXPECT_FALSE(d.printed("Saving config file.\n"));
    EXPECT_EQ(d.gameupdate(), 1u);
    EXPECT_EQ(d.index(1)["files"].size(), 1u);
  }
}

#endif  // !_WIN32

TEST(MakerHardening, AConfigurationBehindItsOutputIsRefused) {
  maker_dir d;
  d.configure(0);
  write_file(d.in(L"a.txt"), "a");
  ASSERT_TRUE(d.run());
  write_file(d.in(L"a.txt"), "changed");
  ASSERT_TRUE(d.run());
  ASSERT_EQ(d.gameupdate(), 2u);

  // A config.json restored from before the second run.
  d.configure(1);
  write_file(d.in(L"b.txt"), "new");
  const std::string config = read_file(d.paths().config);
  const std::string cache = read_file(d.paths().cache);
  const std::vector<std::wstring> output = list_files(d.paths().output, true, L"*.*");
  EXPECT_FALSE(d.run());
  ASSERT_EQ(d.lines().size(), 1u);
  EXPECT_EQ(d.lines()[0],
            "Exception: " + wide_to_utf8(d.out(L"version.json")) +
                " announces game update 2, but maker.gameupdate in config.json is 1: restore the "
                "config.json and cache.json of the run that published update 2 (or set "
                "maker.gameupdate to 2) and start the tool again\n");
  EXPECT_EQ(read_file(d.paths().config), config);
  EXPECT_EQ(read_file(d.paths().cache), cache);
  EXPECT_EQ(list_files(d.paths().output, true, L"*.*"), output);
  EXPECT_EQ(read_file(d.out(L"version.json")), "{\"gameupdate\":2}\n");

  // Level with its output it runs.
  d.configure(2);
  ASSERT_TRUE(d.run());
  EXPECT_EQ(d.gameupdate(), 3u);
}

TEST(MakerHardening, LeftoversOfAKilledRunAreNeverUploaded) {
  maker_dir d;
  d.configure(0);
  write_file(d.in(L"a.txt"), "a");
  // What a run that was killed half-way leaves in the directory of
  // temporaries.
  write_file(d.out(L".partial\\7.part"), "half a file");
  ASSERT_TRUE(d.run());  // checks that nothing of it is left
  EXPECT_EQ(d.index(1)["files"].size(), 1u);
}

#ifndef _WIN32

TEST(MakerHardening, TheCacheIsSavedOnlyWithTheConfiguration) {
  maker_dir d;
  d.configure(0);
  write_file(d.in(L"a.txt"), "a");
  ASSERT_TRUE(d.run());
  const std::string config = read_file(d.paths().config);
  const std::string cache = read_file(d.paths().cache);

  // Removing the file makes an update; the configuration (some hundred
  // bytes) cannot be written, the cache of that run ("null") could be.
  ASSERT_TRUE(delete_file(d.in(L"a.txt")));
  signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 64;
  setrlimit(RLIMIT_FSIZE, &small);
  const bool ok = d.run();
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(d.printed("Saving config file.\n"));
  EXPECT_TRUE(d.printed("!!! Error writing file: " + wide_to_utf8(d.paths().config) + "\n"));
  EXPECT_EQ(read_file(d.paths().config), config);
  EXPECT_EQ(read_file(d.paths().cache), cache);
  EXPECT_FALSE(path_exists(d.out(L"2")));
}

TEST(MakerHardening, LinkedConfigurationAndCacheAreWrittenThrough) {
  maker_dir d;
  d.configure(0);
  write_file(d.in(L"a.txt"), "a");
  ASSERT_TRUE(d.run());
  // Both kept elsewhere, private, and linked in.
  link_cleanup links;
  const std::wstring keep = d.paths().input + L"-kept";
  for (const std::wstring* path : {&d.paths().config, &d.paths().cache}) {
    const std::wstring target = join_path(keep, file_name_of(*path));
    write_file(target, read_file(*path));
    ASSERT_EQ(chmod(native_path(target).c_str(), 0600), 0);
    ASSERT_TRUE(delete_file(*path));
    links.make(native_path(target), *path);
  }
  write_file(d.in(L"b.txt"), "b");
  ASSERT_TRUE(d.run());
  EXPECT_EQ(d.gameupdate(), 2u);
  for (const std::wstring* path : {&d.paths().config, &d.paths().cache}) {
    struct stat st;
    ASSERT_EQ(lstat(native_path(*path).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << wide_to_utf8(*path);
    ASSERT_EQ(stat(native_path(*path).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << wide_to_utf8(*path);
  }
  EXPECT_EQ(d.document(d.paths().cache).size(), 2u);
  EXPECT_TRUE(list_files(keep, false, L"*.*").size() == 2u);  // no temporary left beside
  test::remove_tree(keep);
}

#endif  // !_WIN32

// ---------------------------------------------------------------------------
// Signing

// Makes a key pair beside the maker and returns its public key (raw bytes).
std::string make_keys(const maker_dir& d) {
  std::vector<std::string> lines;
  EXPECT_TRUE(
      generate_signing_keys(d.paths(), [&](const std::string& line) { lines.push_back(line); }));
  std::string public_key;
  EXPECT_TRUE(parse_hex(read_file(d.paths().signing_public), signing_public_key_bytes, public_key));
  const std::string shown = "Public key: " + hex_text(public_key) + "\n";
  EXPECT_NE(std::find(lines.begin(), lines.end(), shown), lines.end());
  return public_key;
}

// `index_of`: the document is that update's index, signed with its number.
bool signed_by(const std::wstring& document, const std::string& public_key,
               const uint32_t* index_of = nullptr) {
  if (!file_exists(document + L".sig")) return false;
  const std::string bytes = read_file(document);
  return verify_detached(index_of ? index_signed_message(*index_of, bytes) : bytes,
                         read_file(document + L".sig"), public_key);
}

TEST(MakerSigning, KeyPairIsPrivateAndNeverOverwritten) {
  maker_dir d;
  const std::string public_key = make_keys(d);
  const std::string secret = read_file(d.paths().signing_key);
  std::string secret_key;
  ASSERT_EQ(load_signing_key(d.paths().signing_key, secret_key), signing_key_state::loaded);
  EXPECT_EQ(secret_key.substr(32), public_key);
#ifndef _WIN32
  struct stat st;
  ASSERT_EQ(stat(native_path(d.paths().signing_key).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
  // A second pair would lock out every launcher built with the first.
  std::vector<std::string> lines;
  const auto say = [&](const std::string& line) { lines.push_back(line); };
  EXPECT_FALSE(generate_signing_keys(d.paths(), say));
  EXPECT_EQ(read_file(d.paths().signing_key), secret);
  ASSERT_TRUE(delete_file(d.paths().signing_key));
  EXPECT_FALSE(generate_signing_keys(d.paths(), say));  // the public half alone blocks it too
  EXPECT_FALSE(path_exists(d.paths().signing_key));
  EXPECT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("!!! ", 0), 0u);
}

TEST(MakerSigning, SignedRunBindsEveryFileBySha256) {
  maker_dir d;
  d.configure(4, true, 100);
  const std::string packable = random_bytes(5000, 1, true);
  const std::string plain = "small";
  write_file(d.in(L"data\\packed.bin"), packable);
  write_file(d.in(L"data\\plain.txt"), plain);
  write_file(d.in(L"empty.bin"), "");
  const std::string public_key = make_keys(d);
  ASSERT_TRUE(d.run());
  const uint32_t five = 5, six = 6;
  EXPECT_TRUE(signed_by(d.out(L"5\\index.json"), public_key, &five));
  // Not valid for any other number, nor as bytes alone.
  EXPECT_FALSE(signed_by(d.out(L"5\\index.json"), public_key, &six));
  EXPECT_FALSE(signed_by(d.out(L"5\\index.json"), public_key));
  EXPECT_TRUE(signed_by(d.out(L"version.json"), public_key));

  const json packed = d.entry(5, "data\\packed.bin");
  ASSERT_EQ(packed["r_pack"], "lzma2");
  EXPECT_EQ(packed["l_sha256"], sha256_text(packable));
  EXPECT_EQ(packed["r_sha256"], sha256_text(read_file(d.published_copy(packed))));
  const json small = d.entry(5, "data\\plain.txt");
  EXPECT_EQ(small["l_sha256"], sha256_text(plain));
  EXPECT_FALSE(small.contains("r_sha256"));
  EXPECT_EQ(d.entry(5, "empty.bin")["l_sha256"], sha256_text(""));

  // The cache carries the digests: an unchanged tree is reused whole and
  // signed again with the same bytes.
  const std::string signature = read_file(d.out(L"5\\index.json.sig"));
  ASSERT_TRUE(d.run());
  EXPECT_EQ(d.count_prefix("Using cached: "), 3u);
  EXPECT_EQ(d.count_prefix("Processing: "), 0u);
  EXPECT_EQ(read_file(d.out(L"5\\index.json.sig")), signature);

  // Without the key nothing is published over the signed update unless the
  // publisher asks for it; then no signature is lost either.
  ASSERT_TRUE(delete_file(d.paths().signing_key));
  write_file(d.in(L"new.txt"), "n");
  const std::string version_signature = read_file(d.out(L"version.json.sig"));
  EXPECT_FALSE(d.run());
  EXPECT_TRUE(d.printed("!!! The published update is signed, but " +
                        wide_to_utf8(d.paths().signing_key) +
                        " is missing: put the signing key beside the tool, or start it with "
                        "-unsigned to publish unsigned from now on\n"));
  EXPECT_EQ(d.gameupdate(), 5u);
  EXPECT_EQ(read_file(d.out(L"version.json")), "{\"gameupdate\":5}\n");
  d.allow_unsigned(true);
  ASSERT_TRUE(d.run());
  EXPECT_EQ(read_file(d.out(L"version.json")), "{\"gameupdate\":6}\n");
  EXPECT_EQ(read_file(d.out(L"version.json.sig")), version_signature);
  EXPECT_EQ(read_file(d.out(L"5\\index.json.sig")), signature);
  EXPECT_FALSE(d.entry(6, "new.txt").contains("l_sha256"));
  // From then on the publication is recorded as unsigned.
  d.allow_unsigned(false);
  write_file(d.in(L"newer.txt"), "n");
  EXPECT_TRUE(d.run());
}

TEST(MakerSigning, EntriesOfAnUnsignedRunAreRepublishedOnceSigned) {
  maker_dir d;
  d.configure(4, true, 100);
  write_file(d.in(L"a.txt"), "aaa");
  ASSERT_TRUE(d.run());
  const std::string public_key = make_keys(d);
  ASSERT_TRUE(d.run());
  EXPECT_EQ(d.count_prefix("Processing: "), 1u);
  EXPECT_EQ(d.entry(6, "a.txt")["l_sha256"], sha256_text("aaa"));
  const uint32_t six = 6;
  EXPECT_TRUE(signed_by(d.out(L"6\\index.json"), public_key, &six));
}

TEST(MakerSigning, AKeyInTheInputIsNeverPublished) {
  maker_dir d;
  d.configure();
  write_file(d.in(L"a.txt"), "aaa");
  write_file(d.in(L"tools\\Signing.KEY"), std::string(128, '0'));
  ASSERT_TRUE(d.run());
  EXPECT_TRUE(d.printed("!!! Private signing key left out: " +
                        wide_to_utf8(d.in(L"tools\\Signing.KEY")) + " (keep it out of input)\n"));
  EXPECT_EQ(d.index(5)["files"].size(), 1u);
}

TEST(MakerHardening, AFileThatFindsNoMemoryFailsTheRun) {
  maker_dir d;
  d.configure(4, true, 100);
  write_file(d.in(L"a.txt"), "aaa");
  write_file(d.in(L"b.bin"), random_bytes(5000, 3, true));
  d.read_observer([](const std::wstring& path) {
    if (ends_with_ignore_case(path, L"b.bin")) throw std::bad_alloc();
  });
  EXPECT_FALSE(d.run());
  EXPECT_TRUE(
      d.printed("!!! Not enough memory to publish every file: nothing was published. "
                "Lower maker.packer.threads or close other programs, and start the tool "
                "again.\n"));
  EXPECT_FALSE(path_exists(d.out(L"version.json")));
  EXPECT_FALSE(path_exists(d.out(L"5\\index.json")));
  EXPECT_EQ(d.gameupdate(), 4u);
}

TEST(MakerSigning, ABrokenKeyPublishesNothing) {
  for (const std::string& key : {std::string(), std::string("00\n"), std::string(128, 'z'),
                                 // the right length, but its public half does not match
                                 std::string(128, '1')}) {
    maker_dir d;
    d.configure();
    write_file(d.in(L"a.txt"), "aaa");
    write_file(d.paths().signing_key, key);
    EXPECT_FALSE(d.run());
    EXPECT_TRUE(d.printed("!!! Signing key is unreadable or malformed: " +
                          wide_to_utf8(d.paths().signing_key) + "\n"));
    EXPECT_FALSE(path_exists(d.out(L"version.json")));
    EXPECT_FALSE(path_exists(d.out(L"5")));
    EXPECT_EQ(d.gameupdate(), 4u);
  }
}

}  // namespace
}  // namespace tsl
