// Queues: named, durable lists of messages taken one at a time under a lease.
//
// Contract: a `Queue` is a handle built per call from a name and the open
// store; every operation reads the committed state and writes in one engine
// transaction with commit, so a failed operation changes nothing. Time is the
// caller's `now_ms`; nothing happens on its own. Claims, statistics and
// purges find their messages through the store's QueueIndex
// (queue_index.h), so they cost the same however many messages a queue
// holds; one bad record or key in a queue still fails each of them.
//
// Keys (B = 0xFF "omb:q:" | name length u32 BE | name):
//   B ":next"                 next message id, u64 LE (absent: 1)
//   B ":m:" | id u64 BE       one message (record below)
// Ids start at 1, are never reused, and big-endian ids make a queue's message
// keys sort by id.
//
// Message record (little-endian; 38 + P bytes):
//   offset  width  field
//   0       1      format version, 1
//   1       1      state: 0 ready, 1 leased, 2 dead
//   2       8      id
//   10      4      attempts (claims so far = generation of the current or last lease)
//   14      4      priority, signed
//   18      8      available_at_ms, signed
//   26      8      lease_until_ms, signed; 0 when not leased
//   34      4      payload length P
//   38      P      payload
// Anything else, or a record whose id is not the id of its key, is
// InvalidRecord.
//
// Message states (generation = attempts):
//   state    event                                  next
//   (none)   push                                   ready
//   ready    claim, available_at_ms <= now          leased, attempts + 1
//   leased   claim, lease_until_ms <= now           leased, attempts + 1
//   leased   ack with the current generation        deleted
//   leased   nack with the current generation       ready at the given time
//   leased   dead_letter with current generation    dead
//   dead     purge_dead                             deleted
//   leased   ack/nack/dead_letter, other gen.       unchanged: LeaseGenerationMismatch
//   ready/dead  ack/nack/dead_letter                unchanged: NotLeased
// A lease that ran out but was not claimed again still counts as leased, so
// its holder may still finish; once another consumer claims it, the older
// generation is fenced off.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "engine/counter_sets.h"
#include "engine/domain_error.h"
#include "engine/errors.h"
#include "engine/key_area.h"
#include "engine/transaction_domains.h"
#include "util/byte_codec.h"

namespace ombrel::engine {
class Store;
class Transaction;
}  // namespace ombrel::engine

namespace ombrel::messaging {

inline constexpr engine::KeyArea kQueueArea{"queues", {"\xFFomb:q:", 7}};
inline constexpr std::string_view kQueuePrefix = kQueueArea.prefix;

struct QueueErrorTexts {
  enum class Kind : uint8_t {
    Engine,
    EmptyName,
    NameTooLong,
    PayloadTooLarge,
    InvalidRecord,
    IdExhausted,
    AttemptsExhausted,
    TimeOverflow,
    CountOverflow,
    MessageNotFound,
    NotLeased,
    LeaseGenerationMismatch,
  };
  static constexpr auto kTexts = std::to_array<engine::ErrorText<Kind>>({
      {Kind::Engine, "store error: {}"},
      {Kind::EmptyName, "queue name cannot be empty"},
      {Kind::NameTooLong, "queue name is too long"},
      {Kind::PayloadTooLarge, "queue payload is too large"},
      {Kind::InvalidRecord, "queue record has invalid encoding"},
      {Kind::IdExhausted, "queue message id space is exhausted"},
      {Kind::AttemptsExhausted, "queue delivery attempt counter is exhausted"},
      {Kind::TimeOverflow, "queue time value overflowed"},
      {Kind::CountOverflow, "queue count overflowed"},
      {Kind::MessageNotFound, "queue message {} was not found"},
      {Kind::NotLeased, "queue message {} is not currently leased"},
      {Kind::LeaseGenerationMismatch, "lease generation mismatch for message {}: expected {}, provided {}"},
  });
};
using QueueError = engine::DomainError<QueueErrorTexts>;

enum class MessageState : uint8_t { Ready = 0, Leased = 1, Dead = 2 };

struct QueueMessage {
  MessageState state = MessageState::Ready;
  uint64_t id = 0;
  uint32_t attempts = 0;
  int32_t priority = 0;
  int64_t available_at_ms = 0;
  int64_t lease_until_ms = 0;
  Bytes payload;
};

// A message as handed to the consumer that claimed it.
struct ClaimedMessage {
  uint64_t id = 0;
  Bytes payload;
  uint32_t attempts = 0;
  int32_t priority = 0;
  int64_t available_at_ms = 0;
  int64_t lease_until_ms = 0;
  uint32_t lease_generation = 0;
};

// A record decoded in place: the payload points into the decoded bytes.
struct QueueMessageView {
  MessageState state;
  uint64_t id;
  uint32_t attempts;
  int32_t priority;
  int64_t available_at_ms;
  int64_t lease_until_ms;
  BytesView payload;
};

// The message record codec (layout above) for readers outside this unit. A
// record is accepted only under the id of its own key, `key_id`.
std::expected<Bytes, QueueError> encode_message(const QueueMessage& message);
std::expected<QueueMessage, QueueError> decode_message(BytesView bytes, uint64_t key_id);
std::expected<QueueMessageView, QueueError> decode_message_view(BytesView bytes, uint64_t key_id);

// What a key under kQueuePrefix is when it lies under some queue's message
// prefix B ":m:": that prefix, and the id when the rest is exactly 8 bytes
// (a key with another rest is misshapen). Nothing for any other key, the
// counters included.
struct MessageKeyParts {
  BytesView message_prefix;
  std::optional<uint64_t> id;
};
std::optional<MessageKeyParts> parse_message_key(BytesView key);

// What queues count per open store (engine/counter_sets.h).
struct QueueCounters {
  uint64_t claims = 0;  // messages leased by a claim
  uint64_t acks = 0;    // leased messages acknowledged
  static constexpr std::array<engine::CounterName<QueueCounters>, 2> kNames{{
      {"queue_claims", &QueueCounters::claims},
      {"queue_acks", &QueueCounters::acks},
  }};
};

struct QueueStats {
  uint64_t ready;
  uint64_t leased;
  uint64_t dead;
  uint64_t total;
  std::optional<int64_t> oldest_ready_at_ms;
};

// The keys of one queue: B ":next" and the message prefix B ":m:".
struct QueueKeys {
  Bytes next_id;
  Bytes message_prefix;
};

class Queue {
 public:
  // EmptyName / NameTooLong.
  static std::expected<Queue, QueueError> open(engine::Store& store, BytesView name);

  const Bytes& message_prefix() const { return keys_.message_prefix; }
  Bytes message_key(uint64_t id) const;

  std::expected<uint64_t, QueueError> push_with_options(BytesView payload, int64_t available_at_ms, int32_t priority);
  std::expected<std::optional<ClaimedMessage>, QueueError> claim(int64_t now_ms, int64_t lease_duration_ms);
  std::expected<void, QueueError> ack(uint64_t id, uint32_t lease_generation);
  std::expected<void, QueueError> nack(uint64_t id, uint32_t lease_generation, int64_t available_at_ms);
  std::expected<void, QueueError> dead_letter(uint64_t id, uint32_t lease_generation);
  std::expected<uint64_t, QueueError> purge_dead();
  std::expected<QueueStats, QueueError> stats() const;

 private:
  Queue(engine::Store& store, QueueKeys keys) : store_(&store), keys_(std::move(keys)) {}

  engine::Store* store_;
  QueueKeys keys_;
};

// The message a claim at `now_ms` takes: among ready messages whose time has
// come and leased messages whose lease ran out, the highest priority, then the
// smallest id. Found through the queue's derived index (queue_index.h); a
// queue holding one bad record or key fails the claim, whichever it takes.
std::expected<std::optional<QueueMessage>, QueueError> select_claim_candidate(const engine::Store& store,
                                                                              const Queue& queue, int64_t now_ms);

// Push inside the caller's transaction: the counter is read through it, so
// several pushes in one transaction take consecutive ids. Errors are in the
// words of every transactional domain write (engine/transaction_domains.h).
std::expected<uint64_t, engine::DomainTransactionError> push_queue(engine::Transaction& tx, BytesView name,
                                                                   BytesView payload, int64_t available_at_ms,
                                                                   int32_t priority);

// Ack, nack and dead-letter inside the caller's open transaction, staged
// without committing: the message is read through `tx`, so one settled
// earlier in the same transaction is no longer leased. The checks and errors
// are those of the Queue methods, which run these in a transaction of their
// own and count their acks in the store's queue counters; a caller counts
// those of its committed transaction with count_queue_acks.
std::expected<void, QueueError> ack_queue(engine::Transaction& tx, BytesView name, uint64_t id,
                                          uint32_t lease_generation);
std::expected<void, QueueError> nack_queue(engine::Transaction& tx, BytesView name, uint64_t id,
                                           uint32_t lease_generation, int64_t available_at_ms);
std::expected<void, QueueError> dead_letter_queue(engine::Transaction& tx, BytesView name, uint64_t id,
                                                  uint32_t lease_generation);

// Adds `acks` acknowledged messages to the store's queue counters.
void count_queue_acks(engine::Store& store, uint64_t acks);

// The same figures as Queue::stats over every message of every queue. A
// damaged record fails it; a misshapen key is no message and is skipped.
std::expected<QueueStats, QueueError> aggregate_stats(const engine::Store& store);

// now_ms minus the oldest ready time (0 when that lies ahead), or nothing when
// no message is ready or the difference does not fit.
std::optional<int64_t> ready_lag_ms(const QueueStats& stats, int64_t now_ms);

}  // namespace ombrel::messaging
