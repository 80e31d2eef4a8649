#include "engine/recovery.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/blocking.h"
#include "engine/log_record.h"
#include "engine/progress.h"
#include "util/byte_codec.h"
#include "util/clock.h"
#include "util/entropy.h"

namespace ombrel::engine {
namespace {

// The big-endian u64 of key[offset, offset + 8), zero-padded.
uint64_t chunk_at(std::string_view key, size_t offset) {
  if (key.size() >= offset + 8) return __builtin_bswap64(load_u64_le(key.data() + offset));
  uint64_t chunk = 0;
  for (size_t i = offset; i < key.size(); ++i)
    chunk |= static_cast<uint64_t>(static_cast<unsigned char>(key[i])) << (56 - 8 * (i - offset));
  return chunk;
}

// A replayed operation, pointing into the log image until the table is
// built, with its place in key order as far as one 8-byte chunk of its key
// tells, sortable without touching the key: the chunk, then how much of the
// key is left from the chunk on (0-8, or 9 for "more than the chunk"; zero
// padding makes a shorter key look equal to a longer one), then its position
// among the committed operations, which keeps each key's operations in log
// order. The operation rides along, so nothing is looked up in key order.
struct KeyRank {
  uint64_t chunk;
  uint64_t order;  // rest << 60 | position << 1 | is_delete
  const char* key;
  uint32_t key_size;
  uint32_t value_size;  // a put's value follows its key in the record

  static KeyRank of(std::string_view key, std::string_view value, bool is_delete) {
    return KeyRank{0, is_delete ? 1u : 0u, key.data(), static_cast<uint32_t>(key.size()),
                   static_cast<uint32_t>(value.size())};
  }
  void set_position(size_t position) { order = (uint64_t{position} << 1) | (order & 1); }
  std::string_view value_view() const { return {key + key_size, value_size}; }

  bool continues() const { return (order >> 60) == 9; }
  bool is_delete() const { return (order & 1) != 0; }
  std::string_view key_view() const { return {key, key_size}; }
  bool operator<(const KeyRank& other) const {
    return chunk != other.chunk ? chunk < other.chunk : order < other.order;
  }
  void rank_from(size_t offset) {
    chunk = chunk_at(key_view(), offset);
    const uint64_t rest = key_size <= offset ? 0 : std::min<uint64_t>(key_size - offset, 9);
    order = (rest << 60) | (order & ((uint64_t{1} << 60) - 1));
  }
};

// Which of the ranks, once in key order, share their key with the next one
// (known from the ranks, without reading keys again).
using SameKeyAsNext = std::vector<uint8_t>;

// Sorts ranks[begin, end) by chunk and rest, keeping the order of ties (log
// order): a least-significant-digit radix sort, one byte a pass, skipping
// the bytes in which every rank agrees. Short runs take a comparison sort.
void sort_ranks(std::vector<KeyRank>& ranks, size_t begin, size_t end, std::vector<KeyRank>& scratch) {
  const size_t n = end - begin;
  KeyRank* src = ranks.data() + begin;
  if (n < 4096) {
    std::sort(src, src + n);
    return;
  }
  // Digit 0 is the rest; digits 1-8 the chunk's bytes, least significant first.
  auto digit = [](const KeyRank& r, int d) -> size_t {
    return d == 0 ? static_cast<size_t>(r.order >> 60) : static_cast<size_t>((r.chunk >> (8 * (d - 1))) & 0xFF);
  };
  std::array<std::array<size_t, 256>, 9> counts{};
  for (size_t i = 0; i < n; ++i)
    for (int d = 0; d < 9; ++d) ++counts[d][digit(src[i], d)];
  if (scratch.size() < n) scratch.resize(n);
  KeyRank* dst = scratch.data();
  for (int d = 0; d < 9; ++d) {
    if (counts[d][digit(src[0], d)] == n) continue;  // every rank has this byte
    size_t at = 0;
    for (size_t& c : counts[d]) at += std::exchange(c, at);
    for (size_t i = 0; i < n; ++i) dst[counts[d][digit(src[i], d)]++] = src[i];
    std::swap(src, dst);
  }
  if (src != ranks.data() + begin) std::copy(src, src + n, ranks.data() + begin);
}

// Sorting ranks instead of comparing keys keeps the sort in cache (keys lie
// scattered over the log image): keys are ranked by the 8 bytes after their
// common prefix, and only runs that tie on a whole chunk are ranked again by
// the next 8.
SameKeyAsNext sort_by_key(std::vector<KeyRank>& ranks) {
  size_t common = ranks.empty() ? 0 : ranks.front().key_size;
  for (const KeyRank& rank : ranks) {
    const char* first = ranks.front().key;
    size_t i = 0;
    while (i < common && i < rank.key_size && rank.key[i] == first[i]) ++i;
    common = i;
  }
  for (KeyRank& rank : ranks) rank.rank_from(common);
  SameKeyAsNext same(ranks.size());
  struct Run {
    size_t begin, end, offset;
  };
  std::vector<Run> runs{{0, ranks.size(), common}};
  std::vector<KeyRank> scratch;
  while (!runs.empty()) {
    const Run run = runs.back();
    runs.pop_back();
    sort_ranks(ranks, run.begin, run.end, scratch);
    for (size_t a = run.begin; a < run.end;) {
      size_t b = a + 1;
      while (b < run.end && ranks[b].chunk == ranks[a].chunk && (ranks[b].order >> 60) == (ranks[a].order >> 60)) ++b;
      if (b - a > 1 && ranks[a].continues()) {
        for (size_t i = a; i < b; ++i) ranks[i].rank_from(run.offset + 8);
        runs.push_back(Run{a, b, run.offset + 8});
      } else if (b - a > 1) {
        // The key ends in this chunk: the whole run is one key.
        for (size_t i = a; i + 1 < b; ++i) same[i] = 1;
      }
      a = b;
    }
  }
  return same;
}

// Builds the live table from every committed operation, given in the order
// replay applies them. Rather than inserting at random positions (a cache
// miss per tree level per key), the operations are put in key order, each
// key's in log order; the last one decides, and the survivors are appended
// to the table in key order.
void build_live_table(std::vector<KeyRank>& applied, LiveTable& live) {
  auto by_key = [](const KeyRank& a, const KeyRank& b) { return a.key_view() < b.key_view(); };
  // Logs written in key order (feeds, message ids, bulk loads) skip the sort.
  if (std::is_sorted(applied.begin(), applied.end(), by_key)) {
    for (size_t i = 0; i < applied.size(); ++i) {
      const KeyRank& op = applied[i];
      if (i + 1 < applied.size() && applied[i + 1].key_view() == op.key_view()) continue;
      if (!op.is_delete()) live.append(op.key_view(), op.value_view());
    }
    return;
  }
  const SameKeyAsNext same = sort_by_key(applied);
  // In key order the records are scattered over the log image: fetch ahead.
  constexpr size_t kAhead = 8;
  const size_t n = applied.size();
  for (size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) {
      const KeyRank& later = applied[i + kAhead];
      __builtin_prefetch(later.key);
      __builtin_prefetch(later.key + later.key_size + later.value_size);
    }
    const KeyRank& op = applied[i];
    if (same[i] || op.is_delete()) continue;
    live.append(op.key_view(), op.value_view());
  }
}

// Memory for the whole log while it replays. A large image is mapped in
// huge pages where the system grants them: replay reads the records again in
// key order, all over the image, and small pages would miss the TLB on
// nearly every record.
class LogImage {
 public:
  explicit LogImage(size_t size) {
    if (size >= kHugePageBytes) {
      void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (mapped != MAP_FAILED) {
        (void)::madvise(mapped, size, MADV_HUGEPAGE);  // advice only: without it, small pages
        mapped_ = static_cast<char*>(mapped);
        mapped_size_ = size;
        return;
      }
    }
    fallback_.resize(size);
  }
  ~LogImage() {
    if (mapped_ != nullptr) ::munmap(mapped_, mapped_size_);
  }
  LogImage(const LogImage&) = delete;
  LogImage& operator=(const LogImage&) = delete;
  char* data() { return mapped_ != nullptr ? mapped_ : fallback_.data(); }

 private:
  static constexpr size_t kHugePageBytes = size_t{2} << 20;
  char* mapped_ = nullptr;
  size_t mapped_size_ = 0;
  std::string fallback_;
};

}  // namespace

std::optional<EngineError> check_replayed_record(const LogRecordView& record, uint64_t previous_sequence,
                                                 bool transaction_committed, uint64_t records_before) {
  if (previous_sequence != 0 && record.sequence <= previous_sequence)
    return EngineError::non_monotonic_sequence(previous_sequence, record.sequence);
  if (transaction_committed) return EngineError::record_after_commit(record.tx_id);
  if (records_before == UINT64_MAX) return EngineError::of(EngineError::Kind::CounterExhausted);
  return std::nullopt;
}

ReplayOutcome replay_log(std::string_view log, ReplayCarry* carry) {
  ReplayOutcome outcome;
  RecoveryState& state = outcome.state;
  std::unordered_set<uint64_t> committed;
  std::unordered_map<uint64_t, std::vector<KeyRank>> pending;
  std::vector<KeyRank> applied;  // committed operations, in application order
  uint64_t previous_sequence = 0;
  size_t p = 0;
  ProgressMeter progress(log.size());

  auto fail = [&](EngineError error) { outcome.failure = ReplayFailure{std::move(error), kStoreHeaderSize + p}; };
  while (true) {
    auto framed = next_log_record(log, p, previous_sequence);
    if (!framed) {
      fail(EngineError::log(framed.error()));
      break;
    }
    if (!*framed) break;  // the end, or a torn tail
    const LogRecordView* record = &(*framed)->record;
    if (auto broken =
            check_replayed_record(*record, previous_sequence, committed.contains(record->tx_id), state.records)) {
      fail(std::move(*broken));
      break;
    }

    std::optional<EngineError> invalid;
    switch (record->kind) {
      case RecordKind::Put: {
        auto put = parse_put_payload(record->payload);
        if (!put) {
          invalid = put.error();
          break;
        }
        pending[record->tx_id].push_back(KeyRank::of(put->key, put->value, false));
        break;
      }
      case RecordKind::Delete: {
        auto key = parse_delete_payload(record->payload);
        if (!key) {
          invalid = key.error();
          break;
        }
        pending[record->tx_id].push_back(KeyRank::of(*key, {}, true));
        break;
      }
      case RecordKind::Commit: {
        auto it = pending.find(record->tx_id);
        if (it != pending.end()) {
          for (KeyRank& op : it->second) {
            op.set_position(applied.size());
            applied.push_back(op);
          }
          pending.erase(it);
        }
        committed.insert(record->tx_id);
        break;
      }
    }
    if (invalid) {
      fail(std::move(*invalid));
      break;
    }
    if (record->tx_id > state.max_tx_id) state.max_tx_id = record->tx_id;
    ++state.records;
    previous_sequence = record->sequence;
    p += (*framed)->size;
    if (!progress.reach(p)) {
      fail(EngineError::io(progress_stopped_error()));
      break;
    }
  }
  if (!outcome.failure && !progress.finish()) fail(EngineError::io(progress_stopped_error()));

  if (carry != nullptr) {
    carry->committed_tx_ids.assign(committed.begin(), committed.end());
    // Each transaction's operations stay in log order; across transactions order does not matter.
    for (const auto& [tx_id, operations] : pending) {
      for (const KeyRank& op : operations)
        carry->pending.push_back({tx_id, op.is_delete(), std::string(op.key_view()), std::string(op.value_view())});
    }
  }
  build_live_table(applied, state.live);
  state.last_sequence = previous_sequence;
  state.valid_bytes = kStoreHeaderSize + p;
  state.committed_transactions = committed.size();
  state.pending_transactions = pending.size();
  return outcome;
}

std::expected<RecoveryState, EngineError> recover_log(std::string_view log, ReplayCarry* carry) {
  ReplayOutcome outcome = replay_log(log, carry);
  if (outcome.failure) return std::unexpected(std::move(outcome.failure->error));
  return std::move(outcome.state);
}

std::expected<RecoveryState, EngineError> recover(const File& file, ReplayCarry* carry) {
  BlockingRegion blocking;
  auto size = file.size();
  if (!size) return std::unexpected(EngineError::io(size.error()));
  if (*size <= kStoreHeaderSize) return recover_log({}, carry);
  const auto length = static_cast<size_t>(*size - kStoreHeaderSize);
  LogImage image(length);
  auto read = file.read_exact_at(kStoreHeaderSize, image.data(), length);
  if (!read) return std::unexpected(EngineError::io(read.error()));
  return recover_log(std::string_view(image.data(), length), carry);
}

std::expected<StoreHeader, EngineError> load_or_initialize_header(File& file) {
  auto size = file.size();
  if (!size) return std::unexpected(EngineError::io(size.error()));
  if (*size == 0) {
    StoreHeader header;
    auto random = fill_random(header.store_id);
    if (!random) return std::unexpected(EngineError::entropy(random.error()));
    WallClockReading now = read_wall_clock();
    if (now.before_epoch) return std::unexpected(EngineError::of(EngineError::Kind::ClockBeforeEpoch));
    constexpr uint64_t kMaxMillis = static_cast<uint64_t>(INT64_MAX);
    if (now.seconds > kMaxMillis / 1000) return std::unexpected(EngineError::of(EngineError::Kind::TimestampOverflow));
    uint64_t millis = now.seconds * 1000;
    uint64_t extra = now.nanoseconds / 1'000'000;
    if (millis > kMaxMillis - extra) return std::unexpected(EngineError::of(EngineError::Kind::TimestampOverflow));
    header.created_at_ms = millis + extra;
    // A header that did not fully reach the disk is cut off again, so that the
    // next open starts over on an empty file instead of finding a truncated or
    // unreadable header forever. The cut is best effort: its own failure does
    // not hide the error that caused it.
    auto written = file.write_all_at(0, header.encode());
    if (!written) {
      (void)file.truncate(0);
      return std::unexpected(EngineError::io(written.error()));
    }
    auto synced = file.sync_all();
    if (!synced) {
      (void)file.truncate(0);
      return std::unexpected(EngineError::io(synced.error()));
    }
    return header;
  }
  if (*size < kStoreHeaderSize) return std::unexpected(EngineError::header(HeaderError{HeaderError::Kind::Truncated}));
  char buf[kStoreHeaderSize];
  auto read = file.read_exact_at(0, buf, sizeof buf);
  if (!read) return std::unexpected(EngineError::io(read.error()));
  auto header = StoreHeader::decode(std::string_view(buf, sizeof buf));
  if (!header) return std::unexpected(EngineError::header(header.error()));
  return *header;
}

}  // namespace ombrel::engine
