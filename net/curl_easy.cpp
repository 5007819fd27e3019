#include "net/curl_easy.h"

#include <cstdio>
#include <cstdlib>

#include "net/transfer_wait.h"

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

// What easy_perform reports for a failure of the multi layer underneath.
CURLcode from_multi(CURLMcode code) {
  return code == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_BAD_FUNCTION_ARGUMENT;
}

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
  // Its cache holds the connections that the handle's transfers left open.
  if (multi_) curl_multi_cleanup(multi_);
  curl_easy_cleanup(handle_);
  handle_ = nullptr;
}

// What curl_easy_perform does, with a wait of our own between the steps.
// The multi handle lives as long as the easy one, so a connection left open
// by one transfer is reused by the next.
void curl_easy::perform() {
  if (!multi_) {
    multi_ = curl_multi_init();
    if (!multi_) check(CURLE_OUT_OF_MEMORY, "curl::curl_easy::perform");
  }
  CURLMcode code = curl_multi_add_handle(multi_, handle_);
  if (code != CURLM_OK) check(from_multi(code), "curl::curl_easy::perform");
  CURLcode result = CURLE_OK;
  bool done = false;
  while (!done && code == CURLM_OK) {
    int running = 0;
    code = curl_multi_perform(multi_, &running);
    if (code == CURLM_OK && !running) {
      int left = 0;
      if (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
        result = message->data.result;
        done = true;
      }
    }
    if (!done && code == CURLM_OK) code = wait_for_transfer(multi_);
  }
  curl_multi_remove_handle(multi_, handle_);
  if (code != CURLM_OK) result = from_multi(code);
  check(result, "curl::curl_easy::perform");
}

size_t curl_easy::stream_writer(char* bytes, size_t size, size_t count, void* stream) {
  std::fwrite(bytes, size, count, static_cast<std::FILE*>(stream));
  return size * count;
}

void curl_easy::check(CURLcode code, const char* function) {
  if (code != CURLE_OK) throw curl_easy_exception(code, function);
}

}  // namespace tsl
