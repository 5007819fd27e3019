#include "net/transfer_wait.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>

namespace tsl {

CURLMcode wait_for_transfer(CURLM* multi, long most_ms) {
  // libcurl's own wait arms an event on every socket, polls, waits, then
  // enumerates and disarms each one: under Wine every step is a round trip
  // to the server, seven or more for each wait of each small file. One
  // select is one or two.
  long timeout_ms = -1;
  CURLMcode code = curl_multi_timeout(multi, &timeout_ms);
  if (code != CURLM_OK) return code;
  if (timeout_ms == 0) return CURLM_OK;
  if (timeout_ms < 0 || timeout_ms > most_ms) timeout_ms = most_ms;
  fd_set readable, writable, failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  int max_fd = -1;
  code = curl_multi_fdset(multi, &readable, &writable, &failed, &max_fd);
  if (code != CURLM_OK) return code;
  if (max_fd < 0) {
    // No socket yet, as while a name resolves on its own thread: libcurl
    // asks to be called again after a short while.
    Sleep(static_cast<DWORD>(std::min(timeout_ms, 100L)));
    return CURLM_OK;
  }
  timeval wait{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  if (select(max_fd + 1, &readable, &writable, &failed, &wait) == SOCKET_ERROR) {
    return curl_multi_poll(multi, nullptr, 0, static_cast<int>(timeout_ms), nullptr);
  }
  return CURLM_OK;
}

}  // namespace tsl
