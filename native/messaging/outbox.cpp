#include "messaging/outbox.h"

#include <utility>

#include "engine/store.h"
#include "engine/transaction.h"
#include "messaging/outbox_index.h"
#include "records/own_transaction.h"
#include "util/component_key.h"

namespace ombrel::messaging {

namespace {

constexpr uint8_t kEventFormatVersion = 1;
constexpr size_t kEventMinimumSize = 1 + 8 + kNonceSize + 8 + 4;  // before the topic (outbox.h)
static_assert(kEventMinimumSize == 37);

OutboxError corrupt() { return OutboxError::of(OutboxError::Kind::CorruptRecord); }

}  // namespace

Bytes event_key(uint64_t tx_id, const Nonce& nonce) { return message_id_key(kOutboxEventPrefix, tx_id, nonce); }

std::expected<Bytes, OutboxError> encode_event(const OutboxEvent& event) {
  if (!component_fits(event.topic) || !component_fits(event.payload))
    return std::unexpected(OutboxError::of(OutboxError::Kind::FieldTooLarge));
  Bytes out;
  out.reserve(kEventMinimumSize + 4 + event.topic.size() + event.payload.size());
  ByteWriter w(out);
  w.u8(kEventFormatVersion);
  w.u64_le(event.tx_id);
  w.bytes(nonce_bytes(event.nonce));
  w.i64_le(event.created_at_ms);
  w.field_le(event.topic);
  w.field_le(event.payload);
  return out;
}

std::expected<OutboxEvent, OutboxError> decode_event(BytesView bytes) {
  if (bytes.size() < kEventMinimumSize) return std::unexpected(corrupt());
  ByteReader r(bytes);
  auto version = r.u8();
  auto tx_id = r.u64_le();
  auto nonce = r.byte_array<kNonceSize>();
  auto created_at = r.i64_le();
  auto topic = r.field_le();
  auto payload = r.field_le();
  if (!version || *version != kEventFormatVersion || !tx_id || !nonce || !created_at || !topic || topic->empty() ||
      !payload || !r.at_end())
    return std::unexpected(corrupt());
  return OutboxEvent{Bytes(*topic), Bytes(*payload), *nonce, *tx_id, *created_at};
}

std::expected<MessageId, OutboxError> emit_event(engine::Transaction& tx, BytesView topic, BytesView payload,
                                                 int64_t created_at_ms) {
  if (topic.empty()) return std::unexpected(OutboxError::of(OutboxError::Kind::EmptyTopic));
  auto nonce = random_nonce();
  if (!nonce) return std::unexpected(OutboxError::of(OutboxError::Kind::EntropyUnavailable));
  OutboxEvent event{Bytes(topic), Bytes(payload), *nonce, tx.tx_id(), created_at_ms};
  auto value = encode_event(event);
  if (!value) return std::unexpected(value.error());
  if (auto put = tx.put_internal(event_key(event.tx_id, event.nonce), *value); !put)
    return std::unexpected(OutboxError::engine(put.error()));
  return MessageId{event.tx_id, event.nonce};
}

std::expected<MessageId, OutboxError> emit_outbox_event(engine::Store& store, BytesView topic, BytesView payload,
                                                        int64_t created_at_ms) {
  auto tx = store.begin();
  if (!tx) return std::unexpected(OutboxError::engine(tx.error()));
  auto id = emit_event(*tx, topic, payload, created_at_ms);
  if (!id) return id;
  if (auto committed = tx->commit(); !committed) return std::unexpected(OutboxError::engine(committed.error()));
  return id;
}

std::expected<std::vector<OutboxEvent>, OutboxError> outbox_events_after(const engine::Store& store,
                                                                         std::optional<uint64_t> after_tx_id,
                                                                         uint64_t limit) {
  return records_after(store, kOutboxEventPrefix, store.derived_index<OutboxIndex>().unreadable(), after_tx_id, limit,
                       decode_event, corrupt());
}

std::expected<bool, OutboxError> ack_outbox_event(engine::Transaction& tx, uint64_t tx_id, const Nonce& nonce) {
  const Bytes key = event_key(tx_id, nonce);
  if (!tx.get_internal(key)) return false;
  if (auto deleted = tx.delete_internal(key); !deleted) return std::unexpected(OutboxError::engine(deleted.error()));
  return true;
}

std::expected<bool, OutboxError> ack_outbox_event(engine::Store& store, uint64_t tx_id, const Nonce& nonce) {
  return records::in_own_transaction(
      store, [&](engine::Transaction& tx) { return ack_outbox_event(tx, tx_id, nonce); },
      records::EmptyTransaction::Drop);
}

uint64_t outbox_len(const engine::Store& store) { return store.derived_index<OutboxIndex>().count(); }

}  // namespace ombrel::messaging
