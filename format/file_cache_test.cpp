#include "format/file_cache.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/test_util.h"
#include "util/file_system.h"

namespace tsl {
namespace {

using test::scoped_temp_dir;

TEST(FileCache, StampHitsUntilTheFileIsTouched) {
  scoped_temp_dir dir;
  std::wstring f = dir / L"a.bin";
  test::write_file(f, "content");
  ASSERT_TRUE(test::set_file_time(f, 133000000000000000ULL));
  uint64_t stamp = 0;
  ASSERT_TRUE(file_stamp(f, stamp));
  EXPECT_EQ(stamp, 7ULL ^ 133000000000000000ULL);

  file_cache cache;
  EXPECT_FALSE(cache.lookup("a.bin", f));
  json data{{"l", "a.bin"}};
  cache.store("a.bin", f, &data);
  json out;
  ASSERT_TRUE(cache.lookup("a.bin", f, &out));
  EXPECT_EQ(out, data);
  ASSERT_TRUE(test::set_file_time(f, 133000000000000001ULL));  // same content, new time
  EXPECT_FALSE(cache.lookup("a.bin", f));
  EXPECT_FALSE(cache.lookup("a.bin", dir / L"missing"));
  cache.store("x", dir / L"missing");  // no stamp, no entry
  EXPECT_FALSE(cache.document().contains("x"));
}

TEST(FileCache, StoreReplacesAndDataIsOptional) {
  scoped_temp_dir dir;
  std::wstring f = dir / L"a";
  test::write_file(f, "1");
  file_cache cache;
  EXPECT_TRUE(cache.document().is_null());
  cache.store("k", f);
  cache.store("k", f);
  json doc = cache.document();
  ASSERT_TRUE(doc.is_object());
  EXPECT_EQ(doc.size(), 1u);
  EXPECT_FALSE(doc["k"].contains("data"));
  json out = 5;
  ASSERT_TRUE(cache.lookup("k", f, &out));
  EXPECT_TRUE(out.is_null());
}

TEST(FileCache, LoadOddFilesAndSaveAtomically) {
  scoped_temp_dir dir;
  std::wstring f = dir / L"a";
  test::write_file(f, "1");
  file_cache cache;
  test::write_file(dir / L"array.json", "[]");
  EXPECT_TRUE(cache.load(dir / L"array.json"));
  EXPECT_FALSE(cache.lookup("a", f));
  cache.store("a", f);  // an array document becomes an object, never throws
  EXPECT_TRUE(cache.lookup("a", f));

  test::write_file(dir / L"garbage.json", "{\"a\": {\"cache\": ");
  EXPECT_FALSE(cache.load(dir / L"garbage.json"));
  EXPECT_TRUE(cache.document().is_null());
  EXPECT_FALSE(cache.load(dir / L"missing.json"));

  test::write_file(dir / L"str.json", "{\"a\": {\"cache\": \"12\"}, \"b\": 3}");
  ASSERT_TRUE(cache.load(dir / L"str.json"));
  EXPECT_FALSE(cache.lookup("a", f));
  EXPECT_FALSE(cache.lookup("b", f));

  cache.store("a", f);
  ASSERT_TRUE(cache.save(dir / L"cache.json"));
  file_cache again;
  ASSERT_TRUE(again.load(dir / L"cache.json"));
  EXPECT_TRUE(again.lookup("a", f));
  EXPECT_TRUE(again.equals(cache));
  std::string text = test::read_file(dir / L"cache.json");
  EXPECT_EQ(text.substr(0, 11), "{\n    \"a\": ");
  EXPECT_EQ(text.back(), '\n');

  // A cache that cannot be written leaves the old one in place.
  create_directories(dir / L"blocked.json");
  EXPECT_FALSE(cache.save(dir / L"blocked.json"));
  EXPECT_TRUE(directory_exists(dir / L"blocked.json"));
  EXPECT_EQ(list_files(dir.path(), false, L"*.tmp").size(), 0u);
}

TEST(FileCache, LoadsEntriesOfEveryShapeAndKeepsDataWhole) {
  scoped_temp_dir dir;
  const std::wstring f = dir / L"a", path = dir / L"cache.json";
  test::write_file(f, "1");
  uint64_t stamp = 0;
  ASSERT_TRUE(file_stamp(f, stamp));
  const std::string s = std::to_string(stamp);
  const json data = json::parse(R"({"l":"x","n":[1,{"deep":[[],{}]},null],"r_size":5,"z":-2.5})");
  test::write_file(
      path, "{\"plain\":{\"cache\":" + s +
                "},\"with data\":{\"x\":[{\"cache\":1}],\"data\":" + data.dump() +
                ",\"cache\":" + s + "},\"twice\":{\"cache\":1},\"twice\":{\"cache\":" + s +
                "},\"stamp twice\":{\"cache\":" + s + ",\"cache\":1},\"float\":{\"cache\":" + s +
                ".0},\"negative\":{\"cache\":-1},\"text\":{\"cache\":\"" + s +
                "\"},\"array\":[{\"cache\":" + s + "}],\"number\":7,\"no stamp\":{\"data\":1}}\n");
  file_cache cache;
  ASSERT_TRUE(cache.load(path));
  json out;
  EXPECT_TRUE(cache.lookup("plain", f, &out));
  EXPECT_TRUE(out.is_null());
  ASSERT_TRUE(cache.lookup("with data", f, &out));
  EXPECT_EQ(out, data);
  EXPECT_TRUE(cache.lookup("twice", f));  // the later one holds
  for (const char* miss :
       {"stamp twice", "float", "negative", "text", "array", "number", "no stamp", "x", "cache"}) {
    EXPECT_FALSE(cache.lookup(miss, f)) << miss;
  }
  // What vouches for nothing is not carried on; the rest survives a round trip.
  const json expected =
      json::parse("{\"plain\":{\"cache\":" + s + "},\"with data\":{\"cache\":" + s +
                  ",\"data\":" + data.dump() + "},\"twice\":{\"cache\":" + s +
                  "},\"stamp twice\":{\"cache\":1},\"float\":{},\"negative\":{}," +
                  "\"text\":{},\"no stamp\":{\"data\":1}}");
  EXPECT_EQ(cache.document(), expected);
  ASSERT_TRUE(cache.save(dir / L"again.json"));
  file_cache again;
  ASSERT_TRUE(again.load(dir / L"again.json"));
  EXPECT_TRUE(again.equals(cache));
  EXPECT_EQ(test::read_file(dir / L"again.json"), json_pretty_line(expected));

  // A document that is not an object stays as it is until a store.
  test::write_file(path, "[1,{\"a\":2}]");
  ASSERT_TRUE(cache.load(path));
  EXPECT_EQ(cache.document(), json::parse("[1,{\"a\":2}]"));
  test::write_file(path, "5");
  ASSERT_TRUE(cache.load(path));
  EXPECT_EQ(cache.document(), json(5));
  EXPECT_FALSE(cache.lookup("plain", f));
}

TEST(FileCache, WrittenAgainOnlyWhenChangedOrGone) {
  scoped_temp_dir dir;
  const std::wstring f = dir / L"a", path = dir / L"cache.json";
  test::write_file(f, "1");
  file_cache cache;
  cache.store("a", f);
  ASSERT_TRUE(cache.save_if_changed(path));  // nothing loaded: written
  file_cache again;
  ASSERT_TRUE(again.load(path));
  // A marker tells whether the file was rewritten.
  test::write_file(path, test::read_file(path) + " ");
  again.store("a", f);  // the same stamp again is no change
  ASSERT_TRUE(again.save_if_changed(path));
  EXPECT_EQ(test::read_file(path).back(), ' ');

  ASSERT_TRUE(test::set_file_time(f, 133000000000000001ULL));
  again.store("a", f);
  ASSERT_TRUE(again.save_if_changed(path));
  EXPECT_EQ(test::read_file(path).back(), '\n');
  test::write_file(path, test::read_file(path) + " ");
  ASSERT_TRUE(again.save_if_changed(path));  // saved since, unchanged since
  EXPECT_EQ(test::read_file(path).back(), ' ');

  ASSERT_TRUE(delete_file(path));
  ASSERT_TRUE(again.save_if_changed(path));
  ASSERT_TRUE(file_exists(path));
  file_cache missing;
  EXPECT_FALSE(missing.load(dir / L"none.json"));
  EXPECT_TRUE(missing.save_if_changed(dir / L"none.json"));
  EXPECT_TRUE(file_exists(dir / L"none.json"));
}

TEST(FileCache, ConcurrentStoresAndLookups) {
  scoped_temp_dir dir;
  std::vector<std::wstring> files;
  for (int i = 0; i < 8; ++i) {
    files.push_back(dir / std::to_wstring(i));
    test::write_file(files.back(), std::string(static_cast<size_t>(i), 'x'));
  }
  file_cache cache;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 200; ++round) {
        int i = (round + t) % 8;
        std::string key = std::to_string(i);
        cache.store(key, files[i]);
        EXPECT_TRUE(cache.lookup(key, files[i]));
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(cache.document().size(), 8u);
}

}  // namespace
}  // namespace tsl
