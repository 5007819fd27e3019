#include "format/update_index.h"

#include <gtest/gtest.h>

namespace tsl {
namespace {

// The rules of accept_entry_members applied to an element of a parsed
// document, as a reader of the whole tree would: the oracle of the
// streaming reader.
bool read_index_entry(const json& value, index_entry& entry, bool signed_index) {
  if (!value.is_object()) return false;
  using kind = entry_member::kind;
  entry_member members[entry_key_count];
  for (const auto& [key, v] : value.items()) {
    const entry_key slot = find_entry_key(key);
    if (slot == entry_key_count) continue;
    entry_member& m = members[slot];
    if (v.is_string()) {
      m.type = kind::string;
      m.text = v.get_ref<const std::string&>();
    } else if (v.is_number()) {
      m.type = kind::number;
      m.number = v;
    } else {
      m.type = v.is_null()                                    ? kind::null
               : (v.is_object() || v.is_array()) && v.empty() ? kind::empty_container
                                                              : kind::other;
    }
  }
  entry_texts accepted;
  if (!accept_entry_members(members, signed_index, accepted)) return false;
  fill_index_entry(accepted, entry);
  return true;
}

// What a reader of the whole parsed document finds: the elements of "files"
// (an array's elements, an object's member values, one for any other
// non-null value) through read_index_entry.
struct dom_reading {
  json head;
  std::vector<bool> accepted;
  std::vector<index_entry> entries;
};

dom_reading read_as_tree(const std::string& text, bool signed_index) {
  dom_reading r;
  r.head = json::parse(text);
  std::vector<const json*> files;
  if (r.head.is_object() && r.head.contains("files")) {
    const json& f = r.head["files"];
    if (f.is_array() || f.is_object()) {
      for (const auto& item : f) files.push_back(&item);
    } else if (!f.is_null()) {
      files.push_back(&f);
    }
  }
  for (const json* item : files) {
    index_entry e;
    r.accepted.push_back(read_index_entry(*item, e, signed_index));
    r.entries.push_back(e);
  }
  // Of the top level only "config" is kept.
  json config = r.head.contains("config") ? r.head["config"] : json();
  const bool has_config = r.head.contains("config");
  r.head = json::object();
  if (has_config) r.head["config"] = config;
  return r;
}

void expect_same_reading(const std::string& text, bool signed_index) {
  SCOPED_TRACE(text);
  const dom_reading expected = read_as_tree(text, signed_index);
  update_index index;
  std::string why;
  ASSERT_TRUE(index.parse(text, signed_index, &why)) << why;
  EXPECT_EQ(index.head(), expected.head);
  ASSERT_EQ(index.size(), expected.accepted.size());
  index_entry e;
  for (size_t i = 0; i < index.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(index.entry(i, e), expected.accepted[i]);
    if (!expected.accepted[i]) continue;
    const index_entry& x = expected.entries[i];
    EXPECT_EQ(e.local_path, x.local_path);
    EXPECT_EQ(e.local_sha1, x.local_sha1);
    EXPECT_EQ(e.local_size, x.local_size);
    EXPECT_EQ(e.remote_path, x.remote_path);
    EXPECT_EQ(e.remote_size, x.remote_size);
    EXPECT_EQ(e.pack, x.pack);
    EXPECT_EQ(e.remote_sha1, x.remote_sha1);
    EXPECT_EQ(e.local_sha256, x.local_sha256);
    EXPECT_EQ(e.remote_sha256, x.remote_sha256);
    EXPECT_EQ(e.map_path, x.map_path);
    EXPECT_EQ(e.map_size, x.map_size);
    EXPECT_EQ(e.map_sha1, x.map_sha1);
    EXPECT_EQ(e.map_sha256, x.map_sha256);
  }
}

const std::string sha256_a(64, 'A');

// One element: the members of a valid packed entry, then `extra` (which may
// repeat one of them).
std::string element(const std::string& extra = "") {
  return R"({"l":"Data\\A b.pak","l_sha1":"AB12","l_size":17,"r":"3/data/a%20b.pak.lzma2",)"
         R"("r_size":9,"r_pack":"LZMA2","r_sha1":"CD34","l_sha256":")" +
         sha256_a + R"(","r_sha256":")" + sha256_a + "\"" + extra + "}";
}

TEST(UpdateIndexReader, ReadsEveryShapeAsTheParsedDocumentReadsIt) {
  const std::string config =
      R"("config":{"check":{"hard_check":["client\\*.exe"],"soft_check":[]},"guid":"g","hosts":["h"],"version":3})";
  const std::vector<std::string> documents = {
      // As the maker writes it, with a plain and a packed file.
      "{" + config + R"(,"files":[)" + element() +
          R"(,{"l":"x.txt","l_sha1":"ee","l_size":0,"r":"3/x.txt","r_size":0}]})",
      // Elements that are not objects, nested containers where a member or an
      // unknown key stands, and members of the wrong type.
      R"({"files":[1,"s",null,[],[[{"l":"a"}]],{},)" + element(R"(,"u":{"x":[1,{"y":2}]},"v":[])") +
          "," + element(R"(,"r_pack":{})") + "," + element(R"(,"r_pack":[])") + "," +
          element(R"(,"r_pack":{"a":1})") + "," + element(R"(,"r_pack":[0])") + "," +
          element(R"(,"r_pack":null,"r_sha1":5)") + "," + element(R"(,"r_pack":"")") + "," +
          element(R"(,"r_pack":"NONE","r_sha1":[])") + "," + element(R"(,"l_size":"17")") + "," +
          element(R"(,"l_size":true)") + "," + element(R"(,"r":null)") + "]," + config + "}",
      // Later duplicates replace earlier ones, inside an element and at the top.
      R"({"files":[)" + element() + "]," + config + R"(,"files":[)" +
          element(R"(,"l":"other.bin","l_size":4,"l_size":5.0,"r_size":-1)") + "]}",
      // "files" as an object: member values in key order, the last of a key.
      "{" + config + R"(,"files":{"b":)" + element() + R"(,"a":)" + element(R"(,"l":"first.bin")") +
          R"(,"c":7,"a":)" + element(R"(,"l":"second.bin")") + "}}",
      // One value, null, absent, and documents that are not objects.
      "{" + config + R"(,"files":)" + element() + "}",
      R"({"files":5})",
      R"({"files":null,"extra":[1,2]})",
      "{" + config + "}",
      // Paths that leave the game directory, and escapes in texts.
      R"({"files":[)" + element(R"(,"l":"..\\x")") + "," + element(R"(,"l":"C:\\x")") + "," +
          element(R"(,"l":"caf\u00e9\\\"q\".txt","r":"a\/b")") + "]}",
      // Sizes that no conversion can hold.
      R"({"files":[)" + element(R"(,"l_size":1e30)") + "," + element(R"(,"r_size":-1.5)") + "," +
          element(R"(,"l_size":4294967296.0)") + "," + element(R"(,"l_size":4294967295.0)") + "]}",
      // SHA-256 members that a signed index refuses.
      R"({"files":[)" + element(R"(,"l_sha256":"ab")") + "," + element(R"(,"r_sha256":7)") + "]}",
      // Sizes past 32 bits, and chunk maps whole, partial and malformed.
      R"({"files":[)" + element(R"(,"l_size":4294967296,"r_size":5000000000.0)") + "," +
          element(R"(,"m":"3/a.map","m_size":84,"m_sha1":"AB","m_sha256":")" + sha256_a + "\"") +
          "," + element(R"(,"m":"3/a.map","m_size":84,"m_sha1":"ab")") + "," +
          element(R"(,"m":"3/a.map","m_size":"84","m_sha1":"ab")") + "," +
          element(R"(,"m":"","m_size":84,"m_sha1":"ab")") + "," +
          element(R"(,"m":["x"],"m_size":84,"m_sha1":"ab")") + "]}",
  };
  for (const auto& text : documents) {
    expect_same_reading(text, false);
    expect_same_reading(text, true);
  }
}

TEST(UpdateIndexReader, ReusedEntryTakesEachElementWhole) {
  update_index index;
  ASSERT_TRUE(index.parse(
      R"({"files":[)" + element() + R"(,{"l":"x","l_sha1":"e","l_size":1,"r":"x","r_size":1}]})",
      false));
  index_entry e;
  ASSERT_TRUE(index.entry(0, e));
  EXPECT_EQ(e.pack, "lzma2");
  EXPECT_EQ(e.remote_sha1, "cd34");
  EXPECT_EQ(e.local_sha256, "");  // an unsigned reading leaves them out
  ASSERT_TRUE(index.entry(1, e));
  EXPECT_EQ(e.local_path, "x");
  EXPECT_EQ(e.pack, "none");
  EXPECT_EQ(e.remote_sha1, "");
}

TEST(UpdateIndexReader, SizesThatWouldWrapAndUnknownPackMethodsAreSkipped) {
  update_index index;
  ASSERT_TRUE(index.parse(R"({"files":[)" + element(R"(,"r_size":-1)") + "," +
                              element(R"(,"l_size":-1)") + "," +
                              element(R"(,"l_size":18446744073709551616)") + "," +
                              element(R"(,"r_pack":"x\\..\\..\\f")") + "," + element() + "]}",
                          false));
  index_entry e;
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_FALSE(index.entry(i, e)) << i;
    EXPECT_EQ(index.problem(i), entry_problem::member) << i;
  }
  EXPECT_FALSE(index.entry(3, e));
  EXPECT_EQ(index.problem(3), entry_problem::unknown_pack);
  EXPECT_TRUE(index.entry(4, e));
}

TEST(UpdateIndexReader, ElementsToSkipKeepTheirPositions) {
  std::string text = R"({"files":[)";
  for (int i = 0; i < 300000; ++i) text += "0,";
  text += element() + ",[]," + element(R"(,"l":"last.bin")") + "]}";
  update_index index;
  ASSERT_TRUE(index.parse(text, false));
  ASSERT_EQ(index.size(), 300003u);
  index_entry e;
  EXPECT_FALSE(index.entry(0, e));
  EXPECT_FALSE(index.entry(299999, e));
  ASSERT_TRUE(index.entry(300000, e));
  EXPECT_EQ(e.local_path, "Data\\A b.pak");
  EXPECT_FALSE(index.entry(300001, e));
  ASSERT_TRUE(index.entry(300002, e));
  EXPECT_EQ(e.local_path, "last.bin");
}

TEST(UpdateIndexReader, RefusesMalformedDocumentsAndKeepsWhatItHeld) {
  update_index index;
  ASSERT_TRUE(index.parse(R"({"config":{"version":1},"files":[)" + element() + "]}", false));
  std::string why;
  for (const std::string& bad :
       {std::string(R"({"files":[)") + element(), std::string("{\"files\":[]} x"), std::string(""),
        std::string("{\"l\":\"\xff\"}")}) {
    EXPECT_FALSE(index.parse(bad, false, &why)) << bad;
    EXPECT_EQ(why, "not valid JSON");
  }
  EXPECT_FALSE(index.parse(std::string(65, '[') + std::string(65, ']'), false, &why));
  EXPECT_EQ(why, "nested deeper than 64 levels");
  EXPECT_EQ(index.head(), json::parse(R"({"config":{"version":1}})"));
  EXPECT_EQ(index.size(), 1u);
  // What would be held as a JSON value is bounded before it is built: a top
  // level that is not an object, a "config" of millions of values.
  EXPECT_FALSE(index.parse("[" + element() + "]", false, &why));
  EXPECT_EQ(why, "not an object");
  EXPECT_FALSE(index.parse("7", false, &why));
  EXPECT_EQ(why, "not an object");
  std::string huge_config = R"({"config":{"version":1,"x":[)";
  for (int i = 0; i < 300000; ++i) huge_config += "0,";
  huge_config += R"(0]},"files":[]})";
  EXPECT_FALSE(index.parse(huge_config, false, &why));
  EXPECT_EQ(why, "too large in its \"config\"");
  // Other members of the top level are passed over, however large.
  std::string other = R"({"extra":[)";
  for (int i = 0; i < 300000; ++i) other += "[0],";
  other += R"(0],"config":{"version":1},"files":[]})";
  ASSERT_TRUE(index.parse(other, false, &why)) << why;
  EXPECT_EQ(index.head(), json::parse(R"({"config":{"version":1}})"));
}

}  // namespace
}  // namespace tsl
