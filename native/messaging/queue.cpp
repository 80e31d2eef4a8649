#include "messaging/queue.h"

#include <limits>
#include <utility>
#include <vector>

#include "engine/store.h"
#include "engine/transaction.h"
#include "messaging/queue_index.h"
#include "records/own_transaction.h"
#include "util/component_key.h"

namespace ombrel::messaging {

namespace {

constexpr uint8_t kMessageFormatVersion = 1;
constexpr size_t kMessageHeaderSize = 1 + 1 + 8 + 4 + 4 + 8 + 8 + 4;  // before the payload (queue.h)
static_assert(kMessageHeaderSize == 38);
constexpr std::string_view kNextIdSuffix = ":next";
constexpr std::string_view kMessageSeparator = ":m:";

QueueError invalid_record() { return QueueError::of(QueueError::Kind::InvalidRecord); }

QueueMessage to_message(const QueueMessageView& view) {
  return QueueMessage{
      view.state,         view.id, view.attempts, view.priority, view.available_at_ms, view.lease_until_ms,
      Bytes(view.payload)};
}

QueueMessageView view_of(const QueueMessage& message) {
  return QueueMessageView{
      message.state,          message.id,     message.attempts, message.priority, message.available_at_ms,
      message.lease_until_ms, message.payload};
}

// The indexed messages of the queue under `prefix`, or InvalidRecord when it
// holds a record or key that a walk over its records would fail on; nullptr
// for a queue without messages.
std::expected<QueueMessages*, QueueError> readable_messages(const engine::Store& store, BytesView prefix) {
  QueueMessages* messages = store.derived_index<QueueIndex>().find(prefix);
  if (messages != nullptr && !messages->readable()) return std::unexpected(invalid_record());
  return messages;
}

QueueKeys queue_keys(BytesView name) {
  ComponentKey key(kQueuePrefix);
  key.component(name);
  Bytes base = std::move(key).take();
  return QueueKeys{base + Bytes(kNextIdSuffix), base + Bytes(kMessageSeparator)};
}

Bytes message_key_under(BytesView message_prefix, uint64_t id) {
  Bytes key(message_prefix);
  ByteWriter(key).u64_be(id);
  return key;
}

std::expected<void, QueueError> check_name(BytesView name) {
  if (name.empty()) return std::unexpected(QueueError::of(QueueError::Kind::EmptyName));
  if (!component_fits(name)) return std::unexpected(QueueError::of(QueueError::Kind::NameTooLong));
  return {};
}

// Layout in queue.h; the caller has checked that the payload fits.
void write_record(Bytes& out, MessageState state, uint64_t id, uint32_t attempts, int32_t priority,
                  int64_t available_at_ms, int64_t lease_until_ms, BytesView payload) {
  out.reserve(out.size() + kMessageHeaderSize + payload.size());
  ByteWriter w(out);
  w.u8(kMessageFormatVersion);
  w.u8(static_cast<uint8_t>(state));
  w.u64_le(id);
  w.u32_le(attempts);
  w.u32_le(static_cast<uint32_t>(priority));
  w.i64_le(available_at_ms);
  w.i64_le(lease_until_ms);
  w.field_le(payload);
}

// Counter value: absent means 1; otherwise exactly 8 bytes.
std::expected<uint64_t, QueueError> parse_next_id(const std::optional<Bytes>& stored) {
  if (!stored) return uint64_t{1};
  if (stored->size() != 8) return std::unexpected(invalid_record());
  return *ByteReader(*stored).u64_le();
}

// What one push writes: the counter moved past `id`, and the ready message.
struct PlannedPush {
  uint64_t id;
  Bytes message_key;
  Bytes message_value;
};

// The push of `payload` to the queue of `keys`, reading the counter through
// `get` (the committed store or a caller's transaction).
template <class Get>
std::expected<PlannedPush, QueueError> plan_push(const QueueKeys& keys, BytesView payload, int64_t available_at_ms,
                                                 int32_t priority, Get&& get) {
  if (!component_fits(payload)) return std::unexpected(QueueError::of(QueueError::Kind::PayloadTooLarge));
  auto id = parse_next_id(get(keys.next_id));
  if (!id) return std::unexpected(id.error());
  if (*id == std::numeric_limits<uint64_t>::max())
    return std::unexpected(QueueError::of(QueueError::Kind::IdExhausted));
  PlannedPush push{*id, message_key_under(keys.message_prefix, *id), {}};
  write_record(push.message_value, MessageState::Ready, *id, 0, priority, available_at_ms, 0, payload);
  return push;
}

std::expected<void, QueueError> write_push(engine::Transaction& tx, const QueueKeys& keys, const PlannedPush& push) {
  Bytes counter;
  ByteWriter(counter).u64_le(push.id + 1);
  if (auto put = tx.put_internal(keys.next_id, counter); !put) return std::unexpected(QueueError::engine(put.error()));
  if (auto put = tx.put_internal(push.message_key, push.message_value); !put)
    return std::unexpected(QueueError::engine(put.error()));
  return {};
}

// The committed record under `key` (message `id`), checked to be leased under
// `generation`. The view points into the store and lasts until its next write.
// The message under its key as the reader sees it (`stored`), if it is
// leased under `generation`.
std::expected<QueueMessageView, QueueError> leased_view(std::optional<BytesView> stored, uint64_t id,
                                                        uint32_t generation) {
  if (!stored) return std::unexpected(QueueError::of(QueueError::Kind::MessageNotFound, id));
  auto message = decode_message_view(*stored, id);
  if (!message) return message;
  if (message->state != MessageState::Leased) return std::unexpected(QueueError::of(QueueError::Kind::NotLeased, id));
  if (message->attempts != generation)
    return std::unexpected(
        QueueError::of(QueueError::Kind::LeaseGenerationMismatch, id, message->attempts, generation));
  return message;
}

// Replaces the record under `key` in the store or a transaction; the message
// came from a stored record, so its payload fits.
std::expected<void, QueueError> write_message(auto& target, const Bytes& key, const QueueMessageView& message) {
  Bytes value;
  write_record(value, message.state, message.id, message.attempts, message.priority, message.available_at_ms,
               message.lease_until_ms, message.payload);
  if (auto put = target.put_internal(key, value); !put) return std::unexpected(QueueError::engine(put.error()));
  return {};
}

// Ack, nack and dead-letter of the message under `key`: read through `tx`
// (so that a message settled earlier in it is no longer leased), checked
// against the lease, then settled by `settle(message)` in `tx`.
template <class Settle>
std::expected<void, QueueError> settle_leased(engine::Transaction& tx, const Bytes& key, uint64_t id,
                                              uint32_t generation, Settle&& settle) {
  const auto stored = tx.get_internal(key);
  auto message = leased_view(stored ? std::optional<BytesView>(*stored) : std::nullopt, id, generation);
  if (!message) return std::unexpected(message.error());
  return settle(*message);
}

std::expected<void, QueueError> ack_message(engine::Transaction& tx, const Bytes& key, uint64_t id,
                                            uint32_t generation) {
  return settle_leased(tx, key, id, generation, [&](const QueueMessageView&) -> std::expected<void, QueueError> {
    if (auto deleted = tx.delete_internal(key); !deleted) return std::unexpected(QueueError::engine(deleted.error()));
    return {};
  });
}

std::expected<void, QueueError> nack_message(engine::Transaction& tx, const Bytes& key, uint64_t id,
                                             uint32_t generation, int64_t available_at_ms) {
  return settle_leased(tx, key, id, generation, [&](QueueMessageView message) {
    message.state = MessageState::Ready;
    message.available_at_ms = available_at_ms;
    message.lease_until_ms = 0;
    return write_message(tx, key, message);
  });
}

std::expected<void, QueueError> dead_letter_message(engine::Transaction& tx, const Bytes& key, uint64_t id,
                                                    uint32_t generation) {
  return settle_leased(tx, key, id, generation, [&](QueueMessageView message) {
    message.state = MessageState::Dead;
    message.lease_until_ms = 0;
    return write_message(tx, key, message);
  });
}

// The key of message `id` of queue `name`, once the name is checked.
std::expected<Bytes, QueueError> checked_message_key(BytesView name, uint64_t id) {
  if (auto checked = check_name(name); !checked) return std::unexpected(checked.error());
  return message_key_under(queue_keys(name).message_prefix, id);
}

// The figures of one queue's indexed messages.
QueueStats stats_of(const QueueMessages& messages) {
  const uint64_t ready = messages.ready.size(), leased = messages.leased.size(), dead = messages.dead.size();
  return QueueStats{ready, leased, dead, ready + leased + dead, messages.ready.earliest()};
}

}  // namespace

std::expected<Bytes, QueueError> encode_message(const QueueMessage& message) {
  if (!component_fits(message.payload)) return std::unexpected(QueueError::of(QueueError::Kind::PayloadTooLarge));
  Bytes out;
  write_record(out, message.state, message.id, message.attempts, message.priority, message.available_at_ms,
               message.lease_until_ms, message.payload);
  return out;
}

std::expected<QueueMessage, QueueError> decode_message(BytesView bytes, uint64_t key_id) {
  auto view = decode_message_view(bytes, key_id);
  if (!view) return std::unexpected(view.error());
  return to_message(*view);
}

std::expected<QueueMessageView, QueueError> decode_message_view(BytesView bytes, uint64_t key_id) {
  if (bytes.size() < kMessageHeaderSize) return std::unexpected(invalid_record());
  ByteReader r(bytes);
  auto version = r.u8();
  auto state = r.u8();
  auto id = r.u64_le();
  auto attempts = r.u32_le();
  auto priority = r.u32_le();
  auto available_at = r.i64_le();
  auto lease_until = r.i64_le();
  auto payload = r.field_le();
  if (!version || *version != kMessageFormatVersion || !state || *state > 2 || !id || !attempts || !priority ||
      !available_at || !lease_until || !payload || !r.at_end())
    return std::unexpected(invalid_record());
  // A record filed under another id would be claimed under one id and then
  // be unreachable for its ack: refuse it like any other damage.
  if (key_id != *id) return std::unexpected(invalid_record());
  return QueueMessageView{static_cast<MessageState>(*state),
                          *id,
                          *attempts,
                          static_cast<int32_t>(*priority),
                          *available_at,
                          *lease_until,
                          *payload};
}

std::optional<MessageKeyParts> parse_message_key(BytesView key) {
  // Walk the key's structure rather than searching it for ":m:": a queue
  // name (or its length bytes) may itself contain those bytes, and the
  // counter key of such a queue is no message.
  if (!key.starts_with(kQueuePrefix)) return std::nullopt;
  ByteReader reader(key.substr(kQueuePrefix.size()));
  if (!reader.component()) return std::nullopt;
  auto separator = reader.bytes(kMessageSeparator.size());
  if (!separator || *separator != kMessageSeparator) return std::nullopt;
  MessageKeyParts parts{key.substr(0, key.size() - reader.remaining()), std::nullopt};
  if (reader.remaining() == 8) parts.id = reader.u64_be();
  return parts;
}

std::expected<Queue, QueueError> Queue::open(engine::Store& store, BytesView name) {
  if (auto checked = check_name(name); !checked) return std::unexpected(checked.error());
  return Queue(store, queue_keys(name));
}

Bytes Queue::message_key(uint64_t id) const { return message_key_under(keys_.message_prefix, id); }

std::expected<uint64_t, QueueError> Queue::push_with_options(BytesView payload, int64_t available_at_ms,
                                                             int32_t priority) {
  // Planned on the committed store, so that a damaged or exhausted counter
  // is refused before a transaction id is taken.
  auto push = plan_push(keys_, payload, available_at_ms, priority, [&](BytesView key) { return store_->get(key); });
  if (!push) return std::unexpected(push.error());
  auto tx = store_->begin();
  if (!tx) return std::unexpected(QueueError::engine(tx.error()));
  if (auto written = write_push(*tx, keys_, *push); !written) return std::unexpected(written.error());
  if (auto committed = tx->commit(); !committed) return std::unexpected(QueueError::engine(committed.error()));
  return push->id;
}

std::expected<std::optional<QueueMessage>, QueueError> select_claim_candidate(const engine::Store& store,
                                                                              const Queue& queue, int64_t now_ms) {
  auto messages = readable_messages(store, queue.message_prefix());
  if (!messages) return std::unexpected(messages.error());
  if (*messages == nullptr) return std::optional<QueueMessage>{};
  auto id = (*messages)->claim_candidate(now_ms);
  if (!id) return std::optional<QueueMessage>{};
  // The index names the message; its record, read as always, is the truth.
  const auto stored = store.find(queue.message_key(*id));
  if (!stored) return std::unexpected(invalid_record());
  auto message = decode_message(*stored, *id);
  if (!message) return std::unexpected(message.error());
  return std::optional<QueueMessage>{std::move(*message)};
}

std::expected<std::optional<ClaimedMessage>, QueueError> Queue::claim(int64_t now_ms, int64_t lease_duration_ms) {
  int64_t lease_until = 0;
  if (lease_duration_ms < 0 || __builtin_add_overflow(now_ms, lease_duration_ms, &lease_until))
    return std::unexpected(QueueError::of(QueueError::Kind::TimeOverflow));
  auto candidate = select_claim_candidate(*store_, *this, now_ms);
  if (!candidate) return std::unexpected(candidate.error());
  if (!*candidate) return std::optional<ClaimedMessage>{};
  QueueMessage& message = **candidate;
  if (message.attempts == std::numeric_limits<uint32_t>::max())
    return std::unexpected(QueueError::of(QueueError::Kind::AttemptsExhausted));
  message.state = MessageState::Leased;
  message.attempts += 1;
  message.lease_until_ms = lease_until;
  if (auto written = write_message(*store_, message_key(message.id), view_of(message)); !written)
    return std::unexpected(written.error());
  saturating_add(store_->domain_counters<QueueCounters>().claims, 1);
  return std::optional<ClaimedMessage>{ClaimedMessage{message.id, std::move(message.payload), message.attempts,
                                                      message.priority, message.available_at_ms, message.lease_until_ms,
                                                      message.attempts}};
}

std::expected<void, QueueError> Queue::ack(uint64_t id, uint32_t lease_generation) {
  auto acked = records::in_own_transaction(
      *store_, [&](engine::Transaction& tx) { return ack_message(tx, message_key(id), id, lease_generation); });
  if (acked) count_queue_acks(*store_, 1);
  return acked;
}

std::expected<void, QueueError> Queue::nack(uint64_t id, uint32_t lease_generation, int64_t available_at_ms) {
  return records::in_own_transaction(*store_, [&](engine::Transaction& tx) {
    return nack_message(tx, message_key(id), id, lease_generation, available_at_ms);
  });
}

std::expected<void, QueueError> Queue::dead_letter(uint64_t id, uint32_t lease_generation) {
  return records::in_own_transaction(
      *store_, [&](engine::Transaction& tx) { return dead_letter_message(tx, message_key(id), id, lease_generation); });
}

std::expected<uint64_t, QueueError> Queue::purge_dead() {
  auto messages = readable_messages(*store_, keys_.message_prefix);
  if (!messages) return std::unexpected(messages.error());
  if (*messages == nullptr || (*messages)->dead.empty()) return uint64_t{0};
  // Keys first: the commit below changes the index they come from.
  std::vector<Bytes> doomed;
  doomed.reserve((*messages)->dead.size());
  for (uint64_t id : (*messages)->dead) doomed.push_back(message_key(id));
  auto tx = store_->begin();
  if (!tx) return std::unexpected(QueueError::engine(tx.error()));
  for (const Bytes& key : doomed) {
    if (auto deleted = tx->delete_internal(key); !deleted) return std::unexpected(QueueError::engine(deleted.error()));
  }
  if (auto committed = tx->commit(); !committed) return std::unexpected(QueueError::engine(committed.error()));
  return uint64_t{doomed.size()};
}

std::expected<QueueStats, QueueError> Queue::stats() const {
  auto messages = readable_messages(*store_, keys_.message_prefix);
  if (!messages) return std::unexpected(messages.error());
  if (*messages == nullptr) return QueueStats{0, 0, 0, 0, std::nullopt};
  return stats_of(**messages);
}

namespace {

// A push's own failures in the transactional words; a push yields no other kind.
engine::DomainTransactionError transactional_error(const QueueError& error) {
  using Kind = engine::DomainTransactionError::Kind;
  if (const auto& beneath = error.engine_error()) return engine::DomainTransactionError::engine(*beneath);
  switch (error.kind()) {
    case QueueError::Kind::EmptyName:
      return engine::DomainTransactionError::of(Kind::EmptyName);
    case QueueError::Kind::NameTooLong:
      return engine::DomainTransactionError::of(Kind::NameTooLong);
    case QueueError::Kind::PayloadTooLarge:
      return engine::DomainTransactionError::of(Kind::PayloadTooLarge);
    case QueueError::Kind::IdExhausted:
      return engine::DomainTransactionError::of(Kind::Exhausted);
    default:
      return engine::DomainTransactionError::of(Kind::CorruptMetadata);
  }
}

}  // namespace

std::expected<uint64_t, engine::DomainTransactionError> push_queue(engine::Transaction& tx, BytesView name,
                                                                   BytesView payload, int64_t available_at_ms,
                                                                   int32_t priority) {
  if (auto checked = check_name(name); !checked) return std::unexpected(transactional_error(checked.error()));
  const QueueKeys keys = queue_keys(name);
  auto push = plan_push(keys, payload, available_at_ms, priority, [&](BytesView key) { return tx.get_internal(key); });
  if (!push) return std::unexpected(transactional_error(push.error()));
  if (auto written = write_push(tx, keys, *push); !written)
    return std::unexpected(transactional_error(written.error()));
  return push->id;
}

std::expected<QueueStats, QueueError> aggregate_stats(const engine::Store& store) {
  QueueStats total{0, 0, 0, 0, std::nullopt};
  bool damaged = false;
  store.derived_index<QueueIndex>().for_each_queue([&](const QueueMessages& messages) {
    damaged = damaged || messages.damaged != 0;
    const QueueStats one = stats_of(messages);
    total.ready += one.ready;
    total.leased += one.leased;
    total.dead += one.dead;
    total.total += one.total;
    if (one.oldest_ready_at_ms && (!total.oldest_ready_at_ms || *one.oldest_ready_at_ms < *total.oldest_ready_at_ms))
      total.oldest_ready_at_ms = one.oldest_ready_at_ms;
  });
  if (damaged) return std::unexpected(invalid_record());
  return total;
}

std::optional<int64_t> ready_lag_ms(const QueueStats& stats, int64_t now_ms) {
  if (!stats.oldest_ready_at_ms) return std::nullopt;
  if (*stats.oldest_ready_at_ms > now_ms) return int64_t{0};
  int64_t lag = 0;
  if (__builtin_sub_overflow(now_ms, *stats.oldest_ready_at_ms, &lag)) return std::nullopt;
  return lag;
}

std::expected<void, QueueError> ack_queue(engine::Transaction& tx, BytesView name, uint64_t id,
                                          uint32_t lease_generation) {
  auto key = checked_message_key(name, id);
  if (!key) return std::unexpected(key.error());
  return ack_message(tx, *key, id, lease_generation);
}

std::expected<void, QueueError> nack_queue(engine::Transaction& tx, BytesView name, uint64_t id,
                                           uint32_t lease_generation, int64_t available_at_ms) {
  auto key = checked_message_key(name, id);
  if (!key) return std::unexpected(key.error());
  return nack_message(tx, *key, id, lease_generation, available_at_ms);
}

std::expected<void, QueueError> dead_letter_queue(engine::Transaction& tx, BytesView name, uint64_t id,
                                                  uint32_t lease_generation) {
  auto key = checked_message_key(name, id);
  if (!key) return std::unexpected(key.error());
  return dead_letter_message(tx, *key, id, lease_generation);
}

void count_queue_acks(engine::Store& store, uint64_t acks) {
  saturating_add(store.domain_counters<QueueCounters>().acks, acks);
}

}  // namespace ombrel::messaging
