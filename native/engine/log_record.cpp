#include "engine/log_record.h"

#include "engine/store_header.h"
#include "util/byte_codec.h"
#include "util/digest.h"

namespace ombrel::engine {

namespace {

// Frames one record into `out`: the fixed prefix, the payload written by
// `write_payload` (exactly `payload_length` bytes), then the checksum.
template <class WritePayload>
std::expected<void, StoreError> frame_record(std::string& out, RecordKind kind, uint64_t tx_id, uint64_t sequence,
                                             uint64_t payload_length, WritePayload&& write_payload) {
  if (payload_length > kMaxPayloadLength) return std::unexpected(StoreError{StoreError::Kind::PayloadTooLarge});
  size_t start = out.size();
  out.reserve(start + kRecordFrameSize + payload_length);
  ByteWriter w(out);
  w.bytes(kRecordMagic);
  w.u8(static_cast<uint8_t>(kind));
  w.u64_le(tx_id);
  w.u64_le(sequence);
  w.u32_le(static_cast<uint32_t>(payload_length));
  write_payload(w);
  w.u32_le(crc32_of(std::string_view(out).substr(start)));
  return {};
}

// Put and delete payloads: key length, key, then the value (empty for a delete).
void write_operation_payload(ByteWriter& w, std::string_view key, std::string_view value) {
  w.field_le(key);
  w.bytes(value);
}

}  // namespace

std::expected<void, StoreError> encode_record_into(std::string& out, RecordKind kind, uint64_t tx_id, uint64_t sequence,
                                                   std::string_view payload) {
  return frame_record(out, kind, tx_id, sequence, payload.size(), [&](ByteWriter& w) { w.bytes(payload); });
}

std::expected<void, StoreError> encode_operation_record_into(std::string& out, RecordKind kind, uint64_t tx_id,
                                                             uint64_t sequence, std::string_view key,
                                                             std::string_view value) {
  if (key.size() > kMaxPayloadLength) return std::unexpected(StoreError{StoreError::Kind::PayloadTooLarge});
  return frame_record(out, kind, tx_id, sequence, 4ull + key.size() + value.size(),
                      [&](ByteWriter& w) { write_operation_payload(w, key, value); });
}

std::expected<std::string, StoreError> LogRecord::encode() const {
  std::string out;
  auto r = encode_record_into(out, kind, tx_id, sequence, payload);
  if (!r) return std::unexpected(r.error());
  return out;
}

std::expected<LogRecordView, StoreError> decode_record_view(std::string_view bytes) {
  const size_t n = bytes.size();
  if (n < kRecordFrameSize) return std::unexpected(StoreError{StoreError::Kind::Truncated});
  if (!bytes.starts_with(kRecordMagic)) return std::unexpected(StoreError{StoreError::Kind::BadMagic});
  uint8_t kind = static_cast<uint8_t>(bytes[kRecordKindOffset]);
  if (kind < 1 || kind > 3) {
    StoreError e{StoreError::Kind::UnknownKind};
    e.record_kind = kind;
    return std::unexpected(e);
  }
  uint64_t length = load_u32_le(bytes.data() + kRecordLengthOffset);
  if (n != length + kRecordFrameSize) return std::unexpected(StoreError{StoreError::Kind::Truncated});
  const size_t checksum_offset = n - kRecordChecksumSize;
  uint32_t stored = load_u32_le(bytes.data() + checksum_offset);
  uint32_t computed = crc32_of(bytes.substr(0, checksum_offset));
  if (stored != computed) {
    StoreError e{StoreError::Kind::ChecksumMismatch};
    e.expected = stored;
    e.got = computed;
    return std::unexpected(e);
  }
  return LogRecordView{static_cast<RecordKind>(kind), load_u64_le(bytes.data() + kRecordTxIdOffset),
                       load_u64_le(bytes.data() + kRecordSequenceOffset), bytes.substr(kRecordPrefixSize, length)};
}

std::expected<LogRecord, StoreError> LogRecord::decode(std::string_view bytes) {
  auto view = decode_record_view(bytes);
  if (!view) return std::unexpected(view.error());
  return LogRecord{view->kind, view->tx_id, view->sequence, std::string(view->payload)};
}

std::expected<std::string, EngineError> encode_put(std::string_view key, std::string_view value) {
  if (key.size() > kMaxPayloadLength) return std::unexpected(EngineError::of(EngineError::Kind::KeyTooLarge));
  std::string out;
  ByteWriter w(out);
  write_operation_payload(w, key, value);
  return out;
}

std::expected<std::string, EngineError> encode_delete(std::string_view key) { return encode_put(key, {}); }

std::expected<PutPayload, EngineError> parse_put_payload(std::string_view payload) {
  ByteReader r(payload);
  auto key = r.field_le();
  if (!key) return std::unexpected(EngineError::of(EngineError::Kind::InvalidOperation));
  return PutPayload{*key, r.rest()};
}

std::expected<std::string_view, EngineError> parse_delete_payload(std::string_view payload) {
  ByteReader r(payload);
  auto key = r.field_le();
  if (!key || !r.at_end()) return std::unexpected(EngineError::of(EngineError::Kind::InvalidOperation));
  return *key;
}

namespace {

// The log offset of the first complete, checksummed record that starts after
// `offset` with a sequence above `after_sequence`, if any.
std::optional<size_t> valid_record_after(std::string_view log, size_t offset, uint64_t after_sequence) {
  for (size_t at = log.find(kRecordMagic, offset + 1); at != std::string_view::npos;
       at = log.find(kRecordMagic, at + 1)) {
    const size_t left = log.size() - at;
    if (left < kRecordFrameSize) break;
    const uint64_t length = load_u32_le(log.data() + at + kRecordLengthOffset);
    if (left < length + kRecordFrameSize) continue;
    auto record = decode_record_view(log.substr(at, static_cast<size_t>(length + kRecordFrameSize)));
    if (record && record->sequence > after_sequence) return at;
  }
  return std::nullopt;
}

}  // namespace

std::expected<std::optional<FramedRecord>, StoreError> next_log_record(std::string_view log, size_t offset,
                                                                       uint64_t after_sequence) {
  const size_t left = log.size() - offset;
  auto torn_or_damaged = [&]() -> std::expected<std::optional<FramedRecord>, StoreError> {
    auto valid = valid_record_after(log, offset, after_sequence);
    if (!valid) return std::nullopt;
    StoreError damaged{StoreError::Kind::DamagedFrame};
    damaged.offset = kStoreHeaderSize + offset;
    damaged.valid_offset = kStoreHeaderSize + *valid;
    return std::unexpected(damaged);
  };
  if (left == 0) return std::nullopt;
  if (left < kRecordPrefixSize) return torn_or_damaged();
  if (log.substr(offset, 4) != kRecordMagic) return std::unexpected(StoreError{StoreError::Kind::BadMagic});
  const uint64_t length = load_u32_le(log.data() + offset + kRecordLengthOffset);
  if (left < length + kRecordFrameSize) return torn_or_damaged();
  const size_t size = static_cast<size_t>(length + kRecordFrameSize);
  auto record = decode_record_view(log.substr(offset, size));
  if (!record) return std::unexpected(record.error());
  return FramedRecord{*record, size};
}

}  // namespace ombrel::engine
