// Driver of bench/codec_bench.sh: runs one codec operation on a file and
// prints its elapsed seconds, or writes the generated test corpus.
//   codec_bench generate <file> <MiB> [seed]
//   codec_bench digest <file> [portable]
//   codec_bench pack <source> <destination>
//   codec_bench unpack <source> <destination>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/packed_file.h"
#include "codec/sha1.h"
#include "util/byte_buffer.h"
#include "util/file_system.h"
#include "util/text.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

struct xorshift {
  uint64_t s;
  uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
};

// One 1 MiB block of a game-like install: script and config text, mesh-like
// records of slowly varying numbers, and already-compressed media (random).
void fill_block(std::vector<uint8_t>& block, xorshift& rng, int kind) {
  static const char* words[] = {"texture", "mesh", "level", "sound", "alpha", "shader",
                                "bone",    "npc",  "quest", "item",  "=",     "\n",
                                "{",       "}",    "0.5",   "true",  "name",  "id"};
  size_t i = 0;
  switch (kind) {
    case 0:  // text
      while (i < block.size()) {
        const char* w = words[rng.next() % (sizeof words / sizeof *words)];
        for (; *w && i < block.size(); ++w) block[i++] = static_cast<uint8_t>(*w);
        if (i < block.size()) block[i++] = ' ';
      }
      break;
    case 1: {  // records: floats that drift, small indices
      float x = 0, y = 0, z = 0;
      while (i + 16 <= block.size()) {
        x += static_cast<float>(rng.next() % 200) / 1000.f - 0.1f;
        y += static_cast<float>(rng.next() % 200) / 1000.f - 0.1f;
        z += 0.01f;
        const uint32_t index = static_cast<uint32_t>(i / 16 + rng.next() % 4);
        std::memcpy(&block[i], &x, 4);
        std::memcpy(&block[i + 4], &y, 4);
        std::memcpy(&block[i + 8], &z, 4);
        std::memcpy(&block[i + 12], &index, 4);
        i += 16;
      }
      for (; i < block.size(); ++i) block[i] = 0;
      break;
    }
    default:  // compressed media
      for (; i + 8 <= block.size(); i += 8) {
        const uint64_t v = rng.next();
        std::memcpy(&block[i], &v, 8);
      }
      for (; i < block.size(); ++i) block[i] = static_cast<uint8_t>(rng.next());
      break;
  }
}

int generate(const std::wstring& path, uint64_t mib, uint64_t seed) {
  std::FILE* f = tsl::open_c_file(path, "wb");
  if (!f) return 1;
  xorshift rng{seed * 0x9E3779B97F4A7C15ULL + 1};
  std::vector<uint8_t> block(1u << 20);
  for (uint64_t b = 0; b < mib; ++b) {
    // Roughly 40% text, 30% records, 30% media, in runs of a few MiB.
    const uint64_t r = (rng.next() >> 8) % 10;
    const int kind = r < 4 ? 0 : r < 7 ? 1 : 2;
    fill_block(block, rng, kind);
    if (std::fwrite(block.data(), 1, block.size(), f) != block.size()) {
      std::fclose(f);
      return 1;
    }
  }
  return std::fclose(f) == 0 ? 0 : 1;
}

int usage() {
  std::fprintf(stderr,
               "usage: codec_bench generate <file> <MiB> [seed]\n"
               "       codec_bench digest <file> [portable]\n"
               "       codec_bench pack|unpack <source> <destination>\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string op = argv[1];
  const std::wstring first = tsl::utf8_to_wide(argv[2]);

  if (op == "generate") {
    if (argc < 4) return usage();
    return generate(first, std::strtoull(argv[3], nullptr, 10),
                    argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1);
  }
  if (op == "digest") {
    if (argc > 3 && std::string(argv[3]) == "portable") tsl::sha1_force_portable(true);
    tsl::Sha1Context context;
    tsl::byte_buffer buffer;
    const auto start = clock_type::now();
    const std::string text = tsl::file_digest(first, context, buffer);
    const double elapsed = seconds_since(start);
    std::printf("%.6f %s %s\n", elapsed, text.empty() ? "-" : text.c_str(),
                tsl::sha1_uses_cpu_instructions() ? "sha-instructions" : "portable");
    return text.empty() ? 1 : 0;
  }
  if (op == "pack" || op == "unpack") {
    if (argc < 4) return usage();
    const std::wstring second = tsl::utf8_to_wide(argv[3]);
    const auto start = clock_type::now();
    const int32_t code =
        op == "pack" ? tsl::pack_file(first, second) : tsl::unpack_file(first, second);
    const double elapsed = seconds_since(start);
    std::printf("%.6f %d\n", elapsed, static_cast<int>(code));
    return code == 0 ? 0 : 1;
  }
  return usage();
}
