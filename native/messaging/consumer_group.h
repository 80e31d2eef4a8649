// Consumer groups: a named reader of a stream that hands out one entry at a
// time under a lease.
//
// A group keeps its position (the next offset not yet acknowledged) and at
// most one lease. A claim leases the entry at the position to one consumer
// until lease_until_ms; while that lease is active every claim of the group
// gets nothing, whoever asks. Ack moves the position past the entry; nack
// leaves it, so the next claim re-delivers the entry. An expired lease is
// taken over by the next claim with the next lease generation, and the
// generation (which only grows) fences a late ack or nack from the earlier
// holder. Groups are independent of each other and of topic subscriptions.
//
//   state              event                                   next
//   idle               claim, entry at position                leased (generation + 1)
//   idle               claim, no entry                         idle (nothing written)
//   leased, active     claim (any consumer)                    leased (nothing written)
//   leased, expired    claim, entry at position                leased (generation + 1)
//   leased, expired    claim, no entry                         idle (lease cleared)
//   leased             ack by owner (offset, generation)       idle, position = offset + 1
//   leased             nack by owner (offset, generation)      idle, position unchanged
//   any                reset(next offset)                      idle, generation kept
// Expiry is no part of ack/nack validation: the holder of an expired lease
// that nobody has taken over may still acknowledge.
//
// Every operation first refuses an empty stream, group or consumer name
// (EmptyName) and one longer than 2^32 - 1 bytes (Messaging, NameTooLong).
//
// State key: 0xFF "omb:cg:state:" C(stream) C(group), C(x) = x's length as
// u32 big-endian, then its bytes. State record (little-endian):
//   offset    width  field
//   0         1      format version, 1
//   1         8      next offset
//   9         1      lease flag: 0 none, 1 present
//   10        8      leased offset              (flag 1 only)
//   10 or 18  8      lease_until_ms (signed)
//   18 or 26  8      lease generation
//   26 or 34  4      owner length L
//   30 or 38  L      owner
// Another version, a flag other than 0 or 1, or any other length is
// CorruptRecord. Every change is one put of the whole record, committed.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "engine/domain_error.h"
#include "engine/errors.h"
#include "engine/key_area.h"
#include "engine/transaction.h"
#include "messaging/stream.h"

namespace ombrel::engine {
class Store;
}

namespace ombrel::messaging {

inline constexpr engine::KeyArea kConsumerGroupArea{"consumer_groups", {"\xFFomb:cg:", 8}};

struct ConsumerGroupErrorTexts {
  enum class Kind : uint8_t {
    Engine,
    Messaging,
    EmptyName,
    CorruptRecord,
    GenerationOverflow,
    TimeOverflow,
    NoActiveLease,
    OwnerMismatch,
    GenerationMismatch,
    OffsetMismatch,
  };
  static constexpr auto kTexts = std::to_array<engine::ErrorText<Kind>>({
      {Kind::Engine, "store error: {}"},
      {Kind::Messaging, "messaging error: {}"},
      {Kind::EmptyName, "stream/group/consumer names cannot be empty"},
      {Kind::CorruptRecord, "consumer-group record is corrupt"},
      {Kind::GenerationOverflow, "lease generation overflow"},
      {Kind::TimeOverflow, "time value overflow"},
      {Kind::NoActiveLease, "group has no active lease"},
      {Kind::OwnerMismatch, "lease owner mismatch"},
      {Kind::GenerationMismatch, "lease generation mismatch: expected {}, provided {}"},
      {Kind::OffsetMismatch, "leased offset mismatch: expected {}, provided {}"},
  });
};
using ConsumerGroupError = engine::DomainError<ConsumerGroupErrorTexts>;

struct ConsumerGroupState {
  uint64_t next_offset = 0;
  std::optional<uint64_t> leased_offset;  // present exactly while a lease is recorded
  std::string owner;                      // empty when no lease
  int64_t lease_until_ms = 0;             // 0 when no lease
  uint64_t lease_generation = 0;          // claims over the group's life

  bool operator==(const ConsumerGroupState&) const = default;
};

struct ConsumerGroupDelivery {
  uint64_t offset = 0;
  std::string payload;
  uint64_t lease_generation = 0;
  int64_t lease_until_ms = 0;
};

std::optional<std::string> consumer_group_state_key(std::string_view stream, std::string_view group);
// The prefix of the state keys of every group of `stream`.
std::optional<std::string> consumer_group_states_prefix(std::string_view stream);
// The owner must fit a u32 length; the operations refuse longer names first.
std::string encode_state(const ConsumerGroupState& state);
std::expected<ConsumerGroupState, ConsumerGroupError> decode_state(std::string_view bytes);

// The entry at the group's position under a new lease, or nullopt when the
// lease is still active or the stream has no entry there.
std::expected<std::optional<ConsumerGroupDelivery>, ConsumerGroupError> consumer_group_claim(
    engine::Store& store, std::string_view stream, std::string_view group, std::string_view consumer, int64_t now_ms,
    int64_t lease_duration_ms);
std::expected<void, ConsumerGroupError> consumer_group_ack(engine::Store& store, std::string_view stream,
                                                           std::string_view group, std::string_view consumer,
                                                           uint64_t offset, uint64_t lease_generation);
std::expected<void, ConsumerGroupError> consumer_group_nack(engine::Store& store, std::string_view stream,
                                                            std::string_view group, std::string_view consumer,
                                                            uint64_t offset, uint64_t lease_generation);
// Ack and nack inside the caller's open transaction, staged without
// committing; the group's state is read through `tx`, so a lease settled
// earlier in the same transaction is gone. The Store forms above run these
// in a transaction of their own.
std::expected<void, ConsumerGroupError> consumer_group_ack(engine::Transaction& tx, std::string_view stream,
                                                           std::string_view group, std::string_view consumer,
                                                           uint64_t offset, uint64_t lease_generation);
std::expected<void, ConsumerGroupError> consumer_group_nack(engine::Transaction& tx, std::string_view stream,
                                                            std::string_view group, std::string_view consumer,
                                                            uint64_t offset, uint64_t lease_generation);
std::expected<void, ConsumerGroupError> consumer_group_reset(engine::Store& store, std::string_view stream,
                                                             std::string_view group, uint64_t next_offset);
std::expected<ConsumerGroupState, ConsumerGroupError> consumer_group_state(engine::Store& store,
                                                                           std::string_view stream,
                                                                           std::string_view group);

}  // namespace ombrel::messaging
