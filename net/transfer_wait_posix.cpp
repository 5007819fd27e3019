#include "net/transfer_wait.h"

namespace tsl {

CURLMcode wait_for_transfer(CURLM* multi) {
  return curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
}

}  // namespace tsl
