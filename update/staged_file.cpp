#include "update/staged_file.h"

#include "net/downloader.h"
#include "util/text.h"

namespace tsl {

staged_file::staged_file(std::wstring destination)
    : destination_(std::move(destination)), temporary_(path_with_suffix(destination_, L".part")) {}

staged_file::~staged_file() {
  if (file_exists(temporary_)) delete_file(temporary_);
}

place_result staged_file::commit() { return place_file(temporary_, destination_); }

fetch_status fetch_document(downloader& fetcher, const std::string& url, staged_file& file,
                            uint64_t byte_limit,
                            const std::function<bool(const std::wstring&, std::string&)>& parse,
                            std::string& why) {
  if (!fetcher.download(url, file.temporary(), byte_limit)) {
    if (fetcher.over_limit()) {
      why = format_narrow("larger than %u MiB", static_cast<unsigned>(byte_limit >> 20));
      return fetch_status::malformed;
    }
    why = fetcher.last_error();
    return fetch_status::not_delivered;
  }
  return parse(file.temporary(), why) ? fetch_status::fetched : fetch_status::malformed;
}

fetch_status fetch_json(downloader& fetcher, const std::string& url, staged_file& file,
                        uint64_t byte_limit, json& document, std::string& why) {
  return fetch_document(
      fetcher, url, file, byte_limit,
      [&document](const std::wstring& path, std::string& reason) {
        json parsed;
        if (!parse_json_file(path, parsed, &reason)) return false;
        document = std::move(parsed);
        return true;
      },
      why);
}

}  // namespace tsl
