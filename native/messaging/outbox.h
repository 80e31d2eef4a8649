// The transactional outbox: events an application wants delivered elsewhere,
// written atomically with its data. A relay lists pending events in
// transaction order, delivers them and acknowledges each one (deleting it);
// the store never delivers anything itself.
//
// Contract: an event is identified by (tx_id, nonce), the engine transaction
// that wrote it and 16 random bytes. Readers see the committed state only.
// A failed emit leaves no event.
//
// Event key (42 bytes):
//   0xFF "omb:outbox:event:" (18) | tx_id u64 BE (8) | nonce (16)
//
// Event value (little-endian):
//   offset  width  field
//   0       1      format version, 1
//   1       8      tx_id
//   9       16     nonce
//   25      8      created_at_ms, signed
//   33      4      topic length T (T > 0)
//   37      T      topic
//   37+T    4      payload length P
//   41+T    P      payload
// Anything else, or an event whose id differs from its key's, is
// CorruptRecord.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/domain_error.h"
#include "engine/errors.h"
#include "engine/key_area.h"
#include "engine/transaction.h"
#include "messaging/message_id.h"
#include "util/byte_codec.h"

namespace ombrel::engine {
class Store;
class Transaction;
}  // namespace ombrel::engine

namespace ombrel::messaging {

inline constexpr engine::KeyArea kOutboxArea{"outbox", {"\xFFomb:outbox:", 12}};
inline constexpr std::string_view kOutboxEventPrefix{"\xFFomb:outbox:event:", 18};
static_assert(kOutboxArea.holds(kOutboxEventPrefix));

struct OutboxErrorTexts {
  enum class Kind : uint8_t { Engine, EmptyTopic, FieldTooLarge, CorruptRecord, EntropyUnavailable };
  static constexpr auto kTexts = std::to_array<engine::ErrorText<Kind>>({
      {Kind::Engine, "store error: {}"},
      {Kind::EmptyTopic, "outbox topic cannot be empty"},
      {Kind::FieldTooLarge, "outbox field is too large"},
      {Kind::CorruptRecord, "outbox record is corrupt"},
      {Kind::EntropyUnavailable, "operating-system entropy is unavailable"},
  });
};
using OutboxError = engine::DomainError<OutboxErrorTexts>;

struct OutboxEvent {
  Bytes topic;
  Bytes payload;
  Nonce nonce{};
  uint64_t tx_id = 0;
  int64_t created_at_ms = 0;
};

Bytes event_key(uint64_t tx_id, const Nonce& nonce);
std::expected<Bytes, OutboxError> encode_event(const OutboxEvent& event);
std::expected<OutboxEvent, OutboxError> decode_event(BytesView bytes);

// One event in its own committed transaction.
std::expected<MessageId, OutboxError> emit_outbox_event(engine::Store& store, BytesView topic, BytesView payload,
                                                        int64_t created_at_ms);
// One event inside the caller's transaction, carrying its id.
std::expected<MessageId, OutboxError> emit_event(engine::Transaction& tx, BytesView topic, BytesView payload,
                                                 int64_t created_at_ms);

// Up to `limit` pending events of transactions after `after_tx_id` (all when
// none), in (tx_id, nonce) order. A limit of 0 returns nothing. The walk
// starts at the first listed transaction (records_after, message_id.h).
std::expected<std::vector<OutboxEvent>, OutboxError> outbox_events_after(const engine::Store& store,
                                                                         std::optional<uint64_t> after_tx_id,
                                                                         uint64_t limit);
// Whether an event was there to remove.
std::expected<bool, OutboxError> ack_outbox_event(engine::Store& store, uint64_t tx_id, const Nonce& nonce);
// The same inside the caller's open transaction, staged without committing;
// an event acknowledged earlier in it is no longer there.
std::expected<bool, OutboxError> ack_outbox_event(engine::Transaction& tx, uint64_t tx_id, const Nonce& nonce);
// Pending events, counted by key (not decoded), as the store's OutboxIndex
// keeps them (outbox_index.h).
uint64_t outbox_len(const engine::Store& store);

}  // namespace ombrel::messaging
