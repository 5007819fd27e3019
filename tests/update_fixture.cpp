#include "tests/update_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "codec/chunker.h"
#include "codec/packed_file.h"
#include "format/chunk_map.h"
#include "codec/sha1.h"
#include "codec/signature.h"
#include "update/game_launcher_seams.h"
#include "format/documents.h"
#include "ui/splash_window_testing.h"
#include "util/file_system.h"
#include "util/product.h"
#include "util/sync.h"
#include "util/text.h"

namespace tsl {
namespace test {

update_host::update_host(const std::wstring& folder) : folder_(folder) {
  create_directories(folder_);
  server_.serve_directory(folder_, "/tsl/");
}

update_host::~update_host() = default;

std::string update_host::base_url() const { return server_.url("/tsl/"); }

void update_host::fail(const std::string& relative, int status, int times) {
  if (times < 0) {
    server_.set_status("/tsl/" + relative, status);
  } else {
    server_.fail_next("/tsl/" + relative, times, status);
  }
}

void update_host::slow(const std::string& relative, int delay_ms, bool with_length) {
  body_options how;
  how.piece = 1024;
  how.delay = std::chrono::milliseconds(delay_ms);
  if (!with_length) how.frame = body_options::framing::chunked;
  server_.set_options("/tsl/" + relative, how);
}

void update_host::stall(const std::string& relative) {
  body_options how;
  how.frame = body_options::framing::chunked;
  how.stall_after = 0;
  server_.set_options("/tsl/" + relative, how);
}

void update_host::drop(const std::string& relative, size_t bytes) {
  body_options how;
  how.drop_after = bytes;
  server_.set_options("/tsl/" + relative, how);
}

void update_host::no_ranges(const std::string& relative) {
  body_options how;
  how.frame = body_options::framing::until_close;
  server_.set_options("/tsl/" + relative, how);
}

uint64_t update_host::bytes_sent(const std::string& relative) const {
  return server_.bytes_sent("/tsl/" + relative);
}

void update_host::heal(const std::string& relative) {
  server_.set_options("/tsl/" + relative, body_options());
}

int update_host::requests(const std::string& relative) const {
  return static_cast<int>(server_.request_count("/tsl/" + relative));
}

std::vector<std::string> update_host::request_log() const {
  std::vector<std::string> out;
  for (const auto& path : server_.requests()) {
    out.push_back(path.rfind("/tsl/", 0) == 0 ? path.substr(5) : path);
  }
  return out;
}

int closed_port() {
  // A port that was just served and is now closed.
  http_test_server probe;
  return probe.port();
}

nlohmann::json publisher::default_config(const std::vector<std::string>& hosts) {
  nlohmann::json config;
  config["version"] = 3;
  config["guid"] = wide_to_utf8(product_guid);
  config["hosts"] = hosts;
  config["check"]["cache"] = true;
  config["check"]["hard_check"] = {"client\\*.exe", "client\\*.dll"};
  config["check"]["soft_check"] = {"config\\*.*"};
  config["check"]["acceptable_checksums"] = nlohmann::json::array();
  return config;
}

void publisher::write_signed(const std::wstring& path, const std::string& bytes,
                             const uint32_t* gameupdate) {
  write_file(path, bytes);
  delete_file(path + L".sig");
  if (secret_key_.empty()) return;
  const std::string message = gameupdate ? index_signed_message(*gameupdate, bytes) : bytes;
  write_file(path + L".sig", sign_detached(message, secret_key_));
}

void publisher::write_signed_index(uint32_t gameupdate, const nlohmann::json& index) {
  const std::wstring path = join_path(folder_, format_wide(L"%u\\index.json", gameupdate));
  write_signed(path, json_compact_line(index), &gameupdate);
  delete_file(path + L".lzma2");
}

namespace {

// The published file and the chunk map of `content`, laid out as the maker
// lays out a large file: each chunk a piece that decodes alone (packed), or
// the chunks as they are (copied).
std::string publish_chunked(const std::string& content, const published_file& f,
                            const std::wstring& published) {
  chunk_map map;
  map.header.form = f.packed ? published_form::packed : published_form::copied;
  map.header.sizes = chunk_sizes_of(f.chunk_average);
  map.header.file_size = content.size();
  size_t read = 0;
  const byte_source source = [&](uint8_t* bytes, uint32_t room, uint32_t& got) {
    got = static_cast<uint32_t>(std::min<size_t>(room, content.size() - read));
    std::memcpy(bytes, content.data() + read, got);
    read += got;
    return true;
  };
  std::string out;
  if (f.packed) {
    uint8_t header[packed_header_size];
    packed_header(content.size(), header);
    out.assign(reinterpret_cast<const char*>(header), sizeof header);
  }
  file_packer packer;
  const uint32_t dictionary = piece_dictionary(map.header.sizes.maximum);
  EXPECT_TRUE(chunk_stream(source, map.header.sizes, [&](const found_chunk& found) {
    chunk_entry chunk;
    chunk.offset = found.offset;
    chunk.length = found.length;
    std::memcpy(chunk.sha256, found.sha256, sizeof chunk.sha256);
    chunk.published_offset = out.size();
    if (f.packed) {
      size_t at = 0;
      const byte_source piece = [&](uint8_t* bytes, uint32_t room, uint32_t& got) {
        got = static_cast<uint32_t>(std::min<uint64_t>(room, found.length - at));
        std::memcpy(bytes, content.data() + found.offset + at, got);
        at += got;
        return true;
      };
      const byte_sink sink = [&](const uint8_t* bytes, size_t n) {
        out.append(reinterpret_cast<const char*>(bytes), n);
        return true;
      };
      EXPECT_EQ(packer.pack_piece(piece, sink, dictionary), 0);
    } else {
      out.append(content, found.offset, found.length);
    }
    chunk.published_length = out.size() - chunk.published_offset;
    map.chunks.push_back(chunk);
    return true;
  }));
  if (f.packed) out.push_back(static_cast<char>(lzma2_end_byte));
  map.header.published_size = out.size();
  map.header.count = map.chunks.size();
  write_file(published, out);
  return encode_chunk_map(map);
}

}  // namespace

std::string publisher::map_remote(uint32_t gameupdate, const published_file& file) {
  return wide_to_utf8(escape_remote_path(format_wide(L"%u\\", gameupdate) +
                                         to_lower_ascii(utf8_to_wide(file.local)) +
                                         (file.packed ? L".lzma2" : L"") + L".chunkmap"));
}

nlohmann::json publisher::publish(uint32_t gameupdate, const std::vector<published_file>& files,
                                  const nlohmann::json& config, bool packed_index) {
  Sha1Context context;
  byte_buffer buffer;
  scoped_temp_dir scratch;
  nlohmann::json entries = nlohmann::json::array();
  for (const auto& f : files) {
    std::wstring local = utf8_to_wide(f.local);
    std::wstring key = to_lower_ascii(local);
    std::wstring source = scratch / L"source";
    write_file(source, f.content);
    std::wstring remote = format_wide(L"%u\\", gameupdate) + key;
    std::wstring published = join_path(folder_, remote) + (f.packed ? L".lzma2" : L"");
    create_directories(directory_of(published));
    nlohmann::json e;
    e["u"] = gameupdate;
    e["l"] = f.local;
    e["l_sha1"] = file_digest(source, context, buffer);
    if (!secret_key_.empty()) e["l_sha256"] = sha256_text(f.content);
    e["l_size"] = f.content.size();
    if (f.chunk_average) {
      const std::string map = publish_chunked(f.content, f, published);
      write_file(published + L".chunkmap", map);
      e["m"] = map_remote(gameupdate, f);
      e["m_size"] = map.size();
      e["m_sha1"] = file_digest(published + L".chunkmap", context, buffer);
      if (!secret_key_.empty()) e["m_sha256"] = sha256_text(map);
    }
    if (f.packed) {
      if (!f.chunk_average) {
        EXPECT_EQ(pack_file(source, published), 0);
      }
      e["r_pack"] = "lzma2";
      e["r_sha1"] = file_digest(published, context, buffer);
      if (!secret_key_.empty()) e["r_sha256"] = sha256_text(read_file(published));
    } else if (!f.chunk_average) {
      copy_file_replace(source, published);
    }
    e["r_size"] = get_file_size(published);
    e["r"] = wide_to_utf8(escape_remote_path(remote)) + (f.packed ? ".lzma2" : "");
    entries.push_back(e);
  }
  nlohmann::json index{{"config", config}, {"files", entries}};
  std::wstring index_path = join_path(folder_, format_wide(L"%u\\index.json", gameupdate));
  create_directories(directory_of(index_path));
  write_signed(index_path, json_compact_line(index), &gameupdate);
  delete_file(index_path + L".lzma2");
  if (packed_index) {
    EXPECT_EQ(pack_file(index_path, index_path + L".lzma2"), 0);
  }
  write_signed(join_path(folder_, L"version.json"),
               json_compact_line(make_version_document(gameupdate)));
  return index;
}

void publisher::corrupt(const std::string& remote, const std::string& bytes) {
  write_file(join_path(folder_, unescape_remote_path(utf8_to_wide(remote))), bytes);
}

game_install::game_install() { write_file(image(), "launcher executable, first build"); }

std::unique_ptr<game_launcher> game_install::session(const std::vector<std::string>& hosts) const {
  auto s = std::make_unique<game_launcher>(image());
  s->prepare();
  game_launcher_seams::set_hosts(*s, hosts);
  return s;
}

run_result run_update(const game_install& game, const std::vector<std::string>& hosts,
                      std::function<void(CSplashWnd&, const std::wstring&)> during,
                      std::function<void(game_launcher&)> adjust) {
  run_result result;
  mutex lock;
  testable_splash splash;
  splash.set_status_observer([&](const std::wstring& text) {
    {
      mutex_lock hold(lock);
      result.statuses.push_back(text);
    }
    if (during) during(splash, text);
  });
  auto session = game.session(hosts);
  if (adjust) adjust(*session);
  result.ok = session->run(splash, result.restart);
  result.error = session->error_text();
  splash.set_status_observer(nullptr);
  splash.close();
  return result;
}

}  // namespace test
}  // namespace tsl
