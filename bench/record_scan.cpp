// The floor an open is measured against: read a store file whole and check
// every record's frame and CRC-32, doing nothing else. Prints the record
// count and the seconds taken from open to the last check.
//
//   g++ -O2 -std=c++20 bench/record_scan.cpp -lz -o record_scan && ./record_scan FILE
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

constexpr size_t kHeaderSize = 64;  // the store header, checked separately by a real open
constexpr size_t kFrame = 29;       // record bytes around the payload

uint32_t u32_at(const std::string& buffer, size_t at) {
  uint32_t v;
  std::memcpy(&v, buffer.data() + at, 4);
  return v;  // little-endian host assumed, as on every machine this runs on
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s STORE_FILE\n", argv[0]);
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  std::string buffer(static_cast<size_t>(st.st_size), '\0');
  for (size_t done = 0; done < buffer.size();) {
    ssize_t n = ::pread(fd, buffer.data() + done, buffer.size() - done, static_cast<off_t>(done));
    if (n <= 0) {
      std::perror("read");
      return 1;
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  uint64_t records = 0;
  size_t p = kHeaderSize;
  while (p + kFrame <= buffer.size()) {
    if (std::memcmp(buffer.data() + p, "OMB1", 4) != 0) break;
    const size_t length = u32_at(buffer, p + 21);
    if (p + kFrame + length > buffer.size()) break;
    const size_t body = 25 + length;
    const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(buffer.data() + p), static_cast<uInt>(body));
    if (crc != u32_at(buffer, p + body)) break;
    ++records;
    p += kFrame + length;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%llu %.6f\n", static_cast<unsigned long long>(records), seconds);
  return 0;
}
