// Driver of bench/delta_bench.py: what a launcher holding one version of a
// file would fetch to rebuild another from its chunk map, and how fast the
// chunker runs, without a host: the plan the launcher's rebuild
// (update/file_rebuild) follows: cut the installed file with the map's sizes, keep
// the chunks whose SHA-256 the map names, fetch the ranges of the others,
// ranges that touch joined into one request.
//   delta_plan plan <old file> <new map>     JSON: chunks, missing, ranges, bytes
//   delta_plan cut <file> <average> [digest] seconds to cut the file (and SHA-256 each chunk)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>

#include "codec/chunker.h"
#include "format/chunk_map.h"
#include "util/file_system.h"
#include "util/text.h"

namespace {

using namespace tsl;

byte_source read_from(file_handle& file) {
  return
      [&file](uint8_t* bytes, uint32_t room, uint32_t& got) { return file.read(bytes, room, got); };
}

struct digest_hash {
  size_t operator()(const std::string& digest) const {
    size_t h = 0;
    std::memcpy(&h, digest.data(), sizeof h);
    return h;
  }
};

int plan(const std::wstring& old_path, const std::wstring& map_path) {
  std::string map_bytes;
  chunk_map map;
  std::string why;
  if (!read_whole_file(map_path, map_bytes) || !parse_chunk_map(map_bytes, map, &why)) {
    std::fprintf(stderr, "delta_plan: bad map: %s\n", why.c_str());
    return 1;
  }
  std::unordered_set<std::string, digest_hash> have;
  file_handle old = file_handle::open_read(old_path);
  if (!old.is_open() ||
      !chunk_stream(read_from(old), map.header.sizes, [&have](const found_chunk& c) {
        have.emplace(reinterpret_cast<const char*>(c.sha256), sizeof c.sha256);
        return true;
      })) {
    std::fprintf(stderr, "delta_plan: cannot read the old file\n");
    return 1;
  }
  uint64_t missing = 0, bytes = 0, ranges = 0, end = UINT64_MAX;
  for (const chunk_entry& c : map.chunks) {
    if (have.count(std::string(reinterpret_cast<const char*>(c.sha256), sizeof c.sha256))) continue;
    ++missing;
    bytes += c.published_length;
    if (c.published_offset != end) ++ranges;
    end = c.published_offset + c.published_length;
  }
  std::printf(
      "{\"chunks\": %llu, \"missing\": %llu, \"ranges\": %llu, \"bytes\": %llu, "
      "\"map_bytes\": %llu, \"file_size\": %llu, \"published_size\": %llu}\n",
      static_cast<unsigned long long>(map.chunks.size()), static_cast<unsigned long long>(missing),
      static_cast<unsigned long long>(ranges), static_cast<unsigned long long>(bytes),
      static_cast<unsigned long long>(map_bytes.size()),
      static_cast<unsigned long long>(map.header.file_size),
      static_cast<unsigned long long>(map.header.published_size));
  return 0;
}

int cut(const std::wstring& path, uint32_t average, bool digest) {
  file_handle file = file_handle::open_read(path);
  if (!file.is_open()) return 1;
  const auto start = std::chrono::steady_clock::now();
  uint64_t count = 0;
  if (digest) {
    if (!chunk_stream(read_from(file), chunk_sizes_of(average), [&count](const found_chunk&) {
          ++count;
          return true;
        })) {
      return 1;
    }
  } else {
    chunker c(chunk_sizes_of(average));
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[1 << 20]);
    for (;;) {
      uint32_t got = 0;
      if (!file.read(buffer.get(), 1 << 20, got)) return 1;
      if (got == 0) break;
      for (size_t done = 0; done < got;) {
        bool ended = false;
        done += c.scan(buffer.get() + done, got - done, ended);
        count += ended;
      }
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.4f %llu\n", seconds, static_cast<unsigned long long>(count));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "plan") {
    return plan(utf8_to_wide(argv[2]), utf8_to_wide(argv[3]));
  }
  if ((argc == 4 || argc == 5) && std::string(argv[1]) == "cut") {
    return cut(utf8_to_wide(argv[2]), static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)),
               argc == 5);
  }
  std::fprintf(stderr,
               "usage: delta_plan plan <old file> <new map>\n"
               "       delta_plan cut <file> <average> [digest]\n");
  return 2;
}
