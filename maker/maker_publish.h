// The per-file step of a maker run: reuse what an earlier run published
// when its copy is still intact, else publish the file anew into the next
// update's directory, packed or copied. The input is read once for its
// digest and the packer (or the copy), the published file is hashed as it
// is written, and a file whose stamp moved meanwhile is not published.
// Threading: a file_publication is worked on by one thread at a time. A
// publish_worker belongs to one thread; the publish_context is shared.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codec/chunker.h"
#include "codec/digest_stream.h"
#include "codec/packed_file.h"
#include "codec/sha1.h"
#include "maker/maker_layout.h"
#include "format/chunk_map.h"
#include "format/file_cache.h"
#include "util/byte_buffer.h"
#include "util/file_system.h"

namespace tsl {

// The digest texts of one file as the index states them; sha256 is empty
// unless the run signs.
using published_digests = digest_texts;

// What every file of a run shares, read-only but for the counter of
// temporary names.
class publish_context {
 public:
  publish_context(const maker_paths& paths, const maker_settings& settings,
                  const file_cache& old_cache);

  const maker_paths& paths() const { return paths_; }
  const maker_settings& settings() const { return settings_; }
  const file_cache& old_cache() const { return old_cache_; }

  // The directory of the run's temporary files inside `output`: emptied
  // when a run starts and removed when it ends, so that nothing half
  // written is left to be uploaded. Files are moved from it into place.
  const std::wstring& partial_directory() const { return partial_; }
  bool prepare_partial_directory() const;
  void remove_partial_directory() const;
  // A fresh name in that directory.
  std::wstring temporary();
  // For tests: called on the reading thread after every piece read from an
  // input file.
  std::function<void(const std::wstring& input_path)> read_observer;
  void observe_read(const std::wstring& input_path) const {
    if (read_observer) read_observer(input_path);
  }

 private:
  maker_paths paths_;
  maker_settings settings_;
  const file_cache& old_cache_;
  std::wstring partial_;
  std::atomic<uint32_t> temporaries_{0};
};

// What one worker thread owns: its coder (kept between files), a digest
// context and buffers.
struct publish_worker {
  file_packer packer;
  Sha1Context context;
  byte_buffer buffer;
  std::unique_ptr<uint8_t[]> piece;  // io_piece bytes, made on first use
};

// The other threads of a run, which a file being published can hand pieces
// of its work to (the blocks of a large file).
class work_helpers {
 public:
  virtual ~work_helpers() = default;
  // `piece` runs once, on some thread of the run, with that thread's worker.
  virtual void hand_out(std::function<void(publish_worker&)> piece) = 0;
  // Works on handed-out pieces (anyone's) with `worker` until `done()`
  // holds; `done` is asked under the helpers' lock, again after every piece
  // that ends.
  virtual void work_until(const std::function<bool()>& done, publish_worker& worker) = 0;
};

// The result of one file, applied by the run in queue order.
struct publish_outcome {
  std::vector<std::string> lines;  // console lines, each with its "\n"
  bool has_entry = false;
  bool anew = false;   // published in this run (not reused)
  json entry;          // the index entry
  uint64_t stamp = 0;  // the input's stamp as the entry describes it
  std::string cache_key;
  // The file could not get the memory to be published: the run must fail
  // rather than publish an index without it.
  bool out_of_memory = false;
};

// The console line of a file (or the index) that could not be packed, with
// the packer's code.
constexpr const char* packing_failed_line = "!!! Error packing file: %S (Code: %d)\n";

class file_publication {
 public:
  file_publication(publish_context& context, std::wstring input_path);
  file_publication(const file_publication&) = delete;
  file_publication& operator=(const file_publication&) = delete;

  // The reuse check and, failing it, the publication of the file; the
  // blocks of a large file go to `helpers` too.
  void begin(publish_worker& worker, work_helpers& helpers);
  // Ends the file with a "!!! " line instead (an exception escaped).
  void fail(const std::string& why, bool out_of_memory = false);

  publish_outcome& outcome() { return outcome_; }
  // Input bytes read so far, for the progress line; any thread may ask.
  uint64_t bytes_read() const { return bytes_read_; }

 private:
  template <typename... Args>
  void say(const char* format, const Args&... args);
  void publish(publish_worker& worker, work_helpers& helpers);
  bool reuse(publish_worker& worker);
  void publish_whole(publish_worker& worker);
  // A file of several blocks: each packed by whichever thread takes it,
  // the input digested meanwhile in one pass, the blocks joined in order.
  void publish_blocks(publish_worker& worker, work_helpers& helpers);
  struct block_work;
  void pack_one_block(publish_worker& worker, block_work& work, size_t block);
  // Reads the next `left` bytes of `from` for a packer, each piece digested
  // and counted as read.
  template <typename Digest>
  byte_source counted_range(file_handle& from, uint64_t& left, Digest& digest);
  // The one pass over the input while the blocks are packed: its digests,
  // and each block's SHA-1 in `seen`. False when it cannot be read whole.
  bool digest_input(const block_work& work, digest_stream& local, std::vector<std::string>& seen,
                    uint8_t* piece);
  // The packed file from the packed blocks (or groups of chunks) in
  // order, into `temporary`.
  int32_t join_blocks(const std::vector<std::wstring>& parts, const std::wstring& temporary,
                      uint8_t* piece, uint64_t& packed_size, published_digests& remote);
  // A file cut into chunks: one pass cuts and digests it and hands out
  // each group of chunks as it is complete; whichever thread takes a group
  // packs each of its chunks as a piece of its own. The chunk map goes out
  // beside the file, packed or copied.
  void publish_chunked(publish_worker& worker, work_helpers& helpers);
  struct chunk_group;
  struct chunk_work;
  void pack_group(publish_worker& worker, const chunk_work& work, chunk_group& group);
  // The chunk map of what was published, beside it; false (with its line
  // said) when it cannot be written.
  bool write_chunk_map(bool packed, json& entry);
  // The copy, reading the input from its start; `expected` is the digest
  // a packing pass found, or empty when the copy is the first read.
  void publish_copy(publish_worker& worker, const std::string& expected, bool first_read);
  // Keeps the packed file when packing paid, else copies the input.
  void settle_packed(publish_worker& worker, const std::wstring& temporary, uint64_t packed_size,
                     const published_digests& local, const published_digests& remote);
  void published(bool packed, const published_digests& local, uint64_t published_size,
                 const published_digests& remote);
  bool unchanged() const;
  void changed();
  void packing_failed(int32_t code);

  publish_context& context_;
  std::wstring input_path_;
  publish_names names_;
  publish_outcome outcome_;

  // Held open from the first read to the end of begin(): on Windows nobody
  // can write to the file meanwhile; on POSIX the identity tells when
  // someone did.
  file_handle input_;
  file_identity before_;
  uint64_t size_ = 0;
  // The chunks of a chunked file, their published lengths filled in as
  // they are packed (or copied).
  std::unique_ptr<chunk_map> chunks_;
  std::atomic<uint64_t> bytes_read_{0};
};

}  // namespace tsl
