// Benchmark driver for bench/net_bench.sh: fetches files with one downloader,
// the way the launcher's download worker does (same options, a progress
// callback that tracks the percent, one handle for every file).
//   net_bench <url> <path>     one file
//   net_bench -list <file>     every line "<url> <path>", one after another
// Prints the seconds spent and the bytes fetched; exit code 1 on a failure.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "net/downloader.h"
#include "util/file_system.h"
#include "util/text.h"

int main(int argc, char** argv) {
  std::vector<std::pair<std::string, std::string>> jobs;
  if (argc == 3 && std::string(argv[1]) == "-list") {
    std::ifstream list(argv[2]);
    std::string line;
    while (std::getline(list, line)) {
      std::istringstream fields(line);
      std::string url, path;
      if (fields >> url >> path) jobs.emplace_back(url, path);
    }
  } else if (argc == 3) {
    jobs.emplace_back(argv[1], argv[2]);
  } else {
    std::fprintf(stderr, "usage: net_bench <url> <path> | net_bench -list <file>\n");
    return 2;
  }

  try {
    tsl::downloader fetcher;
    int shown = 0;
    fetcher.set_progress_callback([&shown](int percent, double, double, double, double) {
      if (percent != shown) shown = percent;
      return 0;
    });
    uint64_t bytes = 0;
    auto start = std::chrono::steady_clock::now();
    for (const auto& job : jobs) {
      std::wstring path = tsl::utf8_to_wide(job.second);
      if (!fetcher.download(job.first, path)) {
        std::fprintf(stderr, "net_bench: %s: %s\n", job.first.c_str(),
                     fetcher.last_error().c_str());
        return 1;
      }
      bytes += tsl::get_file_size(path);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.6f %llu\n", seconds, static_cast<unsigned long long>(bytes));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "net_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
