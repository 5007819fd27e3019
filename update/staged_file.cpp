#include "update/staged_file.h"

#include <algorithm>

#include "net/downloader.h"
#include "util/text.h"

namespace tsl {

staged_file::staged_file(std::wstring destination)
    : destination_(std::move(destination)), temporary_(path_with_suffix(destination_, L".part")) {}

staged_file::~staged_file() {
  // Nothing may leave a destructor, not even a failed allocation.
  try {
    if (file_exists(temporary_)) delete_file(temporary_);
  } catch (...) {
  }
}

place_result staged_file::commit() { return place_file(temporary_, destination_); }

namespace {
std::string larger_than(uint64_t byte_limit) {
  return format_narrow("larger than %u MiB", static_cast<unsigned>(byte_limit >> 20));
}
}  // namespace

fetch_status read_fetched_bytes(const std::wstring& path, uint64_t byte_limit,
                                const std::string& prefix, std::string& bytes, std::string& why) {
  bytes.clear();
  file_handle file = file_handle::open_read(path);
  uint64_t size = 0;
  if (!file.is_open() || !file.size(size)) {
    why = "not readable";
    return fetch_status::malformed;
  }
  if (size > byte_limit) {
    why = larger_than(byte_limit);
    return fetch_status::malformed;
  }
  bytes.reserve(prefix.size() + static_cast<size_t>(size));
  bytes = prefix;
  bytes.resize(prefix.size() + static_cast<size_t>(size));
  size_t at = prefix.size();
  while (at < bytes.size()) {
    uint32_t got = 0;
    const uint32_t ask = static_cast<uint32_t>(std::min<size_t>(bytes.size() - at, 1u << 20));
    if (!file.read(&bytes[at], ask, got) || got == 0) {
      bytes.clear();
      why = "not readable";
      return fetch_status::malformed;
    }
    at += got;
  }
  return fetch_status::fetched;
}

fetch_status fetch_bytes(downloader& fetcher, const std::string& url, staged_file& file,
                         uint64_t byte_limit, std::string& bytes, std::string& why,
                         const std::string& prefix) {
  if (!fetcher.download(url, file.temporary(), byte_limit)) {
    if (fetcher.over_limit()) {
      why = larger_than(byte_limit);
      return fetch_status::malformed;
    }
    why = fetcher.last_error();
    return fetch_status::not_delivered;
  }
  return read_fetched_bytes(file.temporary(), byte_limit, prefix, bytes, why);
}

fetch_status fetch_json(downloader& fetcher, const std::string& url, staged_file& file,
                        uint64_t byte_limit, json& document, std::string& why) {
  std::string bytes;
  const fetch_status got = fetch_bytes(fetcher, url, file, byte_limit, bytes, why);
  if (got != fetch_status::fetched) return got;
  json parsed;
  if (!parse_json_text(bytes, parsed, &why)) return fetch_status::malformed;
  document = std::move(parsed);
  return fetch_status::fetched;
}

}  // namespace tsl
