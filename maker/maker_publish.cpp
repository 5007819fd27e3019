#include "maker/maker_publish.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <utility>

#include "codec/signature.h"
#include "util/text.h"

namespace tsl {

namespace {

constexpr uint32_t piece_size = 4u << 20;

// SHA-1 always, SHA-256 too when the run signs.
digest_stream::kinds published_kinds(bool sha256) {
  return sha256 ? digest_stream::both : digest_stream::sha1;
}

// A file written in pieces, hashed as it is written.
class hashed_writer {
 public:
  hashed_writer(const std::wstring& path, bool sha256)
      : file_(file_handle::create_write(path)), hashes_(published_kinds(sha256)) {}
  bool is_open() const { return file_.is_open(); }
  bool write(const uint8_t* bytes, size_t size) {
    if (!file_.write_all(bytes, size)) return false;
    hashes_.add(bytes, size);
    return true;
  }
  void close() { file_.close(); }
  uint64_t written() const { return hashes_.count(); }
  published_digests digests() { return hashes_.finish(); }

 private:
  file_handle file_;
  digest_stream hashes_;
};

bool has_string(const json& object, const char* key) {
  auto member = object.find(key);
  return member != object.end() && member->is_string();
}

uint8_t* piece_of(publish_worker& worker) {
  if (!worker.piece) worker.piece.reset(new uint8_t[piece_size]);
  return worker.piece.get();
}

}  // namespace

publish_context::publish_context(const maker_paths& paths, const maker_settings& settings,
                                 const file_cache& old_cache)
    : paths_(paths),
      settings_(settings),
      old_cache_(old_cache),
      partial_(join_path(paths.output, L".partial")) {}

bool publish_context::prepare_partial_directory() const {
  // What a run that was killed left behind goes first.
  remove_directory_tree(partial_, true);
  delete_file(partial_);
  return create_directories(partial_);
}

void publish_context::remove_partial_directory() const { remove_directory_tree(partial_, true); }

std::wstring publish_context::temporary() {
  return join_path(partial_, std::to_wstring(temporaries_.fetch_add(1) + 1) + L".part");
}

file_publication::file_publication(publish_context& context, std::wstring input_path)
    : context_(context),
      input_path_(std::move(input_path)),
      names_(derive_names(context.paths(), input_path_, context.settings().next_version)) {
  outcome_.cache_key = names_.cache_key;
}

template <typename... Args>
void file_publication::say(const char* format, const Args&... args) {
  outcome_.lines.push_back(format_narrow(format, args...));
}

void file_publication::fail(const std::string& why, bool out_of_memory) {
  input_.close();
  outcome_.has_entry = false;
  outcome_.anew = false;
  outcome_.out_of_memory = out_of_memory;
  say("!!! Error publishing file: %S (%s)\n", input_path_, why);
}

void file_publication::begin(publish_worker& worker, work_helpers& helpers) {
  publish(worker, helpers);
  // Results wait to be taken in queue order, maybe long after: the input
  // is not held open meanwhile, or a large tree would run out of handles.
  input_.close();
}

void file_publication::publish(publish_worker& worker, work_helpers& helpers) {
  if (reuse(worker)) return;
  say("Processing: %S\n", names_.relative);
  delete_file(names_.output_path);
  delete_file(names_.packed_path);

  // A file that cannot be opened has no size and no digest: it cannot be
  // copied either.
  input_ = file_handle::open_read(input_path_);
  if (!input_.is_open() || !input_.identity(before_)) {
    say("!!! Error copy: %S\n", input_path_);
    return;
  }
  size_ = before_.size;
  outcome_.stamp = before_.size ^ before_.write_time;

  const maker_settings& settings = context_.settings();
  // A name that would pass 255 units with ".lzma2" could not be written:
  // such a file is copied.
  const bool pack = size_ >= settings.minimum_size && name_fits(names_.packed_path);
  if (!create_directories(directory_of(names_.output_path))) {
    if (pack) {
      packing_failed(packed_open_failed);
    } else {
      say("!!! Error copy: %S\n", input_path_);
    }
    return;
  }
  if (pack && chunked_file(size_, settings)) {
    publish_chunked(worker, helpers);
  } else if (pack && size_ > settings.block_size) {
    publish_blocks(worker, helpers);
  } else if (pack) {
    publish_whole(worker);
  } else {
    publish_copy(worker, std::string(), true);
  }
}

bool file_publication::reuse(publish_worker& worker) {
  uint64_t stamp = 0;
  json data;
  if (!file_stamp(input_path_, stamp) ||
      !context_.old_cache().lookup_stamp(names_.cache_key, stamp, &data)) {
    return false;
  }
  // Anything but an entry this maker wrote is a miss.
  if (!data.is_object()) return false;
  auto remote = data.find("r");
  auto version = data.find("u");
  if (remote == data.end() || !remote->is_string() || version == data.end() ||
      !version->is_number_unsigned()) {
    return false;
  }
  // A signed index binds each file by SHA-256: an entry from an unsigned
  // run lacks it, and the file is published again to get it.
  const bool packed = data.contains("r_pack");
  const bool mapped = data.contains("m");
  if (context_.settings().sha256 &&
      (!has_string(data, "l_sha256") || (packed && !has_string(data, "r_sha256")) ||
       (mapped && !has_string(data, "m_sha256")))) {
    return false;
  }
  const std::string& r = remote->get_ref<const std::string&>();
  const std::wstring copy = published_copy_path(context_.paths().output, r);
  auto expected = data.find(packed ? "r_sha1" : "l_sha1");
  auto size = data.find("r_size");
  // An empty file's digest is the empty text, so the digest alone cannot
  // tell a missing copy from an intact one: it must exist, at its size.
  const auto intact = [&worker](const std::wstring& path, json::const_iterator digest,
                                json::const_iterator size, json::const_iterator end) {
    uint64_t held = 0, time = 0;
    return !path.empty() && digest != end && digest->is_string() &&
           query_file_info(path, held, time) &&
           (size == end || !size->is_number_unsigned() || size->get<uint64_t>() == held) &&
           file_digest(path, worker.context, worker.buffer) ==
               digest->get_ref<const std::string&>();
  };
  if (!intact(copy, expected, size, data.end())) {
    say("Checksum mismatch for output file: %S\n",
        copy.empty() ? join_path(context_.paths().output, utf8_to_wide(r)) : copy);
    return false;
  }
  // The chunk map must be there as the entry states it, or a launcher that
  // trusts it would fetch ranges of another file.
  if (mapped) {
    auto map = data.find("m");
    const std::string m = map->is_string() ? map->get<std::string>() : std::string();
    const std::wstring map_copy = published_copy_path(context_.paths().output, m);
    auto map_size = data.find("m_size");
    if (map_size == data.end() || !intact(map_copy, data.find("m_sha1"), map_size, data.end())) {
      say("Checksum mismatch for output file: %S\n",
          map_copy.empty() ? join_path(context_.paths().output, utf8_to_wide(m)) : map_copy);
      return false;
    }
  }
  say("Using cached: %s\n", r);
  outcome_.has_entry = true;
  outcome_.entry = std::move(data);
  outcome_.stamp = stamp;
  return true;
}

bool file_publication::unchanged() const {
  file_identity now;
  return file_identity_of(input_path_, now) && now == before_;
}

void file_publication::changed() { say("!!! File changed while publishing: %S\n", input_path_); }

void file_publication::packing_failed(int32_t code) {
  // A file that found no memory is no file to leave out: the run fails.
  if (code == packed_out_of_memory) outcome_.out_of_memory = true;
  say(packing_failed_line, input_path_, code);
}

void file_publication::publish_whole(publish_worker& worker) {
  const std::wstring temporary = context_.temporary();
  digest_stream local(published_kinds(context_.settings().sha256));
  int32_t code = packed_ok;
  published_digests remote;
  uint64_t packed_size = 0;
  {
    hashed_writer out(temporary, context_.settings().sha256);
    if (!out.is_open()) {
      code = packed_open_failed;
    } else {
      uint8_t header[packed_header_size];
      packed_header(size_, header);
      const byte_source source = [this, &local](uint8_t* bytes, uint32_t room, uint32_t& got) {
        if (!input_.read(bytes, room, got)) return false;
        local.add(bytes, got);
        bytes_read_ += got;
        context_.observe_read(input_path_);
        return true;
      };
      const byte_sink sink = [&out](const uint8_t* bytes, size_t n) { return out.write(bytes, n); };
      if (!out.write(header, sizeof header)) code = packed_write_failed;
      if (code == packed_ok) {
        code = worker.packer.pack_block(source, sink, context_.settings().block_size);
      }
      if (code == packed_ok && !out.write(&lzma2_end_byte, 1)) code = packed_write_failed;
      packed_size = out.written();
      remote = out.digests();
      out.close();
    }
  }
  if (code != packed_ok) {
    delete_file(temporary);
    packing_failed(code);
    return;
  }
  if (local.count() != size_ || !unchanged()) {
    delete_file(temporary);
    changed();
    return;
  }
  settle_packed(worker, temporary, packed_size, local.finish(), remote);
}

// What the blocks of one file share. Each block's slots are written by the
// thread that packs it, before it counts itself in `finished`; the owner
// reads them once all have.
struct file_publication::block_work {
  uint64_t block_size = 0;
  size_t blocks = 0;
  std::vector<std::wstring> temporaries;
  std::vector<int32_t> codes;
  std::vector<uint64_t> read;
  std::vector<std::string> digests;  // of the input bytes each block packed
  std::atomic<size_t> finished{0};
};

template <typename Digest>
byte_source file_publication::counted_range(file_handle& from, uint64_t& left, Digest& digest) {
  return [this, &from, &left, &digest](uint8_t* bytes, uint32_t room, uint32_t& got) {
    got = 0;
    if (left == 0) return true;
    if (!from.read(bytes, static_cast<uint32_t>(std::min<uint64_t>(room, left)), got)) {
      return false;
    }
    left -= got;
    digest.add(bytes, got);
    bytes_read_ += got;
    context_.observe_read(input_path_);
    return true;
  };
}

void file_publication::pack_one_block(publish_worker& worker, block_work& work, size_t block) {
  const uint64_t start = block * work.block_size;
  uint64_t left = std::min<uint64_t>(work.block_size, size_ - start);
  digest_stream input;
  int32_t code = packed_ok;
  // Counted in `finished` whatever happens: the owner waits for it.
  try {
    // A handle of its own: blocks are read at once on several threads.
    file_handle from = file_handle::open_read(input_path_);
    hashed_writer out(work.temporaries[block], false);
    if (!from.is_open() || !out.is_open()) {
      code = packed_open_failed;
    } else if (!from.seek(start)) {
      code = packed_read_failed;
    } else {
      const byte_source source = counted_range(from, left, input);
      const byte_sink sink = [&out](const uint8_t* bytes, size_t n) { return out.write(bytes, n); };
      code = worker.packer.pack_block(source, sink, work.block_size);
    }
    out.close();
    work.read[block] = input.count();
    work.digests[block] = input.finish().sha1;
  } catch (const std::exception&) {
    code = packed_out_of_memory;  // all that can throw here is an allocation
  }
  work.codes[block] = code;
  work.finished += 1;
}

void file_publication::publish_blocks(publish_worker& worker, work_helpers& helpers) {
  auto work = std::make_shared<block_work>();
  work->block_size = context_.settings().block_size;
  work->blocks = static_cast<size_t>((uint64_t{size_} - 1) / work->block_size + 1);
  work->codes.assign(work->blocks, packed_ok);
  work->read.assign(work->blocks, 0);
  work->digests.resize(work->blocks);
  for (size_t block = 0; block < work->blocks; ++block) {
    work->temporaries.push_back(context_.temporary());
  }
  std::vector<std::string> seen(work->blocks);
  uint8_t* piece = piece_of(worker);

  // Pieces handed out use this publication: however this function is
  // left, it waits for every one of them first.
  struct wait_for_blocks {
    work_helpers& helpers;
    publish_worker& worker;
    block_work& work;
    size_t handed = 0;
    ~wait_for_blocks() {
      const size_t n = handed;
      if (n) helpers.work_until([this, n] { return work.finished >= n; }, worker);
    }
  } pending{helpers, worker, *work};
  for (size_t block = 0; block < work->blocks; ++block) {
    // The piece holds the shared state: it may still be releasing it when
    // the owner has moved on.
    helpers.hand_out(
        [this, work, block](publish_worker& helper) { pack_one_block(helper, *work, block); });
    pending.handed += 1;
  }

  digest_stream local(published_kinds(context_.settings().sha256));
  const bool read_ok = digest_input(*work, local, seen, piece);
  const size_t blocks = work->blocks;
  helpers.work_until([&work, blocks] { return work->finished == blocks; }, worker);
  pending.handed = 0;  // all done: nothing left to wait for

  int32_t code = packed_ok;
  bool same = read_ok;
  for (size_t block = 0; block < work->blocks; ++block) {
    const uint64_t expected =
        std::min<uint64_t>(work->block_size, size_ - block * work->block_size);
    if (code == packed_ok) code = work->codes[block];
    if (work->read[block] != expected || work->digests[block] != seen[block]) same = false;
  }
  const auto drop_blocks = [&work] {
    for (const auto& temporary : work->temporaries) delete_file(temporary);
  };
  if (code != packed_ok) {
    drop_blocks();
    packing_failed(code);
    return;
  }
  if (!same || !unchanged()) {
    drop_blocks();
    changed();
    return;
  }

  const std::wstring temporary = context_.temporary();
  published_digests remote;
  uint64_t packed_size = 0;
  code = join_blocks(work->temporaries, temporary, piece, packed_size, remote);
  drop_blocks();
  if (code != packed_ok) {
    delete_file(temporary);
    packing_failed(code);
    return;
  }
  settle_packed(worker, temporary, packed_size, local.finish(), remote);
}

bool file_publication::digest_input(const block_work& work, digest_stream& local,
                                    std::vector<std::string>& seen, uint8_t* piece) {
  // The digest of the whole input in one pass while the blocks are packed,
  // with the digest of each block's bytes: a block that packed other bytes
  // than this pass read means the file changed in between.
  if (!input_.seek(0)) return false;
  for (size_t block = 0; block < work.blocks; ++block) {
    digest_stream part;
    uint64_t left = std::min<uint64_t>(work.block_size, size_ - block * work.block_size);
    while (left > 0) {
      uint32_t got = 0;
      if (!input_.read(piece, static_cast<uint32_t>(std::min<uint64_t>(left, piece_size)), got) ||
          got == 0) {
        return false;
      }
      local.add(piece, got);
      part.add(piece, got);
      left -= got;
    }
    seen[block] = part.finish().sha1;
  }
  // And nothing after the size it had.
  uint32_t more = 0;
  return input_.read(piece, 1, more) && more == 0;
}

int32_t file_publication::join_blocks(const std::vector<std::wstring>& parts,
                                      const std::wstring& temporary, uint8_t* piece,
                                      uint64_t& packed_size, published_digests& remote) {
  // Header, the blocks in order, the end byte.
  int32_t code = packed_ok;
  hashed_writer out(temporary, context_.settings().sha256);
  uint8_t header[packed_header_size];
  packed_header(size_, header);
  if (!out.is_open()) code = packed_open_failed;
  bool written = out.is_open() && out.write(header, sizeof header);
  for (size_t block = 0; written && block < parts.size(); ++block) {
    file_handle from = file_handle::open_read(parts[block]);
    if (!from.is_open()) code = packed_open_failed;
    written = from.is_open();
    while (written) {
      uint32_t got = 0;
      if (!from.read(piece, piece_size, got)) {
        code = packed_read_failed;
        written = false;
      } else if (got == 0) {
        break;
      } else if (!out.write(piece, got)) {
        written = false;
      }
    }
  }
  if (written) written = out.write(&lzma2_end_byte, 1);
  if (!written && code == packed_ok) code = packed_write_failed;
  packed_size = out.written();
  remote = out.digests();
  return code;
}

void file_publication::publish_copy(publish_worker& worker, const std::string& expected,
                                    bool first_read) {
  const std::wstring temporary = context_.temporary();
  digest_stream local(published_kinds(context_.settings().sha256));
  bool written = false;
  // A file large enough for chunks that was never packed is cut here, on
  // its way to the copy.
  const bool cut = !chunks_ && chunked_file(size_, context_.settings());
  std::unique_ptr<chunk_map> copied;
  if (cut) {
    copied.reset(new chunk_map);
    copied->header.sizes = chunk_sizes_of(context_.settings().chunk_average);
  }
  chunker cutter(cut ? copied->header.sizes : chunk_sizes_of(default_chunk_average));
  sha256_stream chunk_digest;
  chunk_entry chunk;
  const auto end_chunk = [&] {
    chunk_digest.finish(chunk.sha256);
    copied->chunks.push_back(chunk);
    chunk.length = 0;
  };
  {
    hashed_writer out(temporary, false);
    if (out.is_open() && input_.seek(0)) {
      uint8_t* piece = piece_of(worker);
      written = true;
      for (;;) {
        uint32_t got = 0;
        if (!input_.read(piece, piece_size, got)) {
          written = false;
          break;
        }
        if (got == 0) break;
        local.add(piece, got);
        if (first_read) bytes_read_ += got;
        context_.observe_read(input_path_);
        for (size_t done = 0; cut && done < got;) {
          bool ended = false;
          const size_t n = cutter.scan(piece + done, got - done, ended);
          chunk_digest.add(piece + done, n);
          chunk.length += n;
          done += n;
          if (ended) end_chunk();
        }
        if (!out.write(piece, got)) {
          written = false;
          break;
        }
      }
      if (cut && chunk.length) end_chunk();
    }
    out.close();
  }
  if (!written) {
    delete_file(temporary);
    say("!!! Error copy: %S\n", input_path_);
    return;
  }
  const published_digests digests = local.finish();
  if (local.count() != size_ || (!first_read && digests.sha1 != expected) || !unchanged()) {
    delete_file(temporary);
    changed();
    return;
  }
  if (!move_file_replace(temporary, names_.output_path)) {
    delete_file(temporary);
    say("!!! Error copy: %S\n", input_path_);
    return;
  }
  if (cut) chunks_ = std::move(copied);
  published(false, digests, size_, published_digests());
}

void file_publication::settle_packed(publish_worker& worker, const std::wstring& temporary,
                                     uint64_t packed_size, const published_digests& local,
                                     const published_digests& remote) {
  if (retain_packed(names_.relative, size_, packed_size, context_.settings())) {
    if (!move_file_replace(temporary, names_.packed_path)) {
      delete_file(temporary);
      packing_failed(packed_open_failed);
      return;
    }
    published(true, local, packed_size, remote);
    return;
  }
  delete_file(temporary);
  publish_copy(worker, local.sha1, false);
}

// One group of consecutive chunks of a chunked file. The owner fills in
// the chunks before it hands the group out; the packing thread then writes
// its results before it counts itself in `finished`, and the owner reads
// them once all groups have.
struct file_publication::chunk_group {
  uint64_t offset = 0;  // of its first chunk in the input
  std::vector<chunk_entry> chunks;
  std::wstring temporary;
  int32_t code = packed_ok;
  bool same = true;  // the packing thread read the bytes that the owner cut
};

struct file_publication::chunk_work {
  uint32_t dictionary = 0;
  std::atomic<size_t> finished{0};
};

void file_publication::pack_group(publish_worker& worker, const chunk_work& work,
                                  chunk_group& group) {
  int32_t code = packed_ok;
  try {
    // A handle of its own: groups are read at once on several threads.
    file_handle from = file_handle::open_read(input_path_);
    hashed_writer out(group.temporary, false);
    if (!from.is_open() || !out.is_open()) {
      code = packed_open_failed;
    } else if (!from.seek(group.offset)) {
      code = packed_read_failed;
    } else {
      sha256_stream check;
      for (chunk_entry& chunk : group.chunks) {
        uint64_t left = chunk.length;
        const byte_source source = counted_range(from, left, check);
        const byte_sink sink = [&out](const uint8_t* bytes, size_t n) {
          return out.write(bytes, n);
        };
        const uint64_t before = out.written();
        code = worker.packer.pack_piece(source, sink, work.dictionary);
        if (code != packed_ok) break;
        chunk.published_length = out.written() - before;
        uint8_t digest[32];
        check.finish(digest);
        if (left != 0 || std::memcmp(digest, chunk.sha256, sizeof digest) != 0) {
          group.same = false;
          break;
        }
      }
    }
    out.close();
  } catch (const std::exception&) {
    code = packed_out_of_memory;  // all that can throw here is an allocation
  }
  group.code = code;
}

void file_publication::publish_chunked(publish_worker& worker, work_helpers& helpers) {
  const maker_settings& settings = context_.settings();
  auto work = std::make_shared<chunk_work>();
  const chunk_sizes sizes = chunk_sizes_of(settings.chunk_average);
  work->dictionary = piece_dictionary(sizes.maximum);
  std::vector<std::shared_ptr<chunk_group>> groups;

  // Handed-out groups use this publication: however this function is
  // left, it waits for every one of them first.
  struct wait_for_groups {
    work_helpers& helpers;
    publish_worker& worker;
    chunk_work& work;
    size_t handed = 0;
    ~wait_for_groups() {
      const size_t n = handed;
      if (n) helpers.work_until([this, n] { return work.finished >= n; }, worker);
    }
  } pending{helpers, worker, *work};
  auto group = std::make_shared<chunk_group>();
  uint64_t group_length = 0;
  const auto hand_out = [&] {
    group->temporary = context_.temporary();
    groups.push_back(group);
    // The piece holds the shared state: it may still be releasing it when
    // the owner has moved on.
    helpers.hand_out([this, work, group](publish_worker& helper) {
      pack_group(helper, *work, *group);
      work->finished += 1;
    });
    pending.handed += 1;
    const uint64_t next = group->offset + group_length;
    group = std::make_shared<chunk_group>();
    group->offset = next;
    group_length = 0;
  };

  // The one pass that cuts and digests the input; groups are packed while
  // it goes on.
  digest_stream local(published_kinds(settings.sha256));
  uint64_t total = 0;
  const byte_source read = [&](uint8_t* bytes, uint32_t room, uint32_t& got) {
    // A file that grows meanwhile is read no further than one byte past
    // its size: it changed either way.
    room = static_cast<uint32_t>(std::min<uint64_t>(room, size_ + 1 - total));
    if (!input_.read(bytes, room, got)) return false;
    total += got;
    local.add(bytes, got);
    return true;
  };
  const auto found = [&](const found_chunk& chunk) {
    chunk_entry entry;
    entry.length = chunk.length;
    std::memcpy(entry.sha256, chunk.sha256, sizeof entry.sha256);
    group->chunks.push_back(entry);
    group_length += chunk.length;
    if (group_length >= settings.block_size) hand_out();
    return true;
  };
  const bool read_ok = input_.seek(0) && chunk_stream(read, sizes, found);
  if (!group->chunks.empty()) hand_out();
  const size_t handed = pending.handed;
  helpers.work_until([&work, handed] { return work->finished == handed; }, worker);
  pending.handed = 0;  // all done: nothing left to wait for

  int32_t code = packed_ok;
  bool same = read_ok && total == size_;
  std::vector<std::wstring> parts;
  for (const auto& g : groups) {
    if (code == packed_ok) code = g->code;
    same = same && g->same;
    parts.push_back(g->temporary);
  }
  const auto drop_groups = [&parts] {
    for (const auto& temporary : parts) delete_file(temporary);
  };
  if (code != packed_ok) {
    drop_groups();
    packing_failed(code);
    return;
  }
  if (!same || !unchanged()) {
    drop_groups();
    changed();
    return;
  }
  chunks_.reset(new chunk_map);
  chunks_->header.sizes = sizes;
  for (const auto& g : groups) {
    chunks_->chunks.insert(chunks_->chunks.end(), g->chunks.begin(), g->chunks.end());
  }
  groups.clear();

  const std::wstring temporary = context_.temporary();
  published_digests remote;
  uint64_t packed_size = 0;
  code = join_blocks(parts, temporary, piece_of(worker), packed_size, remote);
  drop_groups();
  if (code != packed_ok) {
    delete_file(temporary);
    packing_failed(code);
    return;
  }
  settle_packed(worker, temporary, packed_size, local.finish(), remote);
}

bool file_publication::write_chunk_map(bool packed, json& entry) {
  chunk_map& map = *chunks_;
  map.header.form = packed ? published_form::packed : published_form::copied;
  map.header.file_size = size_;
  map.header.published_size = entry["r_size"].get<uint64_t>();
  if (!packed) {
    for (chunk_entry& chunk : map.chunks) chunk.published_length = chunk.length;
  }
  const std::wstring path = (packed ? names_.packed_path : names_.output_path) + chunk_map_suffix;
  // Without a map the file is still published: launchers fetch it whole.
  if (!name_fits(path)) return true;
  const std::string bytes = encode_chunk_map(map);
  const std::wstring temporary = context_.temporary();
  hashed_writer out(temporary, context_.settings().sha256);
  const bool written =
      out.is_open() && out.write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  out.close();
  if (!written || !move_file_replace(temporary, path)) {
    delete_file(temporary);
    say("!!! Error writing file: %S\n", path);
    return false;
  }
  const published_digests digests = out.digests();
  entry["m"] = names_.remote + (packed ? ".lzma2" : "") + wide_to_utf8(chunk_map_suffix);
  entry["m_size"] = static_cast<uint64_t>(bytes.size());
  entry["m_sha1"] = digests.sha1;
  if (!digests.sha256.empty()) entry["m_sha256"] = digests.sha256;
  return true;
}

void file_publication::published(bool packed, const published_digests& local,
                                 uint64_t published_size, const published_digests& copy) {
  json entry = json::object();
  entry["u"] = context_.settings().next_version;
  entry["l"] = wide_to_utf8(names_.relative);
  entry["l_sha1"] = local.sha1;
  if (!local.sha256.empty()) entry["l_sha256"] = local.sha256;
  entry["l_size"] = size_;
  entry["r_size"] = published_size;
  std::string remote = names_.remote;
  if (packed) {
    entry["r_pack"] = "lzma2";
    entry["r_sha1"] = copy.sha1;
    if (!copy.sha256.empty()) entry["r_sha256"] = copy.sha256;
    remote += ".lzma2";
  }
  entry["r"] = remote;
  if (chunks_ && !write_chunk_map(packed, entry)) return;
  outcome_.entry = std::move(entry);
  outcome_.has_entry = true;
  outcome_.anew = true;
}

}  // namespace tsl
