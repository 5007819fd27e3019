// An HTTP server on 127.0.0.1 inside the test process, for fault injection:
// bodies from a directory or from memory, error statuses, redirect chains,
// chunked, slow, stalled, dropped and corrupted bodies, single byte ranges of
// bodies with a length, and a record of what
// clients asked for and how many connections they opened.
// Threading: the server answers on its own threads; every operation may be
// called from any thread while it runs. It stops in its destructor.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tsl {
namespace test {

// How one response body is sent.
struct body_options {
  static constexpr size_t never = static_cast<size_t>(-1);
  enum class framing {
    length,      // Content-Length
    chunked,     // Transfer-Encoding: chunked, no length
    until_close  // no length; the end of the body is the end of the connection
  };

  framing frame = framing::length;
  size_t piece = 0;                    // bytes per write, 0: 64 KiB
  std::chrono::milliseconds delay{0};  // pause before each piece (a slow body)
  // After this many bytes nothing more is sent (the connection stays open)
  // until the server stops or release_stalls() is called.
  size_t stall_after = never;
  // After this many bytes the connection is closed.
  size_t drop_after = never;
  // Sends the body with one byte changed (the middle one).
  bool corrupt = false;
};

class http_test_server {
 public:
  // `port` 0 binds an ephemeral port. Throws std::runtime_error when the port
  // cannot be bound.
  explicit http_test_server(int port = 0);
  ~http_test_server();
  http_test_server(const http_test_server&) = delete;
  http_test_server& operator=(const http_test_server&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by `path` ("/a/b.bin").
  std::string url(const std::string& path) const;

  // Serves the files below `directory` at `prefix` + their relative path
  // with '/' ("/" serves "a\b.bin" as "/a/b.bin"). Read at each request.
  void serve_directory(const std::wstring& directory, const std::string& prefix = "/");
  // Serves `bytes` at `path`; takes precedence over the directory.
  void set_body(const std::string& path, std::string bytes, body_options options = {});
  // Serves `size` bytes at `path`, `unit` repeated, with a Content-Length:
  // bodies larger than memory. Sent in 64 KiB pieces as they are asked for.
  void set_repeated_body(const std::string& path, std::string unit, uint64_t size);
  // Changes how the body at `path` (memory or directory) is sent.
  void set_options(const std::string& path, body_options options);
  // Answers `status` (with a short text body) to every request for `path`.
  void set_status(const std::string& path, int status);
  // Answers `status` to the next `count` requests for `path`, then as before.
  void fail_next(const std::string& path, int count, int status);
  // `from` answers `status` with Location: url(to).
  void redirect(const std::string& from, const std::string& to, int status = 302);
  // `hops` redirects from `from` through from + "/1", from + "/2", ... to `to`.
  void redirect_chain(const std::string& from, int hops, const std::string& to);
  // Ends every stalled body (by closing its connection) and stops stalling.
  void release_stalls();

  // Paths requested so far, in order of arrival.
  std::vector<std::string> requests() const;
  size_t request_count(const std::string& path) const;
  // Body bytes sent for `path` so far (of memory and directory bodies).
  uint64_t bytes_sent(const std::string& path) const;
  // TCP connections accepted so far.
  size_t connection_count() const;
  // Most requests that were being answered at the same time.
  size_t max_concurrent_requests() const;
  // Forgets requests, connections and the concurrency peak.
  void clear_log();

 private:
  struct impl;

  std::unique_ptr<impl> impl_;
  int port_ = 0;
};

}  // namespace test
}  // namespace tsl
