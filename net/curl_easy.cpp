#include "net/curl_easy.h"

#include <cstdio>
#include <cstdlib>

namespace tsl {

namespace {

// Made on the first curl_interface; a failed attempt is tried again by the
// next construction, since the static is only set when its constructor ends.
struct global_initialisator {
  global_initialisator() {
    CURLcode code = curl_global_init(CURL_GLOBAL_ALL);
    if (code != CURLE_OK) {
      throw curl_easy_exception(
          code, "curl::curl_interface<enum CURLcode>::global_initialisator::global_initialisator");
    }
    std::atexit(curl_global_cleanup);
  }
};

}  // namespace

curl_easy_exception::curl_easy_exception(CURLcode code, std::string function)
    : curl_exception(curl_easy_strerror(code), std::move(function)), code_(code) {}

curl_interface::curl_interface() { static global_initialisator once; }

curl_easy::curl_easy() {
  handle_ = curl_easy_init();
  if (!handle_) {
    throw curl_easy_exception("Null pointer intercepted", "curl::curl_easy::curl_easy");
  }
  try {
    add(CURLOPT_WRITEFUNCTION, &stream_writer);
    add(CURLOPT_WRITEDATA, static_cast<void*>(stdout));
    add(CURLOPT_HEADERFUNCTION, &stream_writer);
    add(CURLOPT_HEADERDATA, static_cast<void*>(stdout));
  } catch (...) {
    curl_easy_cleanup(handle_);
    handle_ = nullptr;
    throw;
  }
}

curl_easy::~curl_easy() {
  curl_easy_cleanup(handle_);
  handle_ = nullptr;
}

void curl_easy::perform() { check(curl_easy_perform(handle_), "curl::curl_easy::perform"); }

size_t curl_easy::stream_writer(char* bytes, size_t size, size_t count, void* stream) {
  std::fwrite(bytes, size, count, static_cast<std::FILE*>(stream));
  return size * count;
}

void curl_easy::check(CURLcode code, const char* function) {
  if (code != CURLE_OK) throw curl_easy_exception(code, function);
}

}  // namespace tsl
