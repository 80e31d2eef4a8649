// Replay: the only recovery mechanism. `recover` reads the log from offset 64
// to the end of the file and rebuilds the live table from committed
// transactions, applied in the order of their commit records.
//
// Rules, in the order they are checked for each record at position p:
//   - fewer than 25 bytes left, or fewer than L + 29: torn tail, stop, unless
//     a valid record follows further on: Log(DamagedFrame) (see next_log_record)
//   - no "OMB1" at p: Log(BadMagic) (garbage is corruption, not a torn tail)
//   - the record fails to decode: Log(...) (unknown kind, checksum)
//   - sequence not above the previous one: NonMonotonicSequence
//   - tx_id already committed: RecordAfterCommit
//   - malformed put/delete payload: InvalidOperation
// `recover` never changes the file; torn-tail repair is the opener's job.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors.h"
#include "engine/file.h"
#include "engine/keyspace.h"
#include "engine/log_record.h"
#include "engine/store_header.h"

namespace ombrel::engine {

struct RecoveryState {
  LiveTable live;
  uint64_t max_tx_id = 0;
  uint64_t last_sequence = 0;
  uint64_t valid_bytes = kStoreHeaderSize;
  uint64_t records = 0;
  uint64_t committed_transactions = 0;
  uint64_t pending_transactions = 0;
};

// Where and why a replay stopped short of the end of a readable log.
struct ReplayFailure {
  EngineError error;
  uint64_t offset;  // file offset of the record that could not be replayed
};

// Replays the longest prefix that obeys the rules above: `state` describes
// that prefix, `failure` the first record that broke a rule (none when the
// log ends cleanly or in a torn tail).
struct ReplayOutcome {
  RecoveryState state;
  std::optional<ReplayFailure> failure;
};

// What a replay that goes on later (engine/log_follower.h) needs beyond the
// state: the committed transaction ids, and the operations of transactions
// not yet committed, copied out of the log image (each transaction's in log
// order).
struct ReplayCarry {
  struct PendingOperation {
    uint64_t tx_id;
    bool is_delete;
    std::string key;
    std::string value;
  };
  std::vector<uint64_t> committed_tx_ids;  // in no particular order
  std::vector<PendingOperation> pending;
};
// With `carry`, it is filled as well (also when the replay stopped on a failure).
ReplayOutcome replay_log(std::string_view log, ReplayCarry* carry = nullptr);

// The rules a decoded record must obey before it is replayed, given the
// sequence of the record before it (0 for none), whether its transaction has
// committed already, and how many records came before: NonMonotonicSequence,
// RecordAfterCommit, CounterExhausted, in that order.
std::optional<EngineError> check_replayed_record(const LogRecordView& record, uint64_t previous_sequence,
                                                 bool transaction_committed, uint64_t records_before);

// With `carry`, what a replay that goes on later needs is kept there too.
std::expected<RecoveryState, EngineError> recover(const File& file, ReplayCarry* carry = nullptr);
// The same replay over a log image already in memory (bytes after the header).
std::expected<RecoveryState, EngineError> recover_log(std::string_view log, ReplayCarry* carry = nullptr);

// Reads the header of an open store file, or writes a new one into an empty
// file (fresh random store_id, wall-clock creation time, full sync).
std::expected<StoreHeader, EngineError> load_or_initialize_header(File& file);

}  // namespace ombrel::engine
