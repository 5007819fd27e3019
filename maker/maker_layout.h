// Where a maker run finds its files and puts what it publishes: the four
// working paths, the settings read from config.json, and the names derived
// from one input file.
// Threading: reentrant.
#pragma once

#include <cstdint>
#include <string>

#include "codec/chunker.h"
#include "codec/packed_file.h"

#include "format/documents.h"

namespace tsl {

// The working paths, all directly in one base directory.
struct maker_paths {
  std::wstring input;
  std::wstring output;
  std::wstring config;
  std::wstring cache;
  std::wstring signing_key;     // signing.key: private, never published
  std::wstring signing_public;  // signing.pub

  static maker_paths beside(const std::wstring& base_directory);
};

// The average chunk, chosen by measurement (bench/delta_bench.py): large
// enough that packing chunk by chunk costs little against packing whole,
// small enough that a change in many places fetches little around each.
constexpr uint32_t default_chunk_average = 256u << 10;

struct maker_settings {
  bool optimize = true;
  uint32_t minimum_size = 16384;
  int32_t optimize_threshold = 85;
  uint32_t current_version = 0;
  uint32_t next_version = 0;
  // Files worked on at once; 0 for the machine's choice (default_thread_count).
  uint32_t threads = 0;
  // Not a setting of config.json: the published bytes depend on it, so
  // only tests lower it. Chunked files are packed in groups of chunks of
  // about this size, one group at a time per thread.
  uint64_t block_size = packed_block_size;
  // The average chunk of files cut into chunks (maker.packer.chunk_size);
  // 0 packs every file whole as one stream, without a chunk map.
  uint32_t chunk_average = default_chunk_average;
  // Set when the run signs what it publishes: every entry then carries
  // SHA-256 digests too.
  bool sha256 = false;
};

// Files of at least so many average chunks are cut into chunks and get a
// chunk map; smaller ones gain too little from it to pay for the packed
// bytes that chunking costs.
constexpr uint32_t chunked_file_chunks = 4;
// Whether a file of `size` bytes is cut into chunks under `settings`.
bool chunked_file(uint64_t size, const maker_settings& settings);

// The built-in configuration with the given client.guid.
json default_config_document(const std::string& guid);

// Reads the settings in their fixed order through the inserting member
// access, so a missing or mistyped member raises the JSON library's
// type_error (its what() is what the operator sees).
maker_settings read_maker_settings(json& config);

// The threads a run uses when config.json leaves it to the machine: one per
// hardware thread, fewer when `available_memory` bytes (0: unknown) cannot
// hold a coder for each.
uint32_t default_thread_count(uint32_t hardware_threads, uint64_t available_memory);
constexpr uint32_t maximum_threads = 1024;
constexpr uint64_t memory_per_thread = 256ull << 20;  // a coder and its buffers, rounded up

// The packing decision once a file was packed: keep the packed form?
bool retain_packed(const std::wstring& relative_path, uint64_t input_size, uint64_t packed_size,
                   const maker_settings& settings);

// Names derived from one input file.
struct publish_names {
  std::wstring relative;     // letters as in the input name, '\' separators
  std::wstring key_path;     // relative, lower-cased (A-Z only)
  std::wstring output_path;  // output\N\key_path
  std::wstring packed_path;  // output_path + ".lzma2"
  std::string remote;        // "N/key/path" with blanks as %20, UTF-8, no ".lzma2"
  std::string cache_key;     // key_path in UTF-8
};
publish_names derive_names(const maker_paths& paths, const std::wstring& input_path,
                           uint32_t next_version);

// A chunk map lies beside its published file, named after it with this.
constexpr const wchar_t* chunk_map_suffix = L".chunkmap";

// Whether the last component of `path` is short enough for every file
// system the output may be copied to (255 UTF-16 units).
bool name_fits(const std::wstring& path);

// The published copy that an index entry's "r" names, below `output`; empty
// when "r" is not a safe relative path.
std::wstring published_copy_path(const std::wstring& output, const std::string& remote);

}  // namespace tsl
