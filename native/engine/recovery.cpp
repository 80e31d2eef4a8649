#include "engine/recovery.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/log_record.h"
#include "util/byte_codec.h"
#include "util/clock.h"
#include "util/entropy.h"

namespace ombrel::engine {
namespace {

// A replayed operation points into the log image until the table is built.
struct PendingOperation {
  RecordKind kind;
  std::string_view key;
  std::string_view value;
};

// Builds the live table from every committed operation, given in the order
// replay applies them. Rather than inserting at random positions (a cache
// miss per tree level per key), the operations are sorted by key, stably so
// that each key's operations keep their order; the last one decides, and the
// survivors are appended to the table in key order.
void build_live_table(std::vector<PendingOperation>& applied, LiveTable& live) {
  auto by_key = [](const PendingOperation& a, const PendingOperation& b) { return a.key < b.key; };
  // Logs written in key order (feeds, message ids, bulk loads) skip the sort.
  if (!std::is_sorted(applied.begin(), applied.end(), by_key)) std::stable_sort(applied.begin(), applied.end(), by_key);
  for (size_t i = 0; i < applied.size(); ++i) {
    const PendingOperation& op = applied[i];
    if (i + 1 < applied.size() && applied[i + 1].key == op.key) continue;
    if (op.kind == RecordKind::Put) live.append(op.key, op.value);
  }
}

}  // namespace

ReplayOutcome replay_log(std::string_view log) {
  ReplayOutcome outcome;
  RecoveryState& state = outcome.state;
  std::unordered_set<uint64_t> committed;
  std::unordered_map<uint64_t, std::vector<PendingOperation>> pending;
  std::vector<PendingOperation> applied;  // committed operations, in application order
  uint64_t previous_sequence = 0;
  size_t p = 0;

  auto fail = [&](EngineError error) { outcome.failure = ReplayFailure{std::move(error), kStoreHeaderSize + p}; };
  while (true) {
    auto framed = next_log_record(log, p, previous_sequence);
    if (!framed) {
      fail(EngineError::log(framed.error()));
      break;
    }
    if (!*framed) break;  // the end, or a torn tail
    const LogRecordView* record = &(*framed)->record;
    if (previous_sequence != 0 && record->sequence <= previous_sequence) {
      fail(EngineError::non_monotonic_sequence(previous_sequence, record->sequence));
      break;
    }
    if (committed.contains(record->tx_id)) {
      fail(EngineError::record_after_commit(record->tx_id));
      break;
    }
    if (state.records == UINT64_MAX) {
      fail(EngineError::of(EngineError::Kind::CounterExhausted));
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
        pending[record->tx_id].push_back(PendingOperation{RecordKind::Put, put->key, put->value});
        break;
      }
      case RecordKind::Delete: {
        auto key = parse_delete_payload(record->payload);
        if (!key) {
          invalid = key.error();
          break;
        }
        pending[record->tx_id].push_back(PendingOperation{RecordKind::Delete, *key, {}});
        break;
      }
      case RecordKind::Commit: {
        auto it = pending.find(record->tx_id);
        if (it != pending.end()) {
          applied.insert(applied.end(), it->second.begin(), it->second.end());
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
  }

  build_live_table(applied, state.live);
  state.last_sequence = previous_sequence;
  state.valid_bytes = kStoreHeaderSize + p;
  state.committed_transactions = committed.size();
  state.pending_transactions = pending.size();
  return outcome;
}

std::expected<RecoveryState, EngineError> recover_log(std::string_view log) {
  ReplayOutcome outcome = replay_log(log);
  if (outcome.failure) return std::unexpected(std::move(outcome.failure->error));
  return std::move(outcome.state);
}

std::expected<RecoveryState, EngineError> recover(const File& file) {
  auto size = file.size();
  if (!size) return std::unexpected(EngineError::io(size.error()));
  std::string log;
  if (*size > kStoreHeaderSize) {
    log.resize(static_cast<size_t>(*size - kStoreHeaderSize));
    auto read = file.read_exact_at(kStoreHeaderSize, log.data(), log.size());
    if (!read) return std::unexpected(EngineError::io(read.error()));
  }
  return recover_log(log);
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
