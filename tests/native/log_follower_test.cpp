// A follower fed a log in pieces, cut anywhere (inside records and inside
// transactions), holds after each refresh exactly the table a replay of the
// same bytes gives, and tells a half-written append from damage. Replacement
// and damage are tested through the Python face (tests/test_read_only.py).
#include "engine/log_follower.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/file.h"
#include "engine/log_record.h"
#include "engine/recovery.h"
#include "engine/store_header.h"
#include "native_check.h"

using namespace ombrel::engine;

namespace {

std::mt19937_64 rng(11);

size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }

std::string header_bytes(uint8_t id) {
  StoreHeader header;
  header.store_id.fill(id);
  return header.encode();
}

// A log of interleaved transactions over a few keys, some never committed.
std::string random_log(size_t steps) {
  std::string log;
  std::map<uint64_t, int> open;
  uint64_t sequence = 0, next_tx = 1;
  for (size_t step = 0; step < steps; ++step) {
    if (open.size() < 3 || below(4) == 0) open[next_tx++];
    auto tx = std::next(open.begin(), static_cast<ptrdiff_t>(below(open.size())));
    if (below(4) == 0) {
      CHECK(encode_record_into(log, RecordKind::Commit, tx->first, ++sequence, {}).has_value());
      open.erase(tx);
      continue;
    }
    const bool put = below(4) != 0;
    const std::string key = "k" + std::to_string(below(20));
    CHECK(encode_operation_record_into(log, put ? RecordKind::Put : RecordKind::Delete, tx->first, ++sequence, key,
                                       put ? std::to_string(step) : std::string())
              .has_value());
  }
  return log;
}

struct TempFile {
  std::string path;
  TempFile() {
    char name[] = "/tmp/log_follower_test_XXXXXX";
    const int fd = ::mkstemp(name);
    CHECK(fd >= 0);
    ::close(fd);
    path = name;
  }
  ~TempFile() { ::unlink(path.c_str()); }
  void write(const std::string& bytes) const {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
};

bool same_as_replay(const Store& store, std::string_view log) {
  auto replayed = recover_log(log);
  return replayed.has_value() && store.live() == replayed->live;
}

void check_follows_in_pieces() {
  const std::string log = random_log(2000);
  TempFile file;
  size_t written = below(log.size() / 4);
  file.write(header_bytes(1) + log.substr(0, written));
  auto opened = LogFollower::open(file.path);
  CHECK(opened.has_value());
  if (!opened) return;
  CHECK(same_as_replay(*opened->store, log.substr(0, written)));
  while (written < log.size()) {
    written = std::min(log.size(), written + 1 + below(300));
    file.write(header_bytes(1) + log.substr(0, written));
    auto applied = opened->follower.refresh(*opened->store);
    CHECK(applied.has_value());
    CHECK(same_as_replay(*opened->store, log.substr(0, written)));
  }
  auto replayed = recover_log(log);
  CHECK(opened->follower.replayed_bytes() == replayed->valid_bytes);
  // Nothing new: nothing applied.
  auto again = opened->follower.refresh(*opened->store);
  CHECK(again.has_value() && *again == 0);
}

// A value that holds a whole record (a store file kept as an object): while its
// put is half written, what follows the cut looks like a valid record after a
// frame that runs past the end.
void check_append_in_progress_is_not_damage() {
  std::string inner;
  CHECK(encode_operation_record_into(inner, RecordKind::Put, 9, 99, "x", "y").has_value());
  std::string log;
  CHECK(encode_operation_record_into(log, RecordKind::Put, 1, 1, "a", "1").has_value());
  CHECK(encode_record_into(log, RecordKind::Commit, 1, 2, {}).has_value());
  const size_t before_big = log.size();
  CHECK(encode_operation_record_into(log, RecordKind::Put, 2, 3, "big", std::string(100, 'p') + inner + "tail")
            .has_value());
  CHECK(encode_record_into(log, RecordKind::Commit, 2, 4, {}).has_value());
  const std::string half = log.substr(0, log.size() - 30);  // the big put lacks a byte of its checksum

  TempFile file;
  file.write(header_bytes(1) + half);
  auto opened = LogFollower::open(file.path);  // opens at the half-written frame
  CHECK(opened.has_value());
  if (!opened) return;
  CHECK(opened->follower.replayed_bytes() == kStoreHeaderSize + before_big);
  // Seen again with the file unchanged: no append was in progress; it is damage.
  auto again = opened->follower.refresh(*opened->store);
  CHECK(!again);
  if (!again) {
    CHECK(again.error().message().find("record at offset " + std::to_string(kStoreHeaderSize + before_big) +
                                       " runs past the end of the log") != std::string::npos);
  }
  // The append completes.
  file.write(header_bytes(1) + log);
  auto completed = opened->follower.refresh(*opened->store);
  CHECK(completed.has_value() && *completed == 1);
  CHECK(opened->store->find("big").has_value());
}

void check_transaction_id_set() {
  TransactionIdSet ids;
  std::vector<uint64_t> order = {5, 3, 4, 1, 10, 2, 9, UINT64_MAX, 0, 7};
  std::map<uint64_t, bool> model;
  for (uint64_t id : order) {
    ids.insert(id);
    model[id] = true;
    for (uint64_t probe : std::vector<uint64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, UINT64_MAX - 1, UINT64_MAX})
      CHECK(ids.contains(probe) == model.contains(probe));
  }
  CHECK(ids.ranges() == 4);  // 0-5, 7, 9-10, max
}

}  // namespace

int main() {
  for (int round = 0; round < 20; ++round) check_follows_in_pieces();
  check_append_in_progress_is_not_damage();
  check_transaction_id_set();
  return native_check::finish("log_follower_test");
}
