#include "codec/signature.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/test_util.h"

namespace tsl {
namespace {

using test::random_bytes;
using test::scoped_temp_dir;
using test::write_file;

struct key_pair {
  std::string public_key, secret_key;
  key_pair() { EXPECT_TRUE(make_signing_keys(public_key, secret_key)); }
};

TEST(Signature, AcceptsOnlyTheSignedBytesUnderTheSigningKey) {
  const key_pair keys, other;
  ASSERT_EQ(keys.public_key.size(), signing_public_key_bytes);
  ASSERT_EQ(keys.secret_key.size(), signing_secret_key_bytes);
  EXPECT_NE(keys.public_key, other.public_key);

  const std::string message = random_bytes(10000, 7);
  const std::string signature = sign_detached(message, keys.secret_key);
  ASSERT_EQ(signature.size(), signature_bytes);
  EXPECT_TRUE(verify_detached(message, signature, keys.public_key));

  // One changed bit anywhere in the message or the signature.
  for (size_t at : {size_t{0}, message.size() / 2, message.size() - 1}) {
    std::string tampered = message;
    tampered[at] ^= 1;
    EXPECT_FALSE(verify_detached(tampered, signature, keys.public_key)) << at;
  }
  for (size_t at : {size_t{0}, size_t{31}, size_t{63}}) {
    std::string tampered = signature;
    tampered[at] ^= 0x80;
    EXPECT_FALSE(verify_detached(message, tampered, keys.public_key)) << at;
  }
  // A byte more or less: a signature over a prefix must not carry over.
  EXPECT_FALSE(verify_detached(message + "\n", signature, keys.public_key));
  EXPECT_FALSE(verify_detached(message.substr(1), signature, keys.public_key));

  EXPECT_FALSE(verify_detached(message, signature, other.public_key));
  EXPECT_FALSE(verify_detached(message, sign_detached(message, other.secret_key), keys.public_key));
}

TEST(Signature, MissingOrMisshapenPartsAreNeverValid) {
  const key_pair keys;
  const std::string message = "{\"gameupdate\":3}\n";
  const std::string signature = sign_detached(message, keys.secret_key);
  EXPECT_FALSE(verify_detached(message, std::string(), keys.public_key));
  EXPECT_FALSE(verify_detached(message, signature.substr(0, 63), keys.public_key));
  EXPECT_FALSE(verify_detached(message, signature + "x", keys.public_key));
  EXPECT_FALSE(verify_detached(message, std::string(64, '\0'), keys.public_key));
  EXPECT_FALSE(verify_detached(message, signature, std::string()));
  EXPECT_FALSE(verify_detached(message, signature, std::string(32, '\0')));
  EXPECT_FALSE(verify_detached(message, signature, keys.public_key.substr(1)));
  EXPECT_TRUE(sign_detached(message, keys.public_key).empty());
  EXPECT_TRUE(sign_detached(message, std::string()).empty());
  // The empty message signs and verifies like any other.
  EXPECT_TRUE(verify_detached("", sign_detached("", keys.secret_key), keys.public_key));
}

TEST(Signature, HexKeysRoundTripAndMalformedTextIsRefused) {
  const key_pair keys;
  const std::string text = hex_text(keys.public_key);
  ASSERT_EQ(text.size(), 64u);
  EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos);
  std::string back;
  ASSERT_TRUE(parse_hex(text, signing_public_key_bytes, back));
  EXPECT_EQ(back, keys.public_key);
  // Upper case and a key file's line end are accepted.
  std::string upper = text;
  for (auto& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  ASSERT_TRUE(parse_hex(" " + upper + "\r\n", signing_public_key_bytes, back));
  EXPECT_EQ(back, keys.public_key);

  back = "unchanged";
  for (const std::string& bad :
       {std::string(), text.substr(1), text + "0", text + "00", text.substr(0, 62) + "g0",
        text.substr(0, 30) + " " + text.substr(31), "0x" + text.substr(2), std::string(64, ' ')}) {
    EXPECT_FALSE(parse_hex(bad, signing_public_key_bytes, back)) << bad;
  }
  EXPECT_EQ(back, "unchanged");
}

TEST(Sha256, KnownDigestsOfBytesAndFiles) {
  EXPECT_EQ(sha256_text(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_text("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Pieces of any size give the digest of the whole.
  const std::string data = random_bytes(3u << 20, 11);
  sha256_stream stream;
  for (size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 + 1) {
    stream.add(data.data() + at, std::min(step, data.size() - at));
  }
  const std::string whole = sha256_text(data);
  EXPECT_EQ(stream.finish(), whole);
  EXPECT_EQ(stream.finish(), sha256_text(""));  // finishing starts afresh

  scoped_temp_dir dir;
  write_file(dir / L"big.bin", data);
  write_file(dir / L"empty.bin", "");
  sha256_hasher hasher;
  EXPECT_EQ(hasher.digest(dir / L"big.bin"), whole);
  EXPECT_EQ(hasher.digest(dir / L"empty.bin"), sha256_text(""));
  EXPECT_EQ(hasher.digest(dir / L"missing.bin"), "");
  EXPECT_EQ(hasher.digest(dir.path()), "");           // a directory has no digest
  EXPECT_EQ(hasher.digest(dir / L"big.bin"), whole);  // nothing left over from a failure
}

}  // namespace
}  // namespace tsl
