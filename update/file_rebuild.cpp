#include "update/file_rebuild.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/chunker.h"
#include "codec/packed_file.h"
#include "codec/signature.h"
#include "format/chunk_map.h"
#include "util/file_system.h"
#include "util/text.h"

namespace tsl {

namespace {

constexpr uint32_t copy_buffer_size = 64u << 10;

// A chunk of the installed file, found again by its digest and length.
struct old_chunk {
  uint8_t sha256[32];
  uint64_t offset;
  uint64_t length;
};

bool chunk_less(const old_chunk& a, const old_chunk& b) {
  const int order = std::memcmp(a.sha256, b.sha256, sizeof a.sha256);
  return order != 0 ? order < 0 : a.length < b.length;
}

byte_source source_of(file_handle& file) {
  return
      [&file](uint8_t* bytes, uint32_t room, uint32_t& got) { return file.read(bytes, room, got); };
}

// Everything that must be undone when the rebuild fails, and the files that
// go either way.
class rebuild_run {
 public:
  rebuild_run(const update_task& task, const rebuild_fetch& fetch,
              const std::function<bool()>& cancelled, task_hasher& hasher)
      : task_(task), fetch_(fetch), cancelled_(cancelled), hasher_(hasher) {}
  ~rebuild_run() {
    out_.close();
    old_.close();
    delete_file(task_.map_local_path);
    delete_file(task_.range_path);
    if (!result_.ok) delete_file(task_.unpack_path);
  }

  rebuild_outcome run() {
    if (fetch_map() && check_map() && cut_old_file() && build() && verify()) result_.ok = true;
    return result_;
  }

 private:
  bool fail(std::string why) {
    if (result_.why.empty()) result_.why = std::move(why);
    return false;
  }

  bool fetch_map() {
    std::string why;
    if (!fetch_(task_.map_remote, 0, 0, task_.map_size, task_.map_local_path, why)) {
      return fail("map not fetched: " + why);
    }
    // Nothing of the map is read before the index vouches for its bytes.
    uint64_t size = 0, time = 0;
    if (!query_file_info(task_.map_local_path, size, time) || size != task_.map_size ||
        !equals_ignore_case(hasher_.digest(task_.map_local_path, false), task_.map_sha1) ||
        ((task_.sha256 || !task_.map_sha256.empty()) &&
         !equals_ignore_case(hasher_.digest(task_.map_local_path, true), task_.map_sha256))) {
      return fail("map does not match its digest");
    }
    return true;
  }

  bool open_map(file_handle& file, chunk_map_reader& reader) {
    file = file_handle::open_read(task_.map_local_path);
    std::string why;
    if (!file.is_open()) return fail("map unreadable");
    if (!reader.begin(source_of(file), task_.map_size, &why)) return fail("map refused: " + why);
    return true;
  }

  // The reader checks the totals with the last chunk: the map is read
  // through once before anything acts on it.
  bool check_map() {
    file_handle file;
    chunk_map_reader reader;
    if (!open_map(file, reader)) return false;
    const chunk_map_header& header = reader.header();
    const bool packed = task_.pack == "lzma2";
    if (header.file_size != task_.local_size || header.published_size != task_.remote_size ||
        header.form != (packed ? published_form::packed : published_form::copied)) {
      return fail("map does not describe the entry's file");
    }
    sizes_ = header.sizes;
    chunk_entry chunk;
    std::string why;
    while (reader.next(chunk, &why)) {
      if (cancelled_()) return fail("cancelled");
    }
    if (!why.empty()) return fail("map refused: " + why);
    return true;
  }

  bool cut_old_file() {
    old_ = file_handle::open_read(task_.old_path);
    if (!old_.is_open()) return fail("installed file unreadable");
    const size_t most = rebuild_chunk_memory / sizeof(old_chunk);
    bool too_many = false;
    const bool cut = chunk_stream(source_of(old_), sizes_, [&](const found_chunk& found) {
      if (old_chunks_.size() >= most) {
        too_many = true;
        return false;
      }
      old_chunk chunk;
      std::memcpy(chunk.sha256, found.sha256, sizeof chunk.sha256);
      chunk.offset = found.offset;
      chunk.length = found.length;
      old_chunks_.push_back(chunk);
      return !cancelled_();
    });
    if (too_many) return fail("installed file has too many chunks");
    if (!cut) return fail(cancelled_() ? "cancelled" : "installed file unreadable");
    std::sort(old_chunks_.begin(), old_chunks_.end(), chunk_less);
    return true;
  }

  const old_chunk* find_old(const chunk_entry& chunk) const {
    old_chunk key;
    std::memcpy(key.sha256, chunk.sha256, sizeof key.sha256);
    key.length = chunk.length;
    auto it = std::lower_bound(old_chunks_.begin(), old_chunks_.end(), key, chunk_less);
    if (it == old_chunks_.end() || chunk_less(key, *it)) return nullptr;
    return &*it;
  }

  bool write(const uint8_t* bytes, size_t n) {
    hasher_.add(bytes, n);
    written_ += n;
    return out_.write_all(bytes, n) || fail("write failed");
  }

  bool copy_old(const old_chunk& chunk) {
    if (!old_.seek(chunk.offset)) return fail("installed file unreadable");
    uint64_t left = chunk.length;
    while (left) {
      uint32_t got = 0;
      if (!old_.read(buffer_.get(),
                     static_cast<uint32_t>(std::min<uint64_t>(left, copy_buffer_size)), got) ||
          got == 0) {
        return fail("installed file unreadable");
      }
      if (!write(buffer_.get(), got)) return false;
      left -= got;
    }
    result_.reused += chunk.length;
    return true;
  }

  // One request for the consecutive chunks the installed file lacks, then
  // each decoded alone and checked before it is written.
  bool fetch_group() {
    if (group_.empty()) return true;
    if (cancelled_()) return fail("cancelled");
    const uint64_t first = group_.front().published_offset;
    const uint64_t length = group_.back().published_offset + group_.back().published_length - first;
    std::string why;
    if (!fetch_(task_.remote_path, first, length, length, task_.range_path, why)) {
      return fail("range not fetched: " + why);
    }
    ++result_.requests;
    result_.fetched += length;
    file_handle range = file_handle::open_read(task_.range_path);
    if (!range.is_open()) return fail("range unreadable");
    const byte_source source = source_of(range);
    for (const chunk_entry& chunk : group_) {
      sha256_stream digest;
      bool wrote = true;
      const byte_sink sink = [&](const uint8_t* bytes, size_t n) {
        digest.add(bytes, n);
        wrote = write(bytes, n);
        return wrote;
      };
      bool decoded = false;
      if (task_.pack == "lzma2") {
        decoded = unpack_piece(source, chunk.published_length, chunk.length, sink) == packed_ok;
      } else if (chunk.published_length == chunk.length) {
        decoded = copy_from(source, chunk.length, sink);
      }
      if (!wrote) return false;
      uint8_t got[32];
      digest.finish(got);
      if (!decoded || std::memcmp(got, chunk.sha256, sizeof got) != 0) {
        return fail(format_narrow("chunk at %u does not match the map", chunk.offset));
      }
    }
    group_.clear();
    group_bytes_ = 0;
    return true;
  }

  bool copy_from(const byte_source& source, uint64_t left, const byte_sink& sink) {
    while (left) {
      uint32_t got = 0;
      if (!source(buffer_.get(), static_cast<uint32_t>(std::min<uint64_t>(left, copy_buffer_size)),
                  got) ||
          got == 0 || !sink(buffer_.get(), got)) {
        return false;
      }
      left -= got;
    }
    return true;
  }

  // The new file in the map's order: runs of copies and of fetched chunks.
  bool build() {
    file_handle map_file;
    chunk_map_reader reader;
    if (!open_map(map_file, reader)) return false;
    out_ = file_handle::create_write(task_.unpack_path);
    if (!out_.is_open()) return fail("cannot write the rebuilt file");
    buffer_.reset(new uint8_t[copy_buffer_size]);
    hasher_.begin(task_.sha256);
    chunk_entry chunk;
    std::string why;
    while (reader.next(chunk, &why)) {
      if (const old_chunk* old = find_old(chunk)) {
        if (!fetch_group() || !copy_old(*old)) return false;
        continue;
      }
      if ((group_bytes_ + chunk.published_length > rebuild_request_bytes ||
           group_.size() >= rebuild_request_chunks) &&
          !fetch_group()) {
        return false;
      }
      group_.push_back(chunk);
      group_bytes_ += chunk.published_length;
    }
    if (!why.empty()) return fail("map refused: " + why);
    if (!fetch_group()) return false;
    if (!out_.flush()) return fail("write failed");
    out_.close();
    return true;
  }

  bool verify() {
    if (written_ != task_.local_size || !equals_ignore_case(hasher_.finish(), task_.local_digest)) {
      return fail("rebuilt file has the wrong digest");
    }
    return true;
  }

  const update_task& task_;
  const rebuild_fetch& fetch_;
  const std::function<bool()>& cancelled_;
  task_hasher& hasher_;
  rebuild_outcome result_;
  chunk_sizes sizes_;
  std::vector<old_chunk> old_chunks_;
  std::vector<chunk_entry> group_;  // missing chunks of the next request
  uint64_t group_bytes_ = 0;
  file_handle old_;
  file_handle out_;
  uint64_t written_ = 0;
  std::unique_ptr<uint8_t[]> buffer_;
};

}  // namespace

rebuild_outcome rebuild_file(const update_task& task, const rebuild_fetch& fetch,
                             const std::function<bool()>& cancelled, task_hasher& hasher) {
  return rebuild_run(task, fetch, cancelled, hasher).run();
}

}  // namespace tsl
