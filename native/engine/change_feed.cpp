#include "engine/change_feed.h"

#include <tuple>

#include "engine/store.h"
#include "engine/transaction.h"
#include "util/byte_codec.h"

namespace ombrel::engine {

namespace {

constexpr uint8_t kChangeFormatVersion = 1;
// A change value's length besides its key (change_feed.h): version, tx_id,
// sequence, kind, key length and value flag; a put adds the value's length
// and digest.
constexpr size_t kDeleteChangeBytes = 1 + 8 + 4 + 1 + 4 + 1;
constexpr size_t kPutChangeBytes = kDeleteChangeBytes + 8 + std::tuple_size_v<Sha256Digest>;
static_assert(kDeleteChangeBytes == 19 && kPutChangeBytes == 59);

std::string change_transaction_prefix(uint64_t tx_id) {
  std::string key(kChangePrefix);
  ByteWriter(key).u64_be(tx_id);
  return key;
}

ChangeFeedError corrupt() { return ChangeFeedError::of(ChangeFeedError::Kind::Corrupt); }

}  // namespace

std::string change_key(uint64_t tx_id, uint32_t sequence) {
  std::string key = change_transaction_prefix(tx_id);
  ByteWriter(key).u32_be(sequence);
  return key;
}

std::expected<std::string, ChangeFeedError> encode_change(const ChangeRecord& record) {
  if (record.key.size() > 0xFFFFFFFFull)
    return std::unexpected(ChangeFeedError::of(ChangeFeedError::Kind::FieldTooLarge));
  std::string out;
  out.reserve(kPutChangeBytes + record.key.size());
  ByteWriter w(out);
  w.u8(kChangeFormatVersion);
  w.u64_le(record.tx_id);
  w.u32_le(record.sequence);
  w.u8(static_cast<uint8_t>(record.kind));
  w.field_le(record.key);
  if (record.kind == ChangeRecord::Kind::Put) {
    w.u8(1);
    w.u64_le(record.value_len.value_or(0));
    Sha256Digest digest = record.value_sha256.value_or(Sha256Digest{});
    w.bytes(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
  } else {
    w.u8(0);
  }
  return out;
}

std::expected<ChangeRecord, ChangeFeedError> decode_change(std::string_view bytes) {
  ByteReader r(bytes);
  auto version = r.u8();
  if (!version || *version != kChangeFormatVersion) return std::unexpected(corrupt());
  auto tx_id = r.u64_le();
  auto sequence = r.u32_le();
  auto kind = r.u8();
  if (!tx_id || !sequence || !kind || *kind > 1) return std::unexpected(corrupt());
  auto key = r.field_le();
  auto flag = r.u8();
  if (!key || !flag || *flag > 1) return std::unexpected(corrupt());
  ChangeRecord record;
  record.tx_id = *tx_id;
  record.sequence = *sequence;
  record.kind = static_cast<ChangeRecord::Kind>(*kind);
  record.key.assign(*key);
  const bool is_put = record.kind == ChangeRecord::Kind::Put;
  if (is_put != (*flag == 1)) return std::unexpected(corrupt());
  if (is_put) {
    auto len = r.u64_le();
    auto digest = r.byte_array<std::tuple_size_v<Sha256Digest>>();
    if (!len || !digest) return std::unexpected(corrupt());
    record.value_len = *len;
    record.value_sha256 = *digest;
  }
  if (!r.at_end()) return std::unexpected(corrupt());
  return record;
}

std::expected<void, EngineError> stage_changes(Transaction& tx, size_t operation_count) {
  uint64_t counter = 0;
  for (size_t i = 0; i < operation_count; ++i) {
    // Staging appends to the same deque, which keeps earlier elements in place.
    const Operation& op = tx.operations()[i];
    if (op.key.starts_with(kChangePrefix)) continue;
    if (counter > 0xFFFFFFFFull) return std::unexpected(EngineError::of(EngineError::Kind::CounterExhausted));
    ChangeRecord record;
    record.tx_id = tx.tx_id();
    record.sequence = static_cast<uint32_t>(counter);
    record.key = op.key;
    if (op.kind == Operation::Kind::Put) {
      record.kind = ChangeRecord::Kind::Put;
      record.value_len = op.value.size();
      record.value_sha256 = sha256_of(op.value);
    } else {
      record.kind = ChangeRecord::Kind::Delete;
    }
    auto value = encode_change(record);
    if (!value) return std::unexpected(EngineError::of(EngineError::Kind::InvalidOperation));
    if (auto put = tx.put_internal(change_key(record.tx_id, record.sequence), *value); !put) return put;
    ++counter;
  }
  return {};
}

std::expected<std::vector<ChangeRecord>, ChangeFeedError> changes_after(const Store& store,
                                                                        std::optional<uint64_t> after_tx_id,
                                                                        uint64_t limit) {
  std::vector<ChangeRecord> out;
  if (limit == 0) return out;
  // Keys sort by transaction id, so the scan can start past after_tx_id.
  const LiveTable& live = store.live();
  auto range = store.prefix_range(kChangePrefix);
  auto it = range.first;
  if (after_tx_id && *after_tx_id < UINT64_MAX) {
    it = live.lower_bound(std::string_view(change_transaction_prefix(*after_tx_id + 1)));
  } else if (after_tx_id) {
    it = range.last;
  }
  for (; it != range.last; ++it) {
    auto record = decode_change(it->second);
    if (!record) return std::unexpected(record.error());
    if (after_tx_id && record->tx_id <= *after_tx_id) continue;
    out.push_back(std::move(*record));
    if (out.size() >= limit) break;
  }
  return out;
}

std::expected<std::vector<ChangeRecord>, ChangeFeedError> changes_for_transaction(const Store& store, uint64_t tx_id) {
  std::vector<ChangeRecord> out;
  for (const auto& [key, value] : store.prefix_range(change_transaction_prefix(tx_id))) {
    auto record = decode_change(value);
    if (!record) return std::unexpected(record.error());
    out.push_back(std::move(*record));
  }
  return out;
}

std::expected<uint64_t, ChangeFeedError> prune_changes_through(Store& store, uint64_t tx_id, uint64_t limit) {
  if (limit == 0) return 0;
  std::vector<std::string> doomed;
  for (const auto& [key, value] : store.prefix_range(kChangePrefix)) {
    auto record = decode_change(value);
    if (!record) return std::unexpected(record.error());
    if (record->tx_id > tx_id) break;
    doomed.emplace_back(key);
    if (doomed.size() >= limit) break;
  }
  if (doomed.empty()) return 0;
  auto tx = store.begin_without_cdc();
  if (!tx) return std::unexpected(ChangeFeedError::engine(tx.error()));
  for (const auto& key : doomed) {
    if (auto deleted = tx->delete_internal(key); !deleted)
      return std::unexpected(ChangeFeedError::engine(deleted.error()));
  }
  if (auto committed = tx->commit(); !committed) return std::unexpected(ChangeFeedError::engine(committed.error()));
  return doomed.size();
}

}  // namespace ombrel::engine
