// Files the launcher takes from a host for its own use (the version file, the
// index): each arrives under a temporary name beside the copy it may replace
// and takes that copy's place only once the caller has checked it, so a
// failed, cut or hostile transfer leaves the copy from before untouched.
// The one place where a fetched document is checked before it is trusted.
// Threading: one thread per object.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "format/documents.h"
#include "util/file_system.h"

namespace tsl {

class downloader;

class staged_file {
 public:
  // The temporary name is `destination` with ".part" (kept within the name
  // limit); a leftover of a killed run is simply overwritten.
  explicit staged_file(std::wstring destination);
  ~staged_file();  // the temporary goes unless it was committed
  staged_file(const staged_file&) = delete;
  staged_file& operator=(const staged_file&) = delete;

  const std::wstring& temporary() const { return temporary_; }
  const std::wstring& destination() const { return destination_; }
  // Puts the checked file in place of the destination, durably.
  place_result commit();

 private:
  std::wstring destination_;
  std::wstring temporary_;
};

enum class fetch_status {
  fetched,        // delivered and parsed
  not_delivered,  // the transfer failed; `why` is the downloader's error
  malformed,      // delivered but refused; `why` says why ("not valid JSON", ...)
};

// Downloads `url` into the staged file's temporary name and reads it into
// `bytes`, after `prefix` (a signed message's start, so that the document is
// never copied). A body above `byte_limit` counts as malformed ("larger
// than ... MiB").
fetch_status fetch_bytes(downloader& fetcher, const std::string& url, staged_file& file,
                         uint64_t byte_limit, std::string& bytes, std::string& why,
                         const std::string& prefix = std::string());
// The same for a file already on disk (an unpacked index).
fetch_status read_fetched_bytes(const std::wstring& path, uint64_t byte_limit,
                                const std::string& prefix, std::string& bytes, std::string& why);
// fetch_bytes, parsed into a JSON value.
fetch_status fetch_json(downloader& fetcher, const std::string& url, staged_file& file,
                        uint64_t byte_limit, json& document, std::string& why);

}  // namespace tsl
