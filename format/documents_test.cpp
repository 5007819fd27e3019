#include "format/documents.h"

#include <gtest/gtest.h>

#include "format/update_index.h"
#include "tests/test_util.h"
#include "util/file_system.h"
#include "util/product.h"
#include "util/text.h"

#ifdef _WIN32
#include <windows.h>
#endif

#ifndef _WIN32
#include <sys/stat.h>

#include "util/native_path.h"
#endif

namespace tsl {
namespace {

const std::wstring guid = product_guid;

json index_with(const json& config) { return json{{"config", config}, {"files", json::array()}}; }

std::wstring validation_error(const json& index) {
  int32_t version = 0;
  std::wstring error;
  return validate_remote_config(index, guid, version, error) ? L"" : error;
}

TEST(DocumentsLayout, CompactAndPrettyFormsWithSortedKeys) {
  json v = make_version_document(7);
  EXPECT_EQ(json_compact_line(v), "{\"gameupdate\":7}\n");
  json config;
  config["version"] = 3;
  config["guid"] = "g";
  config["check"]["soft_check"] = {"config\\*.*"};
  config["check"]["cache"] = true;
  EXPECT_EQ(json_pretty_line(config),
            "{\n"
            "    \"check\": {\n"
            "        \"cache\": true,\n"
            "        \"soft_check\": [\n"
            "            \"config\\\\*.*\"\n"
            "        ]\n"
            "    },\n"
            "    \"guid\": \"g\",\n"
            "    \"version\": 3\n"
            "}\n");
  json bad_text = std::string("a\xff");
  EXPECT_EQ(json_compact_line(bad_text), "\"a\xef\xbf\xbd\"\n");

  test::scoped_temp_dir dir;
  ASSERT_TRUE(write_config_copy(dir / L"config.json", config));
  EXPECT_EQ(test::read_file(dir / L"config.json"), json_pretty_line(config));
  // The same configuration again leaves the file as it was; another one
  // replaces it.
  ASSERT_TRUE(test::set_file_time(dir / L"config.json", 133000000000000000ULL));
  ASSERT_TRUE(write_config_copy(dir / L"config.json", config));
  uint64_t size = 0, time = 0;
  ASSERT_TRUE(query_file_info(dir / L"config.json", size, time));
  EXPECT_EQ(time, 133000000000000000ULL);
  config["version"] = 4;
  ASSERT_TRUE(write_config_copy(dir / L"config.json", config));
  EXPECT_EQ(test::read_file(dir / L"config.json"), json_pretty_line(config));
}

TEST(DocumentsParse, FilesAndVersionNumbers) {
  test::scoped_temp_dir dir;
  json doc;
  EXPECT_FALSE(parse_json_file(dir / L"missing.json", doc));
  test::write_file(dir / L"bad.json", "{\"gameupdate\":");
  EXPECT_FALSE(parse_json_file(dir / L"bad.json", doc));
  EXPECT_FALSE(parse_json_file(dir.path(), doc));
#ifndef _WIN32
  // A FIFO where a session document should be: refused at once, no hang.
  ASSERT_EQ(mkfifo(native_path(dir / L"fifo.json").c_str(), 0600), 0);
  EXPECT_FALSE(parse_json_file(dir / L"fifo.json", doc));
#endif
  test::write_file(dir / L"v.json", "{\"gameupdate\":12}\n");
  ASSERT_TRUE(parse_json_file(dir / L"v.json", doc));
  uint32_t n = 0;
  std::wstring werror;
  ASSERT_TRUE(read_gameupdate(doc, n, werror));
  EXPECT_EQ(n, 12u);
  EXPECT_FALSE(read_gameupdate(json{{"gameupdate", "12"}}, n, werror));
  EXPECT_EQ(werror, L"Version file has no numeric \"gameupdate\"");
  EXPECT_FALSE(read_gameupdate(json::array(), n, werror));
  EXPECT_FALSE(read_gameupdate(json{{"gameupdate", true}}, n, werror));
  // A fraction no 32-bit number can hold is refused, never converted.
  for (double beyond : {4294967296.0, 1e30, -1.0}) {
    EXPECT_FALSE(read_gameupdate(json{{"gameupdate", beyond}}, n, werror)) << beyond;
  }
  ASSERT_TRUE(read_gameupdate(json{{"gameupdate", 7.0}}, n, werror));
  EXPECT_EQ(n, 7u);
  // So is a whole number out of its range: it would wrap.
  EXPECT_FALSE(read_gameupdate(json::parse(R"({"gameupdate":-1})"), n, werror));
  EXPECT_FALSE(read_gameupdate(json::parse(R"({"gameupdate":4294967296})"), n, werror));
}

TEST(DocumentsParse, DeepOrHugeDocumentsAreRefusedBeforeParsing) {
  test::scoped_temp_dir dir;
  json doc = json{{"kept", 1}};
  std::string error;
  // The shape of a hostile index: a small file whose "config" nests 200,000
  // arrays deep.
  test::write_file(dir / L"deep.json", "{\"config\":" + std::string(200000, '[') +
                                           std::string(200000, ']') + ",\"files\":[]}");
  EXPECT_FALSE(parse_json_file(dir / L"deep.json", doc, &error));
  EXPECT_EQ(error, "nested deeper than 64 levels");
  EXPECT_EQ(doc, (json{{"kept", 1}}));

  // The limit itself is fine, and brackets inside strings are text.
  std::string at_limit = std::string(63, '[') + "{\"a\":\"[[[{{\\\"\"}" + std::string(63, ']');
  test::write_file(dir / L"limit.json", at_limit);
  ASSERT_TRUE(parse_json_file(dir / L"limit.json", doc, &error)) << error;
  test::write_file(dir / L"over.json", "[" + at_limit + "]");
  EXPECT_FALSE(parse_json_file(dir / L"over.json", doc, &error));

  // A file above the size limit is refused without being read (sparse here).
  std::FILE* f = open_c_file(dir / L"huge.json", "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fseek(f, static_cast<long>(max_document_bytes), SEEK_SET), 0);
  ASSERT_EQ(std::fputc(' ', f), ' ');
  ASSERT_EQ(std::fclose(f), 0);
  EXPECT_FALSE(parse_json_file(dir / L"huge.json", doc, &error));
  EXPECT_EQ(error, "larger than 256 MiB");
}

TEST(DocumentsRemoteConfig, ValidationOrderAndTexts) {
  json good{
      {"version", 3}, {"guid", "0D3F6C21-7A4E-4B9D-A1C5-52E8F0B7C9A4"}, {"hosts", {"http://a/"}}};
  EXPECT_EQ(validation_error(index_with(good)), L"");  // GUID compared ignoring case

  EXPECT_EQ(validation_error(json{{"files", json::array()}}), L"Remote update config is empty");
  EXPECT_EQ(validation_error(index_with(nullptr)), L"Remote update config is empty");
  EXPECT_EQ(validation_error(index_with(json::object())), L"Remote update config is empty");
  EXPECT_EQ(validation_error(index_with(json::array())), L"Remote update config is empty");
  EXPECT_EQ(validation_error(index_with({{"version", 0}, {"guid", "x"}})),
            L"Invalid version number");
  // Fractions beyond any version have no defined conversion: refused, never wrapped.
  for (double huge : {1e30, -1e30, 2147483648.0}) {
    EXPECT_EQ(validation_error(index_with({{"version", huge}, {"hosts", {"h"}}, {"guid", "x"}})),
              L"Invalid version number");
  }
  for (const json& whole : {json(4294967297u), json(-5)}) {
    EXPECT_EQ(validation_error(index_with({{"version", whole}, {"hosts", {"h"}}, {"guid", "x"}})),
              L"Invalid version number");
  }
  EXPECT_EQ(validation_error(index_with({{"version", 3.7}, {"hosts", {"h"}}, {"guid", "x"}})),
            L"GUID mismatch");
  EXPECT_EQ(validation_error(index_with({{"version", 2}, {"host", "http://a/"}, {"guid", "x"}})),
            L"Remote config is invalid");
  EXPECT_EQ(validation_error(index_with({{"version", 1}, {"hosts", {"http://a/"}}, {"guid", "x"}})),
            L"Remote config is invalid");
  EXPECT_EQ(validation_error(index_with({{"version", 2}, {"hosts", json::array()}, {"guid", "x"}})),
            L"Remote config is invalid");
  EXPECT_EQ(validation_error(
                index_with({{"version", 1}, {"host", "http://a/"}, {"guid", json::object()}})),
            L"Remote config is invalid");
  EXPECT_EQ(
      validation_error(index_with({{"version", 1}, {"host", "http://a/"}, {"guid", "other"}})),
      L"GUID mismatch");
  EXPECT_EQ(validation_error(index_with({{"version", 1}, {"host", "http://a/"}, {"guid", 5}})),
            L"GUID mismatch");
  // Malformed blocks end the session with a text instead of an exception.
  EXPECT_EQ(validation_error(index_with({{"version", "3"}, {"guid", "x"}})),
            L"Remote config \"version\" is not a number");
  EXPECT_EQ(validation_error(index_with({{"guid", "x"}})),
            L"Remote config \"version\" is not a number");
  EXPECT_EQ(validation_error(index_with({1, 2})), L"Remote config \"version\" is not a number");
  EXPECT_EQ(validation_error(json::array()), L"Update index is not an object");
}

TEST(DocumentsRemoteConfig, HostsAndCheckRules) {
  std::vector<std::string> hosts;
  std::wstring error;
  ASSERT_TRUE(read_config_hosts({{"host", "http://h/tsl"}}, 1, hosts, error));
  EXPECT_EQ(hosts, std::vector<std::string>{"http://h/tsl"});
  EXPECT_FALSE(read_config_hosts({{"host", 7}}, 1, hosts, error));
  ASSERT_TRUE(read_config_hosts({{"hosts", {"a", "b", "c"}}}, 3, hosts, error));
  EXPECT_EQ(hosts.size(), 3u);
  EXPECT_FALSE(read_config_hosts({{"hosts", {"a", 1}}}, 2, hosts, error));

  check_rules rules;
  json config =
      json::parse(R"({"check":{"soft_check":["config\\*.*"],"hard_check":["client\\*.exe"],
      "acceptable_checksums":[{"file":"a.txt","checksums":[" ABC ",""]},{"file":"b","checksums":"x"}]}})");
  ASSERT_TRUE(read_check_rules(config, 3, rules, error));
  EXPECT_EQ(rules.soft_check, std::vector<std::string>{"config\\*.*"});
  EXPECT_EQ(rules.hard_check, std::vector<std::string>{"client\\*.exe"});
  ASSERT_EQ(rules.acceptable.size(), 1u);  // "checksums" not an array: ignored
  EXPECT_EQ(rules.acceptable[0].checksums, (std::vector<std::string>{" ABC ", ""}));
  ASSERT_TRUE(read_check_rules(config, 2, rules, error));
  EXPECT_TRUE(rules.acceptable.empty());  // read from version 3 on
  ASSERT_TRUE(read_check_rules(json::object(), 3, rules, error));
  EXPECT_FALSE(read_check_rules(json::parse(R"({"check":{"soft_check":[1]}})"), 3, rules, error));
  EXPECT_FALSE(read_check_rules(
      json::parse(R"({"check":{"acceptable_checksums":[{"file":1,"checksums":[]}]}})"), 3, rules,
      error));
  EXPECT_FALSE(read_check_rules(
      json::parse(R"({"check":{"acceptable_checksums":[{"file":"a","checksums":[1]}]}})"), 3, rules,
      error));
}

// One element as the launcher reads it: the only one of an index.
bool read_index_entry(const json& element, index_entry& entry, bool signed_index = false) {
  json files = json::array();
  files.push_back(element);
  update_index index;
  return index.parse(json_compact_line(json{{"files", files}}), signed_index) &&
         index.entry(0, entry);
}

TEST(DocumentsIndexEntry, ReadsWhatTheCheckNeedsAndRejectsTheRest) {
  json plain = json::parse(
      R"({"l":"data\\Game Data.bin","l_sha1":"ABCDEF","l_size":10,"r":"7/data/game%20data.bin","r_size":10,"u":7})");
  index_entry e;
  ASSERT_TRUE(read_index_entry(plain, e));
  EXPECT_EQ(e.pack, "none");
  EXPECT_EQ(e.local_sha1, "abcdef");
  EXPECT_EQ(e.expected_sha1(), "abcdef");
  EXPECT_EQ(e.local_size, 10u);

  json packed = plain;
  packed["r_pack"] = "LZMA2";
  packed["r_sha1"] = "FFEE";
  ASSERT_TRUE(read_index_entry(packed, e));
  EXPECT_EQ(e.pack, "lzma2");
  EXPECT_EQ(e.expected_sha1(), "ffee");
  for (json none : {json(nullptr), json::object(), json::array()}) {
    json p = plain;
    p["r_pack"] = none;
    ASSERT_TRUE(read_index_entry(p, e));
    EXPECT_EQ(e.pack, "none");
  }
  packed.erase("r_sha1");
  EXPECT_FALSE(read_index_entry(packed, e));
  for (const char* key : {"l", "l_sha1", "l_size", "r", "r_size"}) {
    json p = plain;
    p.erase(key);
    EXPECT_FALSE(read_index_entry(p, e)) << key;
    p[key] = key == std::string("l_size") || key == std::string("r_size") ? json("1") : json(1);
    EXPECT_FALSE(read_index_entry(p, e)) << key;
  }
  EXPECT_FALSE(read_index_entry(json(5), e));
  for (const char* outside :
       {"..\\x", "a/../../x", "C:\\Windows\\x.dll", "\\\\srv\\s\\x", "/etc/x"}) {
    json p = plain;
    p["l"] = outside;
    EXPECT_FALSE(read_index_entry(p, e)) << outside;
  }
}

TEST(DocumentsIndexEntry, SignedIndexNeedsWellFormedSha256Members) {
  const std::string a64(64, 'A'), b64(64, 'b');
  json plain =
      json::parse(R"({"l":"a.bin","l_sha1":"aa","l_size":1,"r":"1/a.bin","r_size":1,"u":1})");
  index_entry e;
  // Without a key the members are neither needed nor read.
  ASSERT_TRUE(read_index_entry(plain, e));
  EXPECT_EQ(e.local_sha256, "");
  EXPECT_FALSE(read_index_entry(plain, e, true));
  plain["l_sha256"] = a64;
  ASSERT_TRUE(read_index_entry(plain, e, true));
  EXPECT_EQ(e.expected_sha256(), std::string(64, 'a'));

  json packed = plain;
  packed["r_pack"] = "lzma2";
  packed["r_sha1"] = "bb";
  EXPECT_FALSE(read_index_entry(packed, e, true));
  packed["r_sha256"] = b64;
  ASSERT_TRUE(read_index_entry(packed, e, true));
  EXPECT_EQ(e.expected_sha256(), b64);
  EXPECT_EQ(e.local_sha256, std::string(64, 'a'));
  for (json bad : {json(""), json(a64.substr(1)), json(a64 + "0"), json(std::string(63, 'a') + "g"),
                   json(1), json(nullptr)}) {
    json p = packed;
    p["r_sha256"] = bad;
    EXPECT_FALSE(read_index_entry(p, e, true)) << bad;
    p = packed;
    p["l_sha256"] = bad;
    EXPECT_FALSE(read_index_entry(p, e, true)) << bad;
  }
}

TEST(DocumentsIndexEntry, SizesPast32BitsAndChunkMapsAreRead) {
  json entry = json::parse(
      R"({"l":"big.pak","l_sha1":"aa","l_size":6442450944,"r":"2/big.pak.lzma2","r_pack":"lzma2",)"
      R"("r_sha1":"bb","r_size":5368709120,"m":"2/big.pak.lzma2.chunkmap","m_size":900044,)"
      R"("m_sha1":"CC","u":2})");
  index_entry e;
  ASSERT_TRUE(read_index_entry(entry, e));
  EXPECT_EQ(e.local_size, 6442450944u);
  EXPECT_EQ(e.remote_size, 5368709120u);
  ASSERT_TRUE(e.has_map());
  EXPECT_EQ(e.map_path, "2/big.pak.lzma2.chunkmap");
  EXPECT_EQ(e.map_size, 900044u);
  EXPECT_EQ(e.map_sha1, "cc");
  // A signed index binds the map by SHA-256: without it, no map.
  EXPECT_FALSE(read_index_entry(entry, e, true));
  entry["l_sha256"] = std::string(64, 'a');
  entry["r_sha256"] = std::string(64, 'b');
  ASSERT_TRUE(read_index_entry(entry, e, true));
  EXPECT_FALSE(e.has_map());
  entry["m_sha256"] = std::string(64, 'D');
  ASSERT_TRUE(read_index_entry(entry, e, true));
  EXPECT_TRUE(e.has_map());
  EXPECT_EQ(e.map_sha256, std::string(64, 'd'));
  // A malformed map member costs the map, never the entry.
  for (const char* key : {"m", "m_size", "m_sha1"}) {
    json p = entry;
    p[key] = key == std::string("m_size") ? json(-1) : json(7);
    ASSERT_TRUE(read_index_entry(p, e)) << key;
    EXPECT_FALSE(e.has_map()) << key;
    EXPECT_EQ(e.map_size, 0u) << key;
  }
}

}  // namespace
}  // namespace tsl
