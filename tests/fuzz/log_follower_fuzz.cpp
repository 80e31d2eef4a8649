// Any bytes as a log, arriving in three pieces cut anywhere: a follower that
// opened on the first piece and refreshed after each of the others ends with
// exactly what one replay of the whole log gives (the same table, stopped at
// the same record), whatever it met on the way.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/log_follower.h"
#include "engine/recovery.h"
#include "engine/store_header.h"
#include "fuzz_check.h"

using namespace ombrel::engine;

namespace {

const std::string& scratch_path() {
  static const std::string path = [] {
    char name[] = "/tmp/log_follower_fuzz_XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0) std::abort();
    ::close(fd);
    std::atexit([] { ::unlink(scratch_path().c_str()); });
    return std::string(name);
  }();
  return path;
}

void write_file(std::string_view bytes) {
  std::FILE* file = std::fopen(scratch_path().c_str(), "wb");
  if (file == nullptr) std::abort();
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  std::string_view log(reinterpret_cast<const char*>(data) + 2, size - 2);
  const size_t first = log.size() * data[0] / 256;
  const size_t second = first + (log.size() - first) * data[1] / 256;
  const std::string header = StoreHeader{}.encode();

  write_file(header + std::string(log.substr(0, first)));
  auto opened = LogFollower::open(scratch_path());
  const ReplayOutcome whole = replay_log(log);
  if (!opened) {
    // Only damage already in the first piece stops the open, and the whole log has it too.
    FUZZ_CHECK(whole.failure.has_value() && whole.failure->offset <= kStoreHeaderSize + first);
    return 0;
  }
  for (size_t end : {second, log.size()}) {
    write_file(header + std::string(log.substr(0, end)));
    (void)opened->follower.refresh(*opened->store);
  }
  const uint64_t stopped = whole.failure ? whole.failure->offset : whole.state.valid_bytes;
  FUZZ_CHECK(opened->follower.replayed_bytes() == stopped);
  FUZZ_CHECK(opened->store->live() == whole.state.live);
  return 0;
}
