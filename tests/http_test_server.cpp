#include "tests/http_test_server.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <stdexcept>
#include <thread>
#include <utility>

#include "tests/test_util.h"
#include "util/file_system.h"
#include "util/sync.h"
#include "util/text.h"

namespace tsl {
namespace test {

namespace {

const char* const octet_stream = "application/octet-stream";
constexpr size_t default_piece = 64 * 1024;
// Each open connection holds one thread, even while idle between requests.
constexpr size_t server_threads = 16;
// An idle kept-alive connection ends this long after its last request; it
// also bounds how long the destructor waits for a client that stays
// connected, since httplib does not wake idle connections when it stops.
constexpr time_t keep_alive_seconds = 2;

// httplib hands every accepted socket to its task queue exactly once, so
// counting the hand-overs counts the connections.
class counting_queue : public httplib::TaskQueue {
 public:
  counting_queue(size_t threads, std::atomic<size_t>& connections)
      : pool_(threads), connections_(connections) {}
  void enqueue(std::function<void()> fn) override {
    ++connections_;
    pool_.enqueue(std::move(fn));
  }
  void shutdown() override { pool_.shutdown(); }

 private:
  httplib::ThreadPool pool_;
  std::atomic<size_t>& connections_;
};

// A relative URL path that stays inside the served directory.
bool inside(const std::string& relative) {
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    std::string part = relative.substr(start, end - start);
    if (part == ".." || part.find('\\') != std::string::npos ||
        part.find(':') != std::string::npos) {
      return false;
    }
    start = end + 1;
  }
  return !relative.empty();
}

}  // namespace

struct http_test_server::impl {
  // Counts a request as being answered until its response (and any body
  // provider holding this) is gone.
  struct active_request {
    explicit active_request(impl& owner) : owner_(owner) {}
    ~active_request() {
      mutex_lock hold(owner_.lock);
      --owner_.active;
    }
    impl& owner_;
  };

  explicit impl(http_test_server& outer) : outer(outer) {}

  void handle(const httplib::Request& request, httplib::Response& response) EXCLUDES(lock);
  void send_body(const std::string& path, httplib::Response& response,
                 std::shared_ptr<const std::string> body, const body_options& options,
                 std::shared_ptr<active_request> token);
  void send_repeated(httplib::Response& response, std::shared_ptr<const std::string> unit,
                     uint64_t size, std::shared_ptr<active_request> token);
  // Writes the next piece of a body, no more than `length` bytes (the end
  // of an asked range); false closes the connection.
  bool next_piece(const std::string& path, const std::string& body, const body_options& options,
                  size_t offset, size_t length, httplib::DataSink& sink) EXCLUDES(lock);
  // Waits while stalls hold. True when the caller stalled (and must now drop
  // the connection), false when stalls were already released.
  bool stall() EXCLUDES(lock);
  std::shared_ptr<const std::string> find_body(const std::string& path) EXCLUDES(lock);

  http_test_server& outer;
  httplib::Server server;
  std::thread thread;
  std::atomic<bool> listen_ended{false};
  std::atomic<size_t> connections{0};

  mutable mutex lock;
  condition wake{&lock};  // slow and stalled bodies wait on it
  bool stopping GUARDED_BY(lock) = false;
  bool stalls_released GUARDED_BY(lock) = false;
  std::vector<std::pair<std::string, std::wstring>> directories GUARDED_BY(lock);
  std::map<std::string, std::shared_ptr<const std::string>> bodies GUARDED_BY(lock);
  // unit, size
  std::map<std::string, std::pair<std::shared_ptr<const std::string>, uint64_t>> repeated
      GUARDED_BY(lock);
  std::map<std::string, body_options> options GUARDED_BY(lock);
  std::map<std::string, int> statuses GUARDED_BY(lock);
  std::map<std::string, std::pair<int, int>> failures GUARDED_BY(lock);  // count, status
  std::map<std::string, std::pair<std::string, int>> redirects GUARDED_BY(lock);
  std::vector<std::string> log GUARDED_BY(lock);
  std::map<std::string, uint64_t> sent GUARDED_BY(lock);  // body bytes per path
  size_t active GUARDED_BY(lock) = 0;
  size_t peak GUARDED_BY(lock) = 0;
};

void http_test_server::impl::handle(const httplib::Request& request, httplib::Response& response) {
  const std::string& path = request.path;
  std::shared_ptr<active_request> token;
  int status = 0;
  std::pair<std::string, int> redirect;
  body_options how;
  {
    mutex_lock hold(lock);
    log.push_back(path);
    ++active;
    peak = std::max(peak, active);
    token = std::make_shared<active_request>(*this);

    auto failure = failures.find(path);
    if (failure != failures.end()) {
      status = failure->second.second;
      if (--failure->second.first <= 0) failures.erase(failure);
    }
    auto fixed = statuses.find(path);
    if (!status && fixed != statuses.end()) status = fixed->second;
    auto moved = redirects.find(path);
    if (moved != redirects.end()) redirect = moved->second;
    auto found = options.find(path);
    if (found != options.end()) how = found->second;
  }

  if (status) {
    response.status = status;
    response.set_content(format_narrow("status %d", status), "text/plain");
    return;
  }
  if (redirect.second) {
    response.set_redirect(outer.url(redirect.first), redirect.second);
    return;
  }
  std::pair<std::shared_ptr<const std::string>, uint64_t> repeat;
  {
    mutex_lock hold(lock);
    auto found = repeated.find(path);
    if (found != repeated.end()) repeat = found->second;
  }
  if (repeat.first) {
    send_repeated(response, std::move(repeat.first), repeat.second, std::move(token));
    return;
  }
  std::shared_ptr<const std::string> body = find_body(path);
  if (!body) {
    response.status = 404;
    response.set_content("not found", "text/plain");
    return;
  }
  send_body(path, response, std::move(body), how, std::move(token));
}

std::shared_ptr<const std::string> http_test_server::impl::find_body(const std::string& path) {
  std::vector<std::pair<std::string, std::wstring>> roots;
  {
    mutex_lock hold(lock);
    auto found = bodies.find(path);
    if (found != bodies.end()) return found->second;
    roots = directories;
  }
  for (const auto& root : roots) {
    const std::string& prefix = root.first;
    if (path.compare(0, prefix.size(), prefix) != 0) continue;
    std::string relative = path.substr(prefix.size());
    if (!relative.empty() && relative[0] == '/') relative.erase(0, 1);
    if (!inside(relative)) continue;
    std::replace(relative.begin(), relative.end(), '/', '\\');
    std::wstring file = join_path(root.second, utf8_to_wide(relative));
    if (file_exists(file)) return std::make_shared<const std::string>(read_file(file));
  }
  return nullptr;
}

void http_test_server::impl::send_body(const std::string& path, httplib::Response& response,
                                       std::shared_ptr<const std::string> body,
                                       const body_options& how,
                                       std::shared_ptr<active_request> token) {
  if (how.corrupt && !body->empty()) {
    auto changed = std::make_shared<std::string>(*body);
    (*changed)[changed->size() / 2] ^= 0x5a;
    body = std::move(changed);
  }
  if (how.frame == body_options::framing::length) {
    if (body->empty()) {
      response.set_content("", octet_stream);
      return;
    }
    response.set_content_provider(
        body->size(), octet_stream,
        // httplib asks for the range a request names and sends its 206.
        [this, path, body, how, token](size_t offset, size_t length, httplib::DataSink& sink) {
          return next_piece(path, *body, how, offset, length, sink);
        });
    return;
  }
  // Without a length no range can be served: the whole body, as a host
  // that knows no ranges sends it (httplib would call it a 206).
  response.status = 200;
  bool chunked = how.frame == body_options::framing::chunked;
  auto provider = [this, path, body, how, token, chunked](size_t offset, httplib::DataSink& sink) {
    if (offset >= body->size()) {
      // httplib would keep the connection open after a body without length
      // and the client would wait for the keep-alive time-out; closing it
      // is what ends such a body.
      if (!chunked) return false;
      sink.done();
      return true;
    }
    return next_piece(path, *body, how, offset, body->size() - offset, sink);
  };
  if (chunked) {
    response.set_chunked_content_provider(octet_stream, provider);
  } else {
    response.set_header("Connection", "close");
    response.set_content_provider(octet_stream, provider);
  }
}

void http_test_server::impl::send_repeated(httplib::Response& response,
                                           std::shared_ptr<const std::string> unit, uint64_t size,
                                           std::shared_ptr<active_request> token) {
  if (size > SIZE_MAX || unit->empty()) {
    response.status = 500;
    response.set_content("body too large for this build", "text/plain");
    return;
  }
  // Pieces start at any offset; a doubled unit lets each be written whole.
  auto twice = std::make_shared<const std::string>(*unit + *unit);
  const size_t period = unit->size();
  response.set_content_provider(
      static_cast<size_t>(size), octet_stream,
      [twice, period, token](size_t offset, size_t length, httplib::DataSink& sink) {
        const size_t n = std::min(length, period);
        return sink.write(twice->data() + offset % period, n);
      });
}

bool http_test_server::impl::next_piece(const std::string& path, const std::string& body,
                                        const body_options& how, size_t offset, size_t length,
                                        httplib::DataSink& sink) {
  if (offset >= how.stall_after && stall()) return false;
  if (offset >= how.drop_after) return false;
  if (how.delay.count() > 0) {
    const auto until = std::chrono::steady_clock::now() + how.delay;
    mutex_lock hold(lock);
    while (!stopping && wake.wait_until(until)) {
    }
    if (stopping) return false;
  }
  size_t n = std::min({body.size() - offset, length, how.piece ? how.piece : default_piece});
  if (how.stall_after > offset) n = std::min(n, how.stall_after - offset);
  if (how.drop_after > offset) n = std::min(n, how.drop_after - offset);
  {
    mutex_lock hold(lock);
    sent[path] += n;
  }
  return sink.write(body.data() + offset, n);
}

bool http_test_server::impl::stall() {
  mutex_lock hold(lock);
  if (stalls_released) return false;
  while (!stopping && !stalls_released) wake.wait();
  return true;
}

http_test_server::http_test_server(int port) : impl_(new impl(*this)) {
  httplib::Server& server = impl_->server;
  std::atomic<size_t>& connections = impl_->connections;
  server.new_task_queue = [&connections] {
    return new counting_queue(server_threads, connections);
  };
  server.set_keep_alive_max_count(1000000);
  server.set_keep_alive_timeout(keep_alive_seconds);
  server.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    impl_->handle(request, response);
  });

  if (port == 0) {
    port_ = server.bind_to_any_port("127.0.0.1");
  } else if (server.bind_to_port("127.0.0.1", port)) {
    port_ = port;
  }
  if (port_ <= 0) throw std::runtime_error("http_test_server: cannot bind 127.0.0.1");

  impl_->thread = std::thread([this] {
    impl_->server.listen_after_bind();
    impl_->listen_ended = true;
  });
  // stop() does nothing before the accept loop runs, so wait for it.
  while (!impl_->server.is_running() && !impl_->listen_ended) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

http_test_server::~http_test_server() {
  {
    mutex_lock hold(impl_->lock);
    impl_->stopping = true;
  }
  impl_->wake.signal_all();
  impl_->server.stop();
  impl_->thread.join();
}

std::string http_test_server::url(const std::string& path) const {
  return format_narrow("http://127.0.0.1:%d", port_) + path;
}

void http_test_server::serve_directory(const std::wstring& directory, const std::string& prefix) {
  mutex_lock hold(impl_->lock);
  impl_->directories.emplace_back(prefix, directory);
}

void http_test_server::set_body(const std::string& path, std::string bytes, body_options options) {
  mutex_lock hold(impl_->lock);
  impl_->bodies[path] = std::make_shared<const std::string>(std::move(bytes));
  impl_->options[path] = options;
}

void http_test_server::set_repeated_body(const std::string& path, std::string unit, uint64_t size) {
  mutex_lock hold(impl_->lock);
  impl_->repeated[path] = {std::make_shared<const std::string>(std::move(unit)), size};
}

void http_test_server::set_options(const std::string& path, body_options options) {
  mutex_lock hold(impl_->lock);
  impl_->options[path] = options;
}

void http_test_server::set_status(const std::string& path, int status) {
  mutex_lock hold(impl_->lock);
  impl_->statuses[path] = status;
}

void http_test_server::fail_next(const std::string& path, int count, int status) {
  mutex_lock hold(impl_->lock);
  if (count > 0) impl_->failures[path] = {count, status};
}

void http_test_server::redirect(const std::string& from, const std::string& to, int status) {
  mutex_lock hold(impl_->lock);
  impl_->redirects[from] = {to, status};
}

void http_test_server::redirect_chain(const std::string& from, int hops, const std::string& to) {
  std::string at = from;
  for (int hop = 1; hop < hops; ++hop) {
    std::string next = format_narrow("%s/%d", from, hop);
    redirect(at, next);
    at = next;
  }
  if (hops > 0) redirect(at, to);
}

void http_test_server::release_stalls() {
  {
    mutex_lock hold(impl_->lock);
    impl_->stalls_released = true;
  }
  impl_->wake.signal_all();
}

std::vector<std::string> http_test_server::requests() const {
  mutex_lock hold(impl_->lock);
  return impl_->log;
}

size_t http_test_server::request_count(const std::string& path) const {
  mutex_lock hold(impl_->lock);
  return static_cast<size_t>(std::count(impl_->log.begin(), impl_->log.end(), path));
}

uint64_t http_test_server::bytes_sent(const std::string& path) const {
  mutex_lock hold(impl_->lock);
  auto found = impl_->sent.find(path);
  return found == impl_->sent.end() ? 0 : found->second;
}

size_t http_test_server::connection_count() const { return impl_->connections; }

size_t http_test_server::max_concurrent_requests() const {
  mutex_lock hold(impl_->lock);
  return impl_->peak;
}

void http_test_server::clear_log() {
  mutex_lock hold(impl_->lock);
  impl_->log.clear();
  impl_->sent.clear();
  impl_->peak = impl_->active;
  impl_->connections = 0;
}

}  // namespace test
}  // namespace tsl
