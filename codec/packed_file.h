// Packed files: a 13-byte header (magic, unpacked size, LZMA2 dictionary
// property) followed by a raw LZMA2 stream.
// Threading: each call owns all of its state; calls may run concurrently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "codec/byte_stream.h"

namespace tsl {

constexpr uint32_t PACKED_FILE_MAGIC = 0x30ECEF13;
constexpr uint64_t packed_size_unknown = UINT64_MAX;
constexpr uint8_t packed_dictionary_property = 24;  // 16 MiB

// Result codes of pack_file and unpack_file.
enum packed_result : int32_t {
  packed_ok = 0,
  packed_data_error = 1,     // header unreadable, wrong magic, corrupt or short stream
  packed_out_of_memory = 2,  // also a dictionary above 1.5 GiB that the stated size does not bound
  packed_bad_property = 4,   // dictionary property above 40
  packed_open_failed = 5,    // source or destination cannot be opened
  packed_read_failed = 8,
  packed_write_failed = 9,
  packed_codec_failure = 11,  // any other failure inside the codec
  packed_too_large = 12,      // unpacked, the file would pass the caller's limit
};

constexpr uint32_t packed_header_size = 13;

constexpr uint8_t lzma2_end_byte = 0x00;

// A stream of more than this many bytes is packed as independent blocks of
// this size (four dictionaries), each starting with a dictionary reset, in
// one LZMA2 stream that one end byte closes. Blocks can be packed on
// several threads, and as the size is fixed the bytes never depend on how
// many did.
constexpr uint64_t packed_block_size = 64ull << 20;

// The 13 header bytes of a packed file of `size` unpacked bytes.
void packed_header(uint64_t size, uint8_t out[packed_header_size]);

// LZMA2 dictionary property <-> size: p below 40 is (2 + (p & 1)) << (p / 2 + 11),
// 40 is 0xFFFFFFFF. The property of a size is the smallest p whose
// dictionary holds it.
uint32_t dictionary_size_of_property(uint8_t property);
uint8_t dictionary_property_of_size(uint32_t size);

int32_t pack_file(const std::wstring& source, const std::wstring& destination);

// Packs files one after another with one coder whose match-finder tables and
// buffers stay mapped between files: setting up a fresh 16 MiB-dictionary
// encoder costs tens of milliseconds of page faults, more than packing a
// small file takes. Results are those of pack_file.
// Threading: one call at a time per object.
class file_packer {
 public:
  file_packer();
  ~file_packer();
  file_packer(const file_packer&) = delete;
  file_packer& operator=(const file_packer&) = delete;

  // Another block size than packed_block_size is for tests.
  int32_t pack(const std::wstring& source, const std::wstring& destination,
               uint64_t block_size = packed_block_size);

  // One stream: everything `source` gives, as blocks of LZMA2 chunks that
  // each start with a dictionary reset, without the end byte (the caller
  // writes the header, sees every byte go by, and ends the stream). A
  // failing source gives packed_read_failed, a failing sink
  // packed_write_failed; other codes are pack's.
  int32_t pack_block(const byte_source& source, const byte_sink& sink,
                     uint64_t block_size = packed_block_size);

  // One piece: everything `source` gives as LZMA2 chunks that start with a
  // dictionary reset, without the end byte, so that the piece decodes on
  // its own (unpack_piece) and pieces joined in a row are one stream.
  // `dictionary` need be no larger than the piece (see piece_dictionary).
  int32_t pack_piece(const byte_source& source, const byte_sink& sink, uint32_t dictionary);

 private:
  struct coder;
  std::unique_ptr<coder> coder_;
};
// The dictionary for pieces of at most `longest` bytes. Matches never reach
// before a piece's start, so a larger one packs no better, and the coder
// clears its tables at every piece in time that grows with the dictionary.
uint32_t piece_dictionary(uint32_t longest);

// Decodes one piece of `packed_size` bytes from `source` that must unpack
// to exactly `size` bytes: LZMA2 chunks from a dictionary reset, ending on
// a chunk boundary, with no end byte. packed_data_error for anything else
// (a cut or longer piece, one that needs what came before it).
int32_t unpack_piece(const byte_source& source, uint64_t packed_size, uint64_t size,
                     const byte_sink& sink);

int32_t unpack_file(const std::wstring& source, const std::wstring& destination);
// The same, refusing to write more than `size_limit` bytes: a stated size
// above it fails at once, a stream without one once it gets there.
int32_t unpack_file(const std::wstring& source, const std::wstring& destination,
                    uint64_t size_limit);
// The same, handing each piece written to `written` as well (which may
// digest the file as it is made instead of reading it back).
int32_t unpack_file(const std::wstring& source, const std::wstring& destination,
                    uint64_t size_limit, const byte_sink& written);

}  // namespace tsl
