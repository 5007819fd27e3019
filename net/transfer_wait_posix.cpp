#include "net/transfer_wait.h"

namespace tsl {

CURLMcode wait_for_transfer(CURLM* multi, long most_ms) {
  return curl_multi_poll(multi, nullptr, 0, static_cast<int>(most_ms), nullptr);
}

}  // namespace tsl
