// Log records: the framed, checksummed entries that follow the header.
//
//   offset  width  field      encoding
//   0       4      magic      "OMB1"
//   4       1      kind       1 put, 2 delete, 3 commit
//   5       8      tx_id      u64 LE
//   13      8      sequence   u64 LE, strictly increasing over the log
//   21      4      length L   u32 LE payload length
//   25      L      payload    by kind, below
//   25+L    4      checksum   u32 LE CRC-32 of bytes 0..24+L
//
// Payloads:  put     u32 LE key length K, K key bytes, then the value (the
//                    rest of the payload; its length is not stored)
//            delete  u32 LE key length K, K key bytes; L == 4 + K exactly
//            commit  empty when written; ignored when read
//
// Decoding of exactly one framed record, first failure reported: fewer than
// 29 bytes (Truncated), magic (BadMagic), kind (UnknownKind), total length
// != L + 29 (Truncated), checksum (ChecksumMismatch).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "engine/errors.h"
#include "util/byte_codec.h"

namespace ombrel::engine {

inline constexpr size_t kRecordKindOffset = 4;
inline constexpr size_t kRecordTxIdOffset = 5;
inline constexpr size_t kRecordSequenceOffset = 13;
inline constexpr size_t kRecordLengthOffset = 21;
inline constexpr size_t kRecordPrefixSize = 25;  // bytes before the payload
inline constexpr size_t kRecordChecksumSize = 4;
inline constexpr size_t kRecordFrameSize = 29;  // fixed bytes around a payload
inline constexpr std::string_view kRecordMagic{"OMB1", 4};
static_assert(contiguous_fields({{0, kRecordMagic.size()},
                                 {kRecordKindOffset, 1},
                                 {kRecordTxIdOffset, 8},
                                 {kRecordSequenceOffset, 8},
                                 {kRecordLengthOffset, 4}},
                                kRecordPrefixSize) &&
              kRecordPrefixSize + kRecordChecksumSize == kRecordFrameSize);
inline constexpr uint64_t kMaxPayloadLength = 0xFFFFFFFFull;

enum class RecordKind : uint8_t { Put = 1, Delete = 2, Commit = 3 };

struct LogRecord {
  RecordKind kind = RecordKind::Commit;
  uint64_t tx_id = 0;
  uint64_t sequence = 0;
  std::string payload;

  std::expected<std::string, StoreError> encode() const;
  static std::expected<LogRecord, StoreError> decode(std::string_view bytes);
};

// A decoded record that points into the caller's buffer (replay's fast path).
struct LogRecordView {
  RecordKind kind;
  uint64_t tx_id;
  uint64_t sequence;
  std::string_view payload;
};

// Appends the framed record to `out` (reused across records by the writer).
std::expected<void, StoreError> encode_record_into(std::string& out, RecordKind kind, uint64_t tx_id, uint64_t sequence,
                                                   std::string_view payload);
std::expected<LogRecordView, StoreError> decode_record_view(std::string_view bytes);

// One step of a walk over a log image (the bytes after the header): the record
// that starts at `offset` and its framed size; std::nullopt at the end or at a
// torn tail; the error of a record that is whole but does not decode. Replay
// and every other reader of a raw log walk it with this, so that the
// torn-tail rule lives in one place.
//
// The torn-tail rule: only the last append can be torn, so a frame that runs
// past the end of the log (fewer bytes left than its prefix or its length
// promise) is a torn tail only when no complete record with a valid checksum
// and a sequence above `after_sequence` starts anywhere after it. Otherwise
// the frame was damaged in place (a flipped bit in a length field) and the
// walk fails with DamagedFrame: cutting there would throw away committed
// records.
struct FramedRecord {
  LogRecordView record;
  size_t size;
};
std::expected<std::optional<FramedRecord>, StoreError> next_log_record(std::string_view log, size_t offset,
                                                                       uint64_t after_sequence = 0);
// Frames a put (value present) or delete record straight from its key and
// value, without building the payload separately. The caller has checked the
// key length (KeyTooLarge); PayloadTooLarge when 4 + key + value overflows.
std::expected<void, StoreError> encode_operation_record_into(std::string& out, RecordKind kind, uint64_t tx_id,
                                                             uint64_t sequence, std::string_view key,
                                                             std::string_view value);

// Operation payloads; KeyTooLarge for keys longer than 2^32 - 1 bytes.
std::expected<std::string, EngineError> encode_put(std::string_view key, std::string_view value);
std::expected<std::string, EngineError> encode_delete(std::string_view key);

struct PutPayload {
  std::string_view key;
  std::string_view value;
};
// InvalidOperation for a malformed payload.
std::expected<PutPayload, EngineError> parse_put_payload(std::string_view payload);
std::expected<std::string_view, EngineError> parse_delete_payload(std::string_view payload);

}  // namespace ombrel::engine
