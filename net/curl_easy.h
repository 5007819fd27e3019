// A thin object layer over libcurl's easy interface. Failures of libcurl
// calls are thrown as curl_easy_exception, the one exception type of the
// transfer layer.
// Threading: libcurl's global initialisation runs once per process, safely
// under concurrent first use; one curl_easy is used by one thread at a time.
#pragma once

// The double-valued progress callback of the downloader is deprecated in
// libcurl's headers but still supported; keep the build free of warnings.
#ifndef CURL_DISABLE_DEPRECATION
#define CURL_DISABLE_DEPRECATION
#endif
#include <curl/curl.h>

#include <cstddef>
#include <exception>
#include <string>
#include <type_traits>

namespace tsl {

class curl_exception : public std::exception {
 public:
  curl_exception(std::string message, std::string function)
      : message_(std::move(message)), function_(std::move(function)) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const { return message_; }
  // Name of the function that failed.
  const std::string& function() const { return function_; }

 private:
  std::string message_;
  std::string function_;
};

class curl_easy_exception : public curl_exception {
 public:
  // The message is libcurl's text for the code.
  curl_easy_exception(CURLcode code, std::string function);
  // No libcurl result behind it: the code is 0.
  curl_easy_exception(std::string message, std::string function)
      : curl_exception(std::move(message), std::move(function)) {}

  CURLcode code() const { return code_; }

 private:
  CURLcode code_ = CURLE_OK;
};

// Making any curl_interface makes sure libcurl's global initialisation has
// run (once per process; the matching cleanup runs at process exit).
class curl_interface {
 public:
  curl_interface();  // throws curl_easy_exception when the initialisation fails
  virtual ~curl_interface() = default;
};

// Owns one easy handle. The defaults send the body and the response headers
// to standard output; owners replace what they need.
class curl_easy : public curl_interface {
 public:
  curl_easy();  // throws curl_easy_exception
  ~curl_easy() override;
  curl_easy(const curl_easy&) = delete;
  curl_easy& operator=(const curl_easy&) = delete;

  // curl_easy_setopt. Integers are passed in the width the option takes
  // (long, or curl_off_t for the *_LARGE options), so `add(opt, 5)` is safe.
  template <typename T>
  void add(CURLoption option, T value) {
    check(set(option, value), "curl::curl_easy::add");
  }
  void add(CURLoption option, const std::string& value) { add(option, value.c_str()); }

  // One blocking transfer, as curl_easy_perform; throws on its failure.
  void perform();

  CURL* get() const { return handle_; }

  // Writes size * count bytes to the std::FILE* `stream`; returns size * count.
  static size_t stream_writer(char* bytes, size_t size, size_t count, void* stream);

 private:
  static void check(CURLcode code, const char* function);

  template <typename T>
  CURLcode set(CURLoption option, T value) {
    if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
      if (option >= CURLOPTTYPE_OFF_T && option < CURLOPTTYPE_BLOB) {
        return curl_easy_setopt(handle_, option, static_cast<curl_off_t>(value));
      }
      return curl_easy_setopt(handle_, option, static_cast<long>(value));
    } else if constexpr (std::is_null_pointer_v<T>) {
      return curl_easy_setopt(handle_, option, static_cast<void*>(nullptr));
    } else {
      static_assert(std::is_pointer_v<T>, "curl options take integers or pointers");
      return curl_easy_setopt(handle_, option, value);
    }
  }

  CURL* handle_ = nullptr;
  CURLM* multi_ = nullptr;  // drives perform; made on its first call
};

}  // namespace tsl
