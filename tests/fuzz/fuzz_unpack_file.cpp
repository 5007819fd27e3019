// libFuzzer target: any bytes as a packed file. unpack_file must return a
// code, never crash or hang, and keep its memory bounded.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "codec/packed_file.h"
#include "util/file_system.h"
#include "util/text.h"

namespace {

std::wstring temp_path(const char* suffix) {
  const char* dir = std::getenv("TMPDIR");
  std::string path =
      std::string(dir && *dir ? dir : "/tmp") + "/tsl-fuzz-" + std::to_string(getpid()) + suffix;
  return tsl::utf8_to_wide(path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::wstring source = temp_path(".lzma2");
  static const std::wstring destination = temp_path(".unp");
  std::FILE* f = tsl::open_c_file(source, "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);

  const int32_t code = tsl::unpack_file(source, destination);
  switch (code) {
    case tsl::packed_ok:
    case tsl::packed_data_error:
    case tsl::packed_out_of_memory:
    case tsl::packed_bad_property:
    case tsl::packed_write_failed:
      break;
    default:
      // 5 and 8 would mean the files themselves failed, 11 a codec misuse.
      std::fprintf(stderr, "unexpected result %d\n", static_cast<int>(code));
      std::abort();
  }
  tsl::delete_file(source);
  tsl::delete_file(destination);
  return 0;
}
