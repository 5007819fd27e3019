#include "net/curl_easy.h"

#include <gtest/gtest.h>

namespace tsl {
namespace {

// Hosts that offer HTTP/2 get it over TLS (ALPN) only from a libcurl built
// with nghttp2; the Windows build cross-builds its own.
TEST(CurlBuild, SpeaksHttp2) {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  EXPECT_NE(info->features & CURL_VERSION_HTTP2, 0) << "libcurl " << info->version;
}

}  // namespace
}  // namespace tsl
