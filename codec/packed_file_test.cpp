#include "codec/packed_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/test_util.h"
#include "util/file_system.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>

#include "util/native_path.h"
#endif

namespace tsl {
namespace {

using test::random_bytes;
using test::read_file;
using test::scoped_temp_dir;
using test::write_file;

std::string header(uint64_t size, uint8_t property = 24, uint32_t magic = PACKED_FILE_MAGIC) {
  std::string h;
  for (int i = 0; i < 4; ++i) h += static_cast<char>(magic >> (8 * i));
  for (int i = 0; i < 8; ++i) h += static_cast<char>(size >> (8 * i));
  h += static_cast<char>(property);
  return h;
}

// A raw LZMA2 stream of uncompressed chunks: control 1 (dictionary reset)
// or 2, the size less one big-endian, the bytes; 0 ends the stream.
std::string stored_stream(const std::string& data, bool end_marker = true) {
  std::string s;
  for (size_t at = 0; at < data.size();) {
    const size_t n = std::min<size_t>(data.size() - at, 65536);
    s += static_cast<char>(at == 0 ? 1 : 2);
    s += static_cast<char>((n - 1) >> 8);
    s += static_cast<char>((n - 1) & 0xFF);
    s += data.substr(at, n);
    at += n;
  }
  if (end_marker) s += '\0';
  return s;
}

// Large content that still packs quickly: one random megabyte repeated
// with a few bytes changed in each copy, so that long matches and literals
// alternate.
std::string repeated_content(size_t size, uint32_t seed) {
  const std::string base = random_bytes(1u << 20, seed);
  std::string out;
  out.reserve(size);
  for (uint32_t copy = 0; out.size() < size; ++copy) {
    std::string piece = base;
    for (uint32_t k = 0; k < 64; ++k) piece[(copy * 7919u + k * 104729u) % piece.size()] ^= 0x55;
    out += piece.substr(0, std::min(piece.size(), size - out.size()));
  }
  return out;
}

#ifndef _WIN32
// Writes beyond `bytes` into any file fail (EFBIG) while it lives, as on a
// full disk.
class full_disk_after {
 public:
  explicit full_disk_after(rlim_t bytes) {
    signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit small = saved_;
    small.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &small);
  }
  ~full_disk_after() { setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};
#endif

class PackedFile : public ::testing::Test {
 protected:
  scoped_temp_dir dir;
  std::wstring packed = dir / L"file.lzma2";
  std::wstring unpacked = dir / L"file.unp";

  int32_t unpack_bytes(const std::string& file_bytes) {
    write_file(packed, file_bytes);
    return unpack_file(packed, unpacked);
  }
  void expect_round_trip(const std::string& bytes) {
    const std::wstring source = dir / L"source";
    write_file(source, bytes);
    ASSERT_EQ(pack_file(source, packed), packed_ok);
    const std::string file = read_file(packed);
    ASSERT_GE(file.size(), packed_header_size + 1);
    EXPECT_EQ(file.substr(0, 13), header(bytes.size(), 24));
    EXPECT_EQ(file.back(), '\0');  // the LZMA2 end byte
    ASSERT_EQ(unpack_file(packed, unpacked), packed_ok);
    EXPECT_TRUE(read_file(unpacked) == bytes) << "size " << bytes.size();
  }
};

TEST_F(PackedFile, EmptyFileIsHeaderAndEndByte) {
  write_file(dir / L"empty", "");
  ASSERT_EQ(pack_file(dir / L"empty", packed), packed_ok);
  EXPECT_EQ(read_file(packed), header(0, 24) + std::string(1, '\0'));
  write_file(unpacked, "old contents");
  ASSERT_EQ(unpack_file(packed, unpacked), packed_ok);
  EXPECT_EQ(read_file(unpacked), "");
}

TEST_F(PackedFile, RoundTrips) {
  expect_round_trip("x");
  expect_round_trip(random_bytes(200000, 1, true));
  expect_round_trip(random_bytes(300000, 2));  // incompressible: stored chunks
  // Beyond one dictionary and several 4 MiB I/O pieces.
  expect_round_trip(repeated_content((16u << 20) + 777, 3));
}

TEST_F(PackedFile, WrittenBytesAreHandedOverAsTheyGo) {
  const std::string bytes = repeated_content((5u << 20) + 3, 4);
  write_file(dir / L"source", bytes);
  ASSERT_EQ(pack_file(dir / L"source", packed), packed_ok);
  std::string seen;
  size_t pieces = 0;
  ASSERT_EQ(unpack_file(packed, unpacked, UINT64_MAX,
                        [&](const uint8_t* b, size_t n) {
                          seen.append(reinterpret_cast<const char*>(b), n);
                          ++pieces;
                          return true;
                        }),
            packed_ok);
  EXPECT_TRUE(seen == bytes);
  EXPECT_GT(pieces, 1u);
  // An observer that gives up fails the unpack like a full disk.
  write_file(unpacked, "before");
  EXPECT_EQ(unpack_file(packed, unpacked, UINT64_MAX, [](const uint8_t*, size_t) { return false; }),
            packed_write_failed);
}

TEST_F(PackedFile, DictionaryProperty) {
  EXPECT_EQ(dictionary_property_of_size(16u << 20), 24);
  EXPECT_EQ(dictionary_size_of_property(24), 16u << 20);
  EXPECT_EQ(dictionary_size_of_property(0), 4096u);
  EXPECT_EQ(dictionary_size_of_property(1), 6144u);
  EXPECT_EQ(dictionary_size_of_property(39), 3u << 30);
  EXPECT_EQ(dictionary_size_of_property(40), 0xFFFFFFFFu);
  EXPECT_EQ(dictionary_property_of_size((16u << 20) + 1), 25);
  EXPECT_EQ(dictionary_property_of_size(0xFFFFFFFFu), 40);
}

TEST_F(PackedFile, OpenFailures) {
  EXPECT_EQ(pack_file(dir / L"missing", packed), packed_open_failed);
  EXPECT_EQ(unpack_file(dir / L"missing", unpacked), packed_open_failed);
  EXPECT_FALSE(file_exists(packed));  // the source is opened first
  EXPECT_FALSE(file_exists(unpacked));
  write_file(dir / L"source", "abc");
  EXPECT_EQ(pack_file(dir / L"source", dir / L"no\\such\\dir\\out"), packed_open_failed);
  EXPECT_FALSE(directory_exists(dir / L"no"));
  ASSERT_EQ(pack_file(dir / L"source", packed), packed_ok);
  EXPECT_EQ(unpack_file(packed, dir / L"no\\such\\dir\\out"), packed_open_failed);
  EXPECT_EQ(pack_file(dir.path(), packed), packed_open_failed);  // a directory is no source
}

TEST_F(PackedFile, BadHeaders) {
  const std::string stream = stored_stream("hello");
  EXPECT_EQ(unpack_bytes(""), packed_data_error);
  EXPECT_EQ(unpack_bytes(header(5).substr(0, 5)), packed_data_error);
  EXPECT_EQ(unpack_bytes(header(5).substr(0, 12)), packed_data_error);
  EXPECT_EQ(unpack_bytes(header(5, 24, 0x30ECEF14) + stream), packed_data_error);
  EXPECT_EQ(unpack_bytes(header(5, 41) + stream), packed_bad_property);
  EXPECT_EQ(unpack_bytes(header(5, 255) + stream), packed_bad_property);
  // A 4 GiB dictionary is refused on every build alike.
  EXPECT_EQ(unpack_bytes(header(5, 40) + stream), packed_out_of_memory);
  EXPECT_EQ(unpack_bytes(header(packed_size_unknown, 40) + stream), packed_out_of_memory);
  // So are 2 and 3 GiB, which no 32-bit process can map either.
  EXPECT_EQ(unpack_bytes(header(packed_size_unknown, 38) + stream), packed_out_of_memory);
  EXPECT_EQ(unpack_bytes(header(packed_size_unknown, 39) + stream), packed_out_of_memory);
  EXPECT_EQ(unpack_bytes(header(uint64_t(3) << 30, 39) + stream), packed_out_of_memory);
  ASSERT_EQ(unpack_bytes(header(5, 24) + stream), packed_ok);
  EXPECT_EQ(read_file(unpacked), "hello");
}

TEST_F(PackedFile, SizeLimitStopsStatedAndUnstatedSizes) {
  const std::string data = random_bytes(300000, 30, true);
  write_file(dir / L"source", data);
  ASSERT_EQ(pack_file(dir / L"source", packed), packed_ok);
  const std::string stream = read_file(packed).substr(packed_header_size);
  const uint64_t size = data.size();
  for (uint64_t stated : {size, packed_size_unknown}) {
    write_file(packed, header(stated) + stream);
    EXPECT_EQ(unpack_file(packed, unpacked, size - 1), packed_too_large) << stated;
    EXPECT_LE(read_file(unpacked).size(), size - 1);
    ASSERT_EQ(unpack_file(packed, unpacked, size), packed_ok) << stated;
    EXPECT_TRUE(read_file(unpacked) == data);
  }
  // A small file that claims a huge size is refused before it is decoded.
  write_file(packed, header(uint64_t(1) << 40) + stream);
  EXPECT_EQ(unpack_file(packed, unpacked, size), packed_too_large);
  EXPECT_EQ(read_file(unpacked), "");
}

TEST_F(PackedFile, HugeDictionaryForASmallFileCostsLittle) {
  // 3 GiB could not be had in a 32-bit process; the stated size bounds it.
  ASSERT_EQ(unpack_bytes(header(5, 39) + stored_stream("hello")), packed_ok);
  EXPECT_EQ(read_file(unpacked), "hello");
}

TEST_F(PackedFile, CorruptAndShortStreams) {
  const std::string data = random_bytes(500000, 5, true);
  write_file(dir / L"source", data);
  ASSERT_EQ(pack_file(dir / L"source", packed), packed_ok);
  const std::string file = read_file(packed);

  // Cut off: code 1, and what was produced so far stays in the destination.
  EXPECT_EQ(unpack_bytes(file.substr(0, file.size() / 2)), packed_data_error);
  const std::string part = read_file(unpacked);
  EXPECT_LT(part.size(), data.size());
  EXPECT_EQ(part, data.substr(0, part.size()));
  // With the size stated, the end byte itself is not needed; the data is.
  EXPECT_EQ(unpack_bytes(file.substr(0, file.size() - 1)), packed_ok);
  EXPECT_EQ(unpack_bytes(file.substr(0, file.size() - 2)), packed_data_error);
  EXPECT_EQ(unpack_bytes(file.substr(0, 13)), packed_data_error);

  // An invalid control byte, and a damaged middle.
  std::string bad = file;
  bad[13] = 0x03;
  EXPECT_EQ(unpack_bytes(bad), packed_data_error);
  bad = file;
  for (size_t i = 0; i < 64; ++i) bad[file.size() / 2 + i] ^= 0x5A;
  EXPECT_EQ(unpack_bytes(bad), packed_data_error);

  // A stated size that the stream does not match.
  const std::string stream = stored_stream("0123456789");
  EXPECT_EQ(unpack_bytes(header(11) + stream), packed_data_error);
  EXPECT_EQ(read_file(unpacked), "0123456789");
  EXPECT_EQ(unpack_bytes(header(4) + stream), packed_data_error);
  // A stated size that ends exactly at a chunk boundary needs no end byte.
  EXPECT_EQ(unpack_bytes(header(10) + stored_stream("0123456789", false)), packed_ok);
}

TEST_F(PackedFile, SizeLessForm) {
  const std::string data = random_bytes(150000, 6);
  EXPECT_EQ(unpack_bytes(header(packed_size_unknown) + stored_stream(data)), packed_ok);
  EXPECT_TRUE(read_file(unpacked) == data);
  EXPECT_EQ(unpack_bytes(header(packed_size_unknown) + stored_stream(data, false)),
            packed_data_error);
  EXPECT_EQ(unpack_bytes(header(packed_size_unknown) + stored_stream("")), packed_ok);
  EXPECT_EQ(read_file(unpacked), "");
  EXPECT_EQ(unpack_bytes(header(packed_size_unknown)), packed_data_error);

  // A stream from pack_file read without its stated size.
  write_file(dir / L"source", data + random_bytes(100000, 7, true));
  ASSERT_EQ(pack_file(dir / L"source", packed), packed_ok);
  std::string file = read_file(packed);
  file.replace(4, 8, std::string(8, '\xFF'));
  EXPECT_EQ(unpack_bytes(file), packed_ok);
  EXPECT_EQ(read_file(unpacked), read_file(dir / L"source"));
}

// One packer over many files, a failed one among them, writes exactly what a
// fresh coder writes for each: nothing of one file leaks into the next.
TEST_F(PackedFile, PackerKeepsNothingBetweenFiles) {
  const std::string files[] = {repeated_content(5u << 20, 21), "", random_bytes(70000, 22, true),
                               repeated_content(300000, 23)};
  file_packer packer;
  for (size_t i = 0; i < sizeof files / sizeof files[0]; ++i) {
    const std::wstring source = dir / (L"source" + std::to_wstring(i));
    write_file(source, files[i]);
#ifndef _WIN32
    if (i == 2) {
      // A disk that fills up after the first piece, with input left in the
      // coder.
      write_file(dir / L"noise", random_bytes(6u << 20, 24));
      int32_t failed;
      {
        full_disk_after full(1u << 20);
        failed = packer.pack(dir / L"noise", dir / L"cut");
      }
      EXPECT_EQ(failed, packed_write_failed);
    }
#endif
    ASSERT_EQ(packer.pack(source, dir / L"reused"), packed_ok) << i;
    ASSERT_EQ(pack_file(source, dir / L"fresh"), packed_ok) << i;
    EXPECT_TRUE(read_file(dir / L"reused") == read_file(dir / L"fresh")) << "file " << i;
    ASSERT_EQ(unpack_file(dir / L"reused", unpacked), packed_ok);
    EXPECT_TRUE(read_file(unpacked) == files[i]) << "file " << i;
  }
  EXPECT_EQ(packer.pack(dir / L"missing", packed), packed_open_failed);
}

// The maker packs from a stream it also hashes: the same bytes as pack_file,
// and a failing end reported as such.
TEST_F(PackedFile, StreamsInAndOut) {
  const std::string data = random_bytes(300000, 26, true) + random_bytes(70000, 27);
  write_file(dir / L"source", data);
  ASSERT_EQ(pack_file(dir / L"source", packed), packed_ok);
  file_packer packer;
  for (int round = 0; round < 2; ++round) {  // the kept coder starts afresh
    size_t at = 0;
    const byte_source source = [&](uint8_t* bytes, uint32_t room, uint32_t& got) {
      // Small, uneven pieces.
      got = static_cast<uint32_t>(std::min<size_t>({room, data.size() - at, 10007}));
      std::copy(data.begin() + at, data.begin() + at + got, bytes);
      at += got;
      return true;
    };
    uint8_t header[packed_header_size];
    packed_header(data.size(), header);
    std::string stream(reinterpret_cast<const char*>(header), sizeof header);
    ASSERT_EQ(packer.pack_block(source,
                                [&stream](const uint8_t* bytes, size_t n) {
                                  stream.append(reinterpret_cast<const char*>(bytes), n);
                                  return true;
                                }),
              packed_ok);
    stream += static_cast<char>(lzma2_end_byte);
    EXPECT_TRUE(stream == read_file(packed)) << round;
  }
  const byte_source failing = [](uint8_t*, uint32_t, uint32_t&) { return false; };
  EXPECT_EQ(packer.pack_block(failing, [](const uint8_t*, size_t) { return true; }),
            packed_read_failed);
  size_t at = 0;
  const byte_source some = [&](uint8_t* bytes, uint32_t room, uint32_t& got) {
    got = static_cast<uint32_t>(std::min<size_t>(room, data.size() - at));
    std::copy(data.begin() + at, data.begin() + at + got, bytes);
    at += got;
    return true;
  };
  EXPECT_EQ(packer.pack_block(some, [](const uint8_t*, size_t) { return false; }),
            packed_write_failed);
}

// A stream past the block size is its blocks packed alone, joined: each
// block starts afresh, so nothing of one reaches into the next, and an
// exact multiple of the block size ends without an empty block.
TEST_F(PackedFile, BlocksArePackedAlone) {
  const uint64_t block = 1u << 20;
  const std::string data = repeated_content(2 * block, 31) + random_bytes(300000, 32, true);
  file_packer packer;
  for (const size_t size : {size_t{block}, size_t{2 * block}, data.size()}) {
    const std::string bytes = data.substr(0, size);
    write_file(dir / L"source", bytes);
    ASSERT_EQ(packer.pack(dir / L"source", packed, block), packed_ok);
    std::string joined = header(size);
    for (size_t at = 0; at < size; at += block) {
      write_file(dir / L"piece", bytes.substr(at, block));
      ASSERT_EQ(pack_file(dir / L"piece", dir / L"piece.lzma2"), packed_ok);
      const std::string piece = read_file(dir / L"piece.lzma2");
      joined += piece.substr(packed_header_size, piece.size() - packed_header_size - 1);
    }
    joined += '\0';
    EXPECT_TRUE(read_file(packed) == joined) << size;
    ASSERT_EQ(unpack_file(packed, unpacked), packed_ok);
    EXPECT_TRUE(read_file(unpacked) == bytes) << size;
  }
  // The size of a block never depends on how the source hands its bytes.
  size_t at = 0;
  const byte_source uneven = [&](uint8_t* bytes, uint32_t room, uint32_t& got) {
    got = static_cast<uint32_t>(std::min<size_t>({room, data.size() - at, 777777}));
    std::copy(data.begin() + at, data.begin() + at + got, bytes);
    at += got;
    return true;
  };
  std::string stream = header(data.size());
  ASSERT_EQ(packer.pack_block(
                uneven,
                [&stream](const uint8_t* bytes, size_t n) {
                  stream.append(reinterpret_cast<const char*>(bytes), n);
                  return true;
                },
                block),
            packed_ok);
  stream += '\0';
  EXPECT_TRUE(stream == read_file(packed));
  EXPECT_EQ(packer.pack(dir / L"source", packed, 0), packed_codec_failure);
}

#ifndef _WIN32

// The pieces of a chunked file: each decodes alone from its own bytes, and
// joined in a row behind a header they are one packed file.
TEST_F(PackedFile, PiecesDecodeAloneAndJoined) {
  const std::string data =
      repeated_content(700000, 41) + random_bytes(200000, 42, true) + repeated_content(300000, 43);
  const size_t lengths[] = {300000, 1, 500000, data.size() - 800001};
  const uint32_t dictionary = piece_dictionary(500000);
  EXPECT_EQ(dictionary, 512u << 10);
  EXPECT_EQ(piece_dictionary(1), 64u << 10);
  EXPECT_EQ(piece_dictionary(UINT32_MAX), 16u << 20);
  file_packer packer;
  std::vector<std::string> pieces;
  std::string joined = header(data.size());
  size_t at = 0;
  for (const size_t length : lengths) {
    const std::string part = data.substr(at, length);
    at += length;
    size_t given = 0;
    std::string piece;
    ASSERT_EQ(packer.pack_piece(
                  [&](uint8_t* bytes, uint32_t room, uint32_t& got) {
                    got = static_cast<uint32_t>(std::min<size_t>(room, part.size() - given));
                    std::copy(part.begin() + given, part.begin() + given + got, bytes);
                    given += got;
                    return true;
                  },
                  [&piece](const uint8_t* bytes, size_t n) {
                    piece.append(reinterpret_cast<const char*>(bytes), n);
                    return true;
                  },
                  dictionary),
              packed_ok);
    joined += piece;
    pieces.push_back(piece);
  }
  write_file(packed, joined + '\0');
  ASSERT_EQ(unpack_file(packed, unpacked), packed_ok);
  EXPECT_TRUE(read_file(unpacked) == data);

  const auto unpack = [](const std::string& piece, uint64_t size, std::string* out = nullptr) {
    size_t given = 0;
    return unpack_piece(
        [&](uint8_t* bytes, uint32_t room, uint32_t& got) {
          got = static_cast<uint32_t>(std::min<size_t>(room, piece.size() - given));
          std::copy(piece.begin() + given, piece.begin() + given + got, bytes);
          given += got;
          return true;
        },
        piece.size(), size,
        [out](const uint8_t* bytes, size_t n) {
          if (out) out->append(reinterpret_cast<const char*>(bytes), n);
          return true;
        });
  };
  at = 0;
  for (size_t k = 0; k < pieces.size(); ++k) {
    std::string out;
    EXPECT_EQ(unpack(pieces[k], lengths[k], &out), packed_ok) << k;
    EXPECT_TRUE(out == data.substr(at, lengths[k])) << k;
    at += lengths[k];
  }
  // Cut, run into the next piece, or stated with another size: refused.
  const std::string& first = pieces[0];
  EXPECT_EQ(unpack(first.substr(0, first.size() - 1), lengths[0]), packed_data_error);
  EXPECT_EQ(unpack(first + pieces[1], lengths[0]), packed_data_error);
  EXPECT_EQ(unpack(first + pieces[1], lengths[0] + 1), packed_ok);
  EXPECT_EQ(unpack(first, lengths[0] - 1), packed_data_error);
  EXPECT_EQ(unpack(first, lengths[0] + 1), packed_data_error);
  EXPECT_EQ(unpack(first + '\0', lengths[0]), packed_data_error);
  // A piece that goes on from what came before it (no dictionary reset).
  const std::string stored = stored_stream(data.substr(0, 100000), false);
  EXPECT_EQ(unpack(stored, 100000), packed_ok);
  EXPECT_EQ(unpack(stored.substr(3 + 65536), 100000 - 65536), packed_data_error);
}

TEST_F(PackedFile, WriteFailures) {
  write_file(dir / L"source", random_bytes(10000, 8));
  ASSERT_EQ(pack_file(dir / L"source", packed), packed_ok);
  {
    full_disk_after full(4096);
    EXPECT_EQ(pack_file(dir / L"source", dir / L"out"), packed_write_failed);
    EXPECT_EQ(unpack_file(packed, dir / L"out"), packed_write_failed);
  }
  // A device is no file to write: refused before a byte goes to it.
  if (file_exists(L"/dev/full")) {
    EXPECT_EQ(pack_file(dir / L"source", L"/dev/full"), packed_open_failed);
    EXPECT_EQ(unpack_file(packed, L"/dev/full"), packed_open_failed);
  }
}

// The real xz reads and writes the same raw stream with the same settings.
class PackedFileXz : public PackedFile {
 protected:
  void SetUp() override {
    if (std::system("xz --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no xz";
  }
  static std::string q(const std::wstring& path) { return "'" + native_path(path) + "'"; }
  static int xz(const std::string& arguments, const std::wstring& in, const std::wstring& out) {
    const std::string command =
        "xz --format=raw --lzma2=dict=16MiB,lc=3,lp=0,pb=2,mode=normal,nice=32,mf=bt4,depth=32 "
        "-T1 -c " +
        arguments + " < " + q(in) + " > " + q(out);
    return std::system(command.c_str());
  }
};

TEST_F(PackedFileXz, StreamsInteroperate) {
  const std::string data = repeated_content(3u << 20, 9) + random_bytes(100000, 10, true);
  const std::wstring source = dir / L"source";
  write_file(source, data);

  ASSERT_EQ(pack_file(source, packed), packed_ok);
  const std::string ours = read_file(packed);
  write_file(dir / L"stream", ours.substr(packed_header_size));
  ASSERT_EQ(xz("-d", dir / L"stream", dir / L"xz-out"), 0);
  EXPECT_TRUE(read_file(dir / L"xz-out") == data);

  ASSERT_EQ(xz("", source, dir / L"xz-stream"), 0);
  const std::string theirs = read_file(dir / L"xz-stream");
  // The same settings give the same stream from the same codec.
  EXPECT_TRUE(theirs == ours.substr(packed_header_size))
      << theirs.size() << " vs " << ours.size() - packed_header_size;
  ASSERT_EQ(unpack_bytes(header(data.size()) + theirs), packed_ok);
  EXPECT_TRUE(read_file(unpacked) == data);
  ASSERT_EQ(unpack_bytes(header(packed_size_unknown) + theirs), packed_ok);
  EXPECT_TRUE(read_file(unpacked) == data);
}

TEST_F(PackedFileXz, ReadsBlocks) {
  const std::string data = repeated_content(3u << 20, 33) + random_bytes(100000, 34, true);
  write_file(dir / L"source", data);
  file_packer packer;
  ASSERT_EQ(packer.pack(dir / L"source", packed, 1u << 20), packed_ok);
  write_file(dir / L"stream", read_file(packed).substr(packed_header_size));
  ASSERT_EQ(xz("-d", dir / L"stream", dir / L"xz-out"), 0);
  EXPECT_TRUE(read_file(dir / L"xz-out") == data);
}

#endif

}  // namespace
}  // namespace tsl
