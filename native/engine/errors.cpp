#include "engine/errors.h"

#include <cerrno>
#include <cstring>

#include "util/digest.h"

namespace ombrel::engine {

bool IoError::is_storage_full() const { return code == ENOSPC || code == EDQUOT; }
bool IoError::is_would_block() const { return code == EWOULDBLOCK || code == EAGAIN; }

std::string IoError::describe() const {
  if (code == 0) return detail;
  return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

std::string HeaderError::message() const {
  switch (kind) {
    case Kind::Truncated:
      return "store header is truncated";
    case Kind::BadMagic:
      return "store header has invalid magic bytes";
    case Kind::UnsupportedVersion:
      return "unsupported store format major version " + std::to_string(found) + "; this engine supports " +
             std::to_string(supported);
    case Kind::ChecksumMismatch:
      return "store header checksum mismatch: expected " + format_checksum(expected) + ", got " + format_checksum(got);
  }
  return {};
}

std::string StoreError::message() const {
  switch (kind) {
    case Kind::BadMagic:
      return "record has invalid magic bytes";
    case Kind::Truncated:
      return "record is truncated or has an invalid length";
    case Kind::UnknownKind:
      return "unknown record kind " + std::to_string(record_kind);
    case Kind::PayloadTooLarge:
      return "payload is too large";
    case Kind::ChecksumMismatch:
      return "record checksum mismatch: expected " + format_checksum(expected) + ", got " + format_checksum(got);
    case Kind::DamagedFrame:
      return "record at offset " + std::to_string(offset) +
             " runs past the end of the log, but a valid record follows at offset " + std::to_string(valid_offset) +
             ": the log is damaged, not torn";
  }
  return {};
}

EngineError EngineError::io(IoError e) {
  EngineError out(Kind::Io);
  out.io_ = std::move(e);
  return out;
}
EngineError EngineError::header(HeaderError e) {
  EngineError out(Kind::Header);
  out.header_ = e;
  return out;
}
EngineError EngineError::log(StoreError e) {
  EngineError out(Kind::Log);
  out.log_ = e;
  return out;
}
EngineError EngineError::storage_quota_exceeded(uint64_t max_bytes) {
  EngineError out(Kind::StorageQuotaExceeded);
  out.a_ = max_bytes;
  return out;
}
EngineError EngineError::namespace_quota_exceeded(std::string ns, uint64_t max_bytes) {
  EngineError out(Kind::NamespaceQuotaExceeded);
  out.text_ = std::move(ns);
  out.a_ = max_bytes;
  return out;
}
EngineError EngineError::entropy(std::string description) {
  EngineError out(Kind::Entropy);
  out.text_ = std::move(description);
  return out;
}
EngineError EngineError::non_monotonic_sequence(uint64_t previous, uint64_t current) {
  EngineError out(Kind::NonMonotonicSequence);
  out.a_ = previous;
  out.b_ = current;
  return out;
}
EngineError EngineError::record_after_commit(uint64_t tx_id) {
  EngineError out(Kind::RecordAfterCommit);
  out.a_ = tx_id;
  return out;
}
EngineError EngineError::of(Kind kind) { return EngineError(kind); }

std::string EngineError::message() const {
  switch (kind_) {
    case Kind::Io:
      return "I/O error: " + io_.describe();
    case Kind::Header:
      return "store header error: " + header_.message();
    case Kind::Log:
      return "log error: " + log_.message();
    case Kind::AlreadyOpen:
      return "store is already open by another writer";
    case Kind::StorageQuotaExceeded:
      return "store storage quota exceeded: maximum " + std::to_string(a_) + " bytes";
    case Kind::StorageFull:
      return "store cannot accept writes because the filesystem is full or the quota is exhausted";
    case Kind::NamespaceQuotaExceeded:
      return "store namespace quota exceeded for " + text_ + ": maximum " + std::to_string(a_) + " value bytes";
    case Kind::NamespaceQuotaOverflow:
      return "store namespace quota accounting overflow";
    case Kind::KeyTooLarge:
      return "key is too large";
    case Kind::ReservedKey:
      return "keys beginning with the Ombrel Store internal namespace are reserved";
    case Kind::Entropy:
      return "failed to obtain OS randomness for store identity: " + text_;
    case Kind::InvalidOperation:
      return "invalid operation payload";
    case Kind::TransactionFinished:
      return "transaction is already finished";
    case Kind::CounterExhausted:
      return "transaction or sequence counter exhausted";
    case Kind::ClockBeforeEpoch:
      return "system clock is before the Unix epoch";
    case Kind::TimestampOverflow:
      return "system timestamp does not fit the store format";
    case Kind::BackupDestinationSame:
      return "backup destination must differ from source store";
    case Kind::NonMonotonicSequence:
      return "non-monotonic log sequence: previous " + std::to_string(a_) + ", current " + std::to_string(b_);
    case Kind::RecordAfterCommit:
      return "log contains a record after transaction " + std::to_string(a_) + " was committed";
  }
  return {};
}

EngineError map_io_error(const IoError& e) {
  if (e.is_storage_full()) return EngineError::of(EngineError::Kind::StorageFull);
  return EngineError::io(e);
}

EngineError map_lock_error(const IoError& e) {
  if (e.is_would_block()) return EngineError::of(EngineError::Kind::AlreadyOpen);
  return EngineError::io(e);
}

}  // namespace ombrel::engine
