#include "codec/packed_file.h"

#include <lzma.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "codec/page_memory.h"
#include "util/file_system.h"
#include "util/sync.h"

namespace tsl {

namespace {

constexpr uint32_t io_piece_size = 4u << 20;        // per read or write call
constexpr uint32_t decode_buffer_size = 64u << 10;  // input and output of the decoder
constexpr size_t small_alignment = 128;
// From this size on, a block comes from the page allocator: the window and
// the match finder tables of the encoder, the dictionary of the decoder.
constexpr size_t large_allocation = 1u << 20;
// The largest dictionary a 32-bit process could ever map (property 37). The
// 2 and 3 GiB of properties 38 and 39 are refused on every build alike, so
// that a file never decodes on one build and fails on the other, and so that
// no file can make a 64-bit decoder touch gigabytes.
constexpr uint32_t largest_dictionary = 3u << 29;

// The allocator of one coder. Small blocks come from the heap, 128-byte
// aligned, with the heap pointer stored just below the aligned address;
// large ones are whole pages, remembered here with their sizes because
// lzma_allocator::free is not told the size.
class coder_memory {
 public:
  coder_memory() {
    allocator_.alloc = &coder_memory::allocate;
    allocator_.free = &coder_memory::release;
    allocator_.opaque = this;
  }
  ~coder_memory() {
    for (const auto& block : pages_) release_pages(block.first, block.second);
  }
  coder_memory(const coder_memory&) = delete;
  coder_memory& operator=(const coder_memory&) = delete;

  const lzma_allocator* allocator() const { return &allocator_; }

 private:
  static void* allocate(void* opaque, size_t count, size_t size) {
    auto* self = static_cast<coder_memory*>(opaque);
    if (size && count > SIZE_MAX / size) return nullptr;
    const size_t total = count * size;
    if (total >= large_allocation) return self->allocate_large(total);
    if (total > SIZE_MAX - small_alignment) return nullptr;
    void* raw = std::malloc(total + small_alignment);
    if (!raw) return nullptr;
    // Above the raw pointer by at least one pointer and at most 128 bytes.
    const uintptr_t aligned =
        (reinterpret_cast<uintptr_t>(raw) + sizeof(void*) + small_alignment - 1) &
        ~uintptr_t(small_alignment - 1);
    reinterpret_cast<void**>(aligned)[-1] = raw;
    return reinterpret_cast<void*>(aligned);
  }

  static void release(void* opaque, void* block) {
    if (!block) return;
    auto* self = static_cast<coder_memory*>(opaque);
    if (self->release_large(block)) return;
    std::free(static_cast<void**>(block)[-1]);
  }

  void* allocate_large(size_t size) EXCLUDES(lock_) {
    void* pages = allocate_pages(size);
    if (!pages) return nullptr;
    try {
      mutex_lock hold(lock_);
      pages_.emplace_back(pages, size);
    } catch (...) {
      release_pages(pages, size);
      return nullptr;
    }
    return pages;
  }

  bool release_large(void* block) EXCLUDES(lock_) {
    mutex_lock hold(lock_);
    for (auto it = pages_.begin(); it != pages_.end(); ++it) {
      if (it->first == block) {
        release_pages(it->first, it->second);
        pages_.erase(it);
        return true;
      }
    }
    return false;
  }

  lzma_allocator allocator_{};
  // The raw coders call the allocator on the one thread that runs them; the
  // lock, one uncontended take per page allocation, keeps the list right for
  // a coder that allocates from threads of its own (liblzma's threaded ones).
  mutex lock_;
  std::vector<std::pair<void*, size_t>> pages_ GUARDED_BY(lock_);
};

// Ends the coder on every path.
struct coder_stream {
  lzma_stream stream = LZMA_STREAM_INIT;
  explicit coder_stream(const lzma_allocator* allocator) { stream.allocator = allocator; }
  ~coder_stream() { lzma_end(&stream); }
  coder_stream(const coder_stream&) = delete;
  coder_stream& operator=(const coder_stream&) = delete;
};

int32_t result_of(lzma_ret ret) {
  switch (ret) {
    case LZMA_OK:
    case LZMA_STREAM_END:
      return packed_ok;
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR:
      return packed_out_of_memory;
    case LZMA_DATA_ERROR:
    case LZMA_FORMAT_ERROR:
    case LZMA_BUF_ERROR:  // the stream ended before it was complete
      return packed_data_error;
    default:
      return packed_codec_failure;
  }
}

// The encoder settings of every packed file, given in full rather than
// through a preset so that no library default can change them.
lzma_options_lzma packing_options(uint32_t dictionary = 16u << 20) {
  lzma_options_lzma options;
  std::memset(&options, 0, sizeof options);
  options.dict_size = dictionary;
  options.preset_dict = nullptr;
  options.preset_dict_size = 0;
  options.lc = 3;
  options.lp = 0;
  options.pb = 2;
  options.mode = LZMA_MODE_NORMAL;
  options.nice_len = 32;
  options.mf = LZMA_MF_BT4;
  options.depth = 32;
  return options;
}

void put_le(uint8_t* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t get_le(const uint8_t* in, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

// Reads until `size` bytes are in or the file ends.
bool read_up_to(file_handle& file, uint8_t* bytes, uint32_t size, uint32_t& got) {
  got = 0;
  while (got < size) {
    uint32_t n = 0;
    if (!file.read(bytes + got, std::min(size - got, io_piece_size), n)) return false;
    if (n == 0) break;
    got += n;
  }
  return true;
}

std::unique_ptr<uint8_t[]> allocate_buffer(size_t size) {
  return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[size]);
}

// One encoder and its buffers, kept between files. liblzma keeps the match
// finder's tables when the same stream is set up again with the same
// settings, and only clears the hash table.
struct encoder_state {
  coder_memory memory;
  coder_stream coder{memory.allocator()};
  std::unique_ptr<uint8_t[]> in;
  std::unique_ptr<uint8_t[]> out;
};

// One stream from a fresh start of the kept coder. liblzma ends the raw
// stream with the end byte in the last piece it writes; that byte is held
// back for the caller.
int32_t encode_block(encoder_state& state, const byte_source& source, const byte_sink& sink,
                     uint32_t dictionary = 16u << 20) {
  lzma_options_lzma options = packing_options(dictionary);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream& strm = state.coder.stream;
  // A file that failed half-way may have left input behind.
  strm.next_in = nullptr;
  strm.avail_in = 0;
  if (lzma_raw_encoder(&strm, filters) != LZMA_OK) return packed_out_of_memory;

  if (!state.in) state.in = allocate_buffer(io_piece_size);
  if (!state.out) state.out = allocate_buffer(io_piece_size);
  if (!state.in || !state.out) return packed_out_of_memory;
  uint8_t* const in = state.in.get();
  uint8_t* const out = state.out.get();

  bool source_ended = false;
  strm.next_out = out;
  strm.avail_out = io_piece_size;
  for (;;) {
    if (strm.avail_in == 0 && !source_ended) {
      uint32_t got = 0;
      if (!source(in, io_piece_size, got)) return packed_read_failed;
      source_ended = got == 0;
      strm.next_in = in;
      strm.avail_in = got;
    }
    const lzma_ret ret = lzma_code(&strm, source_ended ? LZMA_FINISH : LZMA_RUN);
    if (ret != LZMA_OK && ret != LZMA_STREAM_END) return result_of(ret);
    if (strm.avail_out == 0 || ret == LZMA_STREAM_END) {
      size_t produced = io_piece_size - strm.avail_out;
      if (ret == LZMA_STREAM_END) {
        // The piece that ends the stream holds at least its end byte.
        if (produced == 0 || out[produced - 1] != lzma2_end_byte) return packed_codec_failure;
        --produced;
      }
      if (produced && !sink(out, produced)) return packed_write_failed;
      strm.next_out = out;
      strm.avail_out = io_piece_size;
    }
    if (ret == LZMA_STREAM_END) return packed_ok;
  }
}

// The stream of everything `source` gives, as independent blocks of
// `block_size` bytes, each from a fresh start of the coder. A block that
// finds the source already ended writes nothing.
int32_t encode_blocks(encoder_state& state, const byte_source& source, const byte_sink& sink,
                      uint64_t block_size) {
  bool ended = false;
  do {
    uint64_t left = block_size;
    const byte_source block = [&](uint8_t* bytes, uint32_t room, uint32_t& got) {
      got = 0;
      if (left == 0) return true;
      if (!source(bytes, static_cast<uint32_t>(std::min<uint64_t>(room, left)), got)) {
        return false;
      }
      ended = got == 0;
      left -= got;
      return true;
    };
    const int32_t code = encode_block(state, block, sink);
    if (code != packed_ok) return code;
  } while (!ended);
  return packed_ok;
}

int32_t encode_file(encoder_state& state, file_handle& source, file_handle& destination,
                    uint64_t block_size) {
  uint64_t size = 0;
  if (!source.size(size)) return packed_read_failed;
  uint8_t header[packed_header_size];
  packed_header(size, header);
  if (!destination.write_all(header, sizeof header)) return packed_write_failed;

  uint64_t total_read = 0;
  const byte_source read = [&](uint8_t* bytes, uint32_t room, uint32_t& got) {
    if (!source.read(bytes, room, got)) return false;
    total_read += got;
    return true;
  };
  const byte_sink write = [&destination](const uint8_t* bytes, size_t n) {
    return destination.write_all(bytes, n);
  };
  const int32_t code = encode_blocks(state, read, write, block_size);
  if (code != packed_ok) return code;
  // A source that changed length while it was read would get a header that
  // does not match its stream.
  if (total_read != size) return packed_read_failed;
  return destination.write_all(&lzma2_end_byte, 1) ? packed_ok : packed_write_failed;
}

// A raw LZMA2 decoder of one dictionary size, with its own memory and the
// buffers it reads from and writes into.
struct raw_decoder {
  coder_memory memory;
  coder_stream coder{memory.allocator()};
  std::unique_ptr<uint8_t[]> in, out;

  int32_t start(uint32_t dictionary) {
    lzma_options_lzma options;
    std::memset(&options, 0, sizeof options);
    options.dict_size = dictionary;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    const lzma_ret init = lzma_raw_decoder(&coder.stream, filters);
    if (init != LZMA_OK) return result_of(init);
    in = allocate_buffer(decode_buffer_size);
    out = allocate_buffer(decode_buffer_size);
    return in && out ? packed_ok : packed_out_of_memory;
  }
};

int32_t decode(file_handle& source, const byte_sink& sink, uint64_t size_limit) {
  uint8_t header[packed_header_size];
  uint32_t got = 0;
  if (!read_up_to(source, header, sizeof header, got) || got != sizeof header) {
    return packed_data_error;
  }
  if (get_le(header, 4) != PACKED_FILE_MAGIC) return packed_data_error;
  const uint64_t stated_size = get_le(header + 4, 8);
  const uint8_t property = header[12];
  if (property > 40) return packed_bad_property;
  // A 4 GiB dictionary cannot be had in the 32-bit product; refuse it the
  // same way on every build rather than try.
  if (property == 40) return packed_out_of_memory;

  const bool sized = stated_size != packed_size_unknown;
  if (sized && stated_size > size_limit) return packed_too_large;
  uint32_t dictionary = dictionary_size_of_property(property);
  // Matches never reach back beyond the start of the output, so a stream of
  // known length never needs a dictionary larger than itself; a small file
  // with a huge dictionary property then costs no more than its own size.
  if (sized && stated_size < dictionary) {
    dictionary = std::max<uint32_t>(static_cast<uint32_t>(stated_size), LZMA_DICT_SIZE_MIN);
  }
  if (dictionary > largest_dictionary) return packed_out_of_memory;

  raw_decoder decoder;
  const int32_t started = decoder.start(dictionary);
  if (started != packed_ok) return started;
  const auto& in = decoder.in;
  const auto& out = decoder.out;
  lzma_stream& strm = decoder.coder.stream;
  uint64_t remaining = stated_size;
  uint64_t written = 0;
  bool source_ended = false;
  for (;;) {
    if (strm.avail_in == 0 && !source_ended) {
      uint32_t n = 0;
      if (!source.read(in.get(), decode_buffer_size, n)) return packed_read_failed;
      source_ended = n == 0;
      strm.next_in = in.get();
      strm.avail_in = n;
    }
    const uint32_t room = sized && remaining < decode_buffer_size ? static_cast<uint32_t>(remaining)
                                                                  : decode_buffer_size;
    const size_t in_before = strm.avail_in;
    strm.next_out = out.get();
    strm.avail_out = room;
    const lzma_ret ret = lzma_code(&strm, LZMA_RUN);
    const uint32_t produced = room - static_cast<uint32_t>(strm.avail_out);
    if (produced > size_limit - written) return packed_too_large;
    written += produced;
    if (produced && !sink(out.get(), produced)) return packed_write_failed;
    if (ret != LZMA_OK && ret != LZMA_STREAM_END) return result_of(ret);

    if (sized) {
      remaining -= produced;
      if (ret == LZMA_STREAM_END) return remaining == 0 ? packed_ok : packed_data_error;
      if (remaining == 0) {
        // Done without reading further; but when the input in hand goes on
        // with more data than the header states, the file is inconsistent.
        if (strm.avail_in) {
          uint8_t extra;
          strm.next_out = &extra;
          strm.avail_out = 1;
          const lzma_ret more = lzma_code(&strm, LZMA_RUN);
          if (more != LZMA_OK && more != LZMA_STREAM_END) return result_of(more);
          if (strm.avail_out == 0) return packed_data_error;
        }
        return packed_ok;
      }
    } else if (ret == LZMA_STREAM_END) {
      return packed_ok;
    }
    // No progress happens only at the end of the input: the stream was cut.
    if (produced == 0 && strm.avail_in == in_before && source_ended) return packed_data_error;
  }
}

template <typename Coder>
int32_t run(const std::wstring& source_path, const std::wstring& destination_path, Coder coder) {
  // The source first: a missing source wins over a bad destination, and no
  // destination is created for it.
  file_handle source = file_handle::open_read(source_path);
  if (!source.is_open()) return packed_open_failed;
  file_handle destination = file_handle::create_write(destination_path);
  if (!destination.is_open()) return packed_open_failed;
  const int32_t result = coder(source, destination);
  destination.close();
  source.close();
  return result;
}

}  // namespace

void packed_header(uint64_t size, uint8_t out[packed_header_size]) {
  put_le(out, PACKED_FILE_MAGIC, 4);
  put_le(out + 4, size, 8);
  out[12] = packed_dictionary_property;
}

uint32_t dictionary_size_of_property(uint8_t property) {
  if (property >= 40) return 0xFFFFFFFFu;
  return (2u | (property & 1u)) << (property / 2 + 11);
}

uint8_t dictionary_property_of_size(uint32_t size) {
  for (uint8_t p = 0; p < 40; ++p) {
    if (dictionary_size_of_property(p) >= size) return p;
  }
  return 40;
}

struct file_packer::coder : encoder_state {};

file_packer::file_packer() = default;
file_packer::~file_packer() = default;

int32_t file_packer::pack(const std::wstring& source, const std::wstring& destination,
                          uint64_t block_size) {
  if (block_size == 0) return packed_codec_failure;
  if (!coder_) {
    coder_.reset(new (std::nothrow) coder);
    if (!coder_) return packed_out_of_memory;
  }
  return run(source, destination, [this, block_size](file_handle& from, file_handle& to) {
    return encode_file(*coder_, from, to, block_size);
  });
}

int32_t file_packer::pack_block(const byte_source& source, const byte_sink& sink,
                                uint64_t block_size) {
  if (block_size == 0) return packed_codec_failure;
  if (!coder_) {
    coder_.reset(new (std::nothrow) coder);
    if (!coder_) return packed_out_of_memory;
  }
  return encode_blocks(*coder_, source, sink, block_size);
}

int32_t file_packer::pack_piece(const byte_source& source, const byte_sink& sink,
                                uint32_t dictionary) {
  if (!coder_) {
    coder_.reset(new (std::nothrow) coder);
    if (!coder_) return packed_out_of_memory;
  }
  return encode_block(*coder_, source, sink, dictionary);
}

uint32_t piece_dictionary(uint32_t longest) {
  uint32_t dictionary = 64u << 10;
  while (dictionary < longest && dictionary < (16u << 20)) dictionary <<= 1;
  return dictionary;
}

int32_t unpack_piece(const byte_source& source, uint64_t packed_size, uint64_t size,
                     const byte_sink& sink) {
  if (size == 0) return packed_size == 0 ? packed_ok : packed_data_error;
  const uint64_t wanted = std::max<uint64_t>(size, LZMA_DICT_SIZE_MIN);
  if (wanted > largest_dictionary) return packed_out_of_memory;
  raw_decoder decoder;
  const int32_t started = decoder.start(static_cast<uint32_t>(wanted));
  if (started != packed_ok) return started;
  const auto& in = decoder.in;
  const auto& out = decoder.out;
  lzma_stream& strm = decoder.coder.stream;
  uint64_t unread = packed_size;
  uint64_t remaining = size;
  for (;;) {
    if (strm.avail_in == 0 && unread > 0) {
      uint32_t got = 0;
      if (!source(in.get(), static_cast<uint32_t>(std::min<uint64_t>(unread, decode_buffer_size)),
                  got)) {
        return packed_read_failed;
      }
      if (got == 0) return packed_data_error;
      unread -= got;
      strm.next_in = in.get();
      strm.avail_in = got;
    }
    // Once the output is whole, whatever input is left must decode to
    // nothing (the last compressed bytes of the last chunk).
    const bool whole = remaining == 0;
    uint8_t extra = 0;
    const uint32_t room =
        whole ? 1 : static_cast<uint32_t>(std::min<uint64_t>(remaining, decode_buffer_size));
    const size_t in_before = strm.avail_in;
    strm.next_out = whole ? &extra : out.get();
    strm.avail_out = room;
    const lzma_ret ret = lzma_code(&strm, LZMA_RUN);
    const uint32_t produced = room - static_cast<uint32_t>(strm.avail_out);
    if (whole && produced) return packed_data_error;
    if (!whole && produced && !sink(out.get(), produced)) return packed_write_failed;
    if (!whole) remaining -= produced;
    // An end byte inside the piece, or a stream that is corrupt.
    if (ret == LZMA_STREAM_END) return packed_data_error;
    if (ret != LZMA_OK) return result_of(ret);
    if (remaining == 0 && unread == 0 && strm.avail_in == 0) break;
    // A piece too short for its size, or one that goes on past it.
    if (produced == 0 && strm.avail_in == in_before) return packed_data_error;
  }
  // The piece must end where an LZMA2 chunk does: an end byte after it
  // then ends the stream with nothing more to decode.
  uint8_t end = lzma2_end_byte, extra = 0;
  strm.next_in = &end;
  strm.avail_in = 1;
  strm.next_out = &extra;
  strm.avail_out = 1;
  const lzma_ret last = lzma_code(&strm, LZMA_RUN);
  return last == LZMA_STREAM_END && strm.avail_out == 1 ? packed_ok : packed_data_error;
}

int32_t pack_file(const std::wstring& source, const std::wstring& destination) {
  file_packer packer;
  return packer.pack(source, destination);
}

int32_t unpack_file(const std::wstring& source, const std::wstring& destination) {
  return unpack_file(source, destination, UINT64_MAX);
}

int32_t unpack_file(const std::wstring& source, const std::wstring& destination,
                    uint64_t size_limit) {
  return unpack_file(source, destination, size_limit, nullptr);
}

int32_t unpack_file(const std::wstring& source, const std::wstring& destination,
                    uint64_t size_limit, const byte_sink& written) {
  return run(source, destination, [size_limit, &written](file_handle& from, file_handle& to) {
    return decode(
        from,
        [&to, &written](const uint8_t* bytes, size_t n) {
          return to.write_all(bytes, n) && (!written || written(bytes, n));
        },
        size_limit);
  });
}

}  // namespace tsl
