// log_read_native: times the station's production-log reader (LogMemoryReader) on Linux, fed a
// megabyte at a time as the station feeds it. Built by the native preset; not a test.
//
//   log_read_native LOG SHA256 [--runs N]
//
// Per run: the wall time of reading and parsing the whole file, then what the reader concluded.
// The first run may include the file's reading from disk; the others read it from the cache.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "log_memory.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: log_read_native LOG SHA256 [--runs N]\n");
    return 2;
  }
  int runs = 3;
  if (argc >= 5 && std::string(argv[3]) == "--runs") runs = std::max(1, std::atoi(argv[4]));
  std::vector<char> buffer(1 << 20);
  std::vector<double> seconds;
  for (int run = 1; run <= runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const int fd = open(argv[1], O_RDONLY);
    if (fd < 0) {
      std::perror(argv[1]);
      return 1;
    }
    pelorin::station::LogMemoryReader reader(argv[2]);
    uint64_t bytes = 0;
    for (ssize_t got; (got = read(fd, buffer.data(), buffer.size())) > 0;) {
      reader.Add(std::string_view(buffer.data(), static_cast<size_t>(got)));
      bytes += static_cast<uint64_t>(got);
    }
    close(fd);
    const pelorin::station::LogMemory memory = reader.Finish();
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    seconds.push_back(s);
    size_t verified = 0;
    for (const auto& [serial, ok] : memory.serials) verified += ok ? 1 : 0;
    std::printf("run %d: %.3f s, %.0f MB/s, lastSequence=%llu serials=%zu verified=%zu\n", run, s,
                static_cast<double>(bytes) / s / 1e6,
                static_cast<unsigned long long>(memory.lastSequence), memory.serials.size(),
                verified);
  }
  std::sort(seconds.begin(), seconds.end());
  std::printf("native reader: best %.3f s, median %.3f s over %d runs\n", seconds.front(),
              seconds[seconds.size() / 2], runs);
  return 0;
}
