// The wait between two steps of the transfers of a libcurl multi handle:
// until one of their sockets is ready or libcurl's next timeout is due, at
// most `most_ms` milliseconds. Each platform waits its own way.
// Threading: one thread at a time per multi handle.
#pragma once

#include <curl/curl.h>

namespace tsl {

CURLMcode wait_for_transfer(CURLM* multi, long most_ms = 1000);

}  // namespace tsl
