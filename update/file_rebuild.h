// A changed file rebuilt from the installed version and the chunk map of
// the new one (format/chunk_map.h): the chunks the installed file already
// holds are copied from it, the others fetched as byte ranges of the
// published file, each decoded alone and checked against the map, and the
// whole verified as a download is.
// Threading: one call per thread; the fetch runs on the caller's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "update/update_task.h"

namespace tsl {

// Brings `remote` (below the update base URL, as an entry's "r") into
// `path`: the whole body, at most `limit` bytes, when `length` is 0, else
// exactly its bytes [first, first + length) from a host that serves ranges.
// False with `why` when it could not.
using rebuild_fetch =
    std::function<bool(const std::string& remote, uint64_t first, uint64_t length, uint64_t limit,
                       const std::wstring& path, std::string& why)>;

struct rebuild_outcome {
  bool ok = false;
  std::string why;        // when not ok
  uint64_t reused = 0;    // bytes copied from the installed file
  uint64_t fetched = 0;   // published bytes asked for in ranges
  uint32_t requests = 0;  // range requests
};

// What keeps a rebuild's memory bounded whatever the file's size: the
// installed file's chunks it remembers (a file with more is fetched
// whole), and the published bytes and chunks one request asks for.
constexpr uint64_t rebuild_chunk_memory = 16u << 20;
constexpr uint64_t rebuild_request_bytes = 16u << 20;
constexpr size_t rebuild_request_chunks = 4096;

// Rebuilds the file of `task` into its unpack_path. The map and the ranges
// pass through its map_local_path and range_path, which are gone again
// when this returns; so is the unpack_path unless the outcome is ok.
// `cancelled` is asked between steps.
rebuild_outcome rebuild_file(const update_task& task, const rebuild_fetch& fetch,
                             const std::function<bool()>& cancelled, task_hasher& hasher);

}  // namespace tsl
