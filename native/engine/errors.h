// Engine error values.
//
// HeaderError belongs to the store header codec, StoreError to the log record
// codec, EngineError to every fallible engine operation. Each renders one fixed
// display text per variant (`message()`); the Python binding chooses an
// exception class by EngineError::Kind and never rewrites the text.
//
//   #  EngineError::Kind        display text
//   0  Io                       "I/O error: {io description}"
//   1  Header                   "store header error: {HeaderError}"
//   2  Log                      "log error: {StoreError}"
//   3  AlreadyOpen              "store is already open by another writer"
//   4  StorageQuotaExceeded     "store storage quota exceeded: maximum {} bytes"
//   5  StorageFull              "store cannot accept writes because the filesystem is full or the quota is exhausted"
//   6  NamespaceQuotaExceeded   "store namespace quota exceeded for {}: maximum {} value bytes"
//   7  NamespaceQuotaOverflow   "store namespace quota accounting overflow"
//   8  KeyTooLarge              "key is too large"
//   9  ReservedKey              "keys beginning with the Ombrel Store internal namespace are reserved"
//  10  Entropy                  "failed to obtain OS randomness for store identity: {}"
//  11  InvalidOperation         "invalid operation payload"
//  12  TransactionFinished      "transaction is already finished"
//  13  CounterExhausted         "transaction or sequence counter exhausted"
//  14  ClockBeforeEpoch         "system clock is before the Unix epoch"
//  15  TimestampOverflow        "system timestamp does not fit the store format"
//  16  BackupDestinationSame    "backup destination must differ from source store"
//  17  NonMonotonicSequence     "non-monotonic log sequence: previous {}, current {}"
//  18  RecordAfterCommit        "log contains a record after transaction {} was committed"
#pragma once

#include <cstdint>
#include <string>

#include "engine/io_error.h"

namespace ombrel::engine {

struct HeaderError {
  enum class Kind : uint8_t { Truncated, BadMagic, UnsupportedVersion, ChecksumMismatch };
  Kind kind;
  uint16_t found = 0, supported = 0;  // UnsupportedVersion
  uint32_t expected = 0, got = 0;     // ChecksumMismatch: stored, computed

  std::string message() const;
};

// Errors of the log record codec. DamagedFrame comes from the walk over a
// log, not from decoding one record: a frame that runs past the end of the
// log although a valid record lies beyond it.
struct StoreError {
  enum class Kind : uint8_t { BadMagic, Truncated, UnknownKind, PayloadTooLarge, ChecksumMismatch, DamagedFrame };
  Kind kind;
  uint8_t record_kind = 0;                // UnknownKind
  uint32_t expected = 0, got = 0;         // ChecksumMismatch: stored, computed
  uint64_t offset = 0, valid_offset = 0;  // DamagedFrame: file offsets of the frame and of the valid record

  std::string message() const;
};

class EngineError {
 public:
  enum class Kind : uint8_t {
    Io,
    Header,
    Log,
    AlreadyOpen,
    StorageQuotaExceeded,
    StorageFull,
    NamespaceQuotaExceeded,
    NamespaceQuotaOverflow,
    KeyTooLarge,
    ReservedKey,
    Entropy,
    InvalidOperation,
    TransactionFinished,
    CounterExhausted,
    ClockBeforeEpoch,
    TimestampOverflow,
    BackupDestinationSame,
    NonMonotonicSequence,
    RecordAfterCommit,
  };

  static EngineError io(IoError e);
  static EngineError header(HeaderError e);
  static EngineError log(StoreError e);
  static EngineError storage_quota_exceeded(uint64_t max_bytes);
  static EngineError namespace_quota_exceeded(std::string ns, uint64_t max_bytes);
  static EngineError entropy(std::string description);
  static EngineError non_monotonic_sequence(uint64_t previous, uint64_t current);
  static EngineError record_after_commit(uint64_t tx_id);
  // Every variant that carries nothing.
  static EngineError of(Kind kind);

  Kind kind() const { return kind_; }
  std::string message() const;

  const IoError& io_error() const { return io_; }
  const HeaderError& header_error() const { return header_; }
  const StoreError& log_error() const { return log_; }

 private:
  explicit EngineError(Kind k) : kind_(k) {}
  Kind kind_;
  IoError io_{};
  HeaderError header_{HeaderError::Kind::Truncated};
  StoreError log_{StoreError::Kind::BadMagic};
  std::string text_;        // namespace name or entropy description
  uint64_t a_ = 0, b_ = 0;  // numbers carried by the variant
};

// Write and durability-sync failures: ENOSPC/EDQUOT become StorageFull.
EngineError map_io_error(const IoError& e);
// flock failures: would-block means another holder.
EngineError map_lock_error(const IoError& e);
inline bool is_lock_contention(const IoError& e) { return e.is_would_block(); }

}  // namespace ombrel::engine
