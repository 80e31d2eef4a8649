#include "messaging/consumer_group.h"

#include <initializer_list>
#include <limits>
#include <utility>

#include "engine/store.h"
#include "engine/transaction.h"
#include "records/own_transaction.h"
#include "util/byte_codec.h"
#include "util/component_key.h"

namespace ombrel::messaging {

namespace {

using Kind = ConsumerGroupError::Kind;

constexpr uint8_t kStateFormatVersion = 1;
// A state record's bytes before its owner, with a lease (consumer_group.h).
constexpr size_t kLeasedStateFixedBytes = 1 + 8 + 1 + 8 + 8 + 8 + 4;
static_assert(kLeasedStateFixedBytes == 38);
constexpr BytesView kStatePrefix{"\xFFomb:cg:state:", 14};
static_assert(kConsumerGroupArea.holds(kStatePrefix));

ConsumerGroupError corrupt() { return ConsumerGroupError::of(Kind::CorruptRecord); }
ConsumerGroupError stream_error(MessagingError::Kind kind) {
  return ConsumerGroupError::of(Kind::Messaging, MessagingError::of(kind));
}

// One group of one stream, with its stored state as read at the start of the
// operation.
struct Group {
  std::string key;
  ConsumerGroupState state;
};

std::expected<void, ConsumerGroupError> check_names(std::initializer_list<std::string_view> names) {
  for (std::string_view name : names) {
    if (name.empty()) return std::unexpected(ConsumerGroupError::of(Kind::EmptyName));
  }
  for (std::string_view name : names) {
    if (!component_fits(name)) {
      return std::unexpected(stream_error(MessagingError::Kind::NameTooLong));
    }
  }
  return {};
}

// The group stored under `key` as `stored`; no value is the state of a new group.
std::expected<Group, ConsumerGroupError> group_from_stored(std::string key, std::optional<std::string_view> stored) {
  Group loaded{std::move(key), {}};
  if (stored) {
    auto state = decode_state(*stored);
    if (!state) return std::unexpected(state.error());
    loaded.state = std::move(*state);
  }
  return loaded;
}

std::expected<std::string, ConsumerGroupError> group_key(std::string_view stream, std::string_view group) {
  auto key = consumer_group_state_key(stream, group);
  if (!key) return std::unexpected(stream_error(MessagingError::Kind::NameTooLong));
  return std::move(*key);
}

std::expected<Group, ConsumerGroupError> load_group(const engine::Store& store, std::string_view stream,
                                                    std::string_view group) {
  auto key = group_key(stream, group);
  if (!key) return std::unexpected(key.error());
  const auto stored = store.find(*key);
  return group_from_stored(std::move(*key), stored);
}

// The same as an open transaction sees it.
std::expected<Group, ConsumerGroupError> load_group(const engine::Transaction& tx, std::string_view stream,
                                                    std::string_view group) {
  auto key = group_key(stream, group);
  if (!key) return std::unexpected(key.error());
  const auto stored = tx.get_internal(*key);
  return group_from_stored(std::move(*key), stored ? std::optional<std::string_view>(*stored) : std::nullopt);
}

// Into the store or an open transaction.
std::expected<void, ConsumerGroupError> save_group(auto& target, const Group& group) {
  if (auto put = target.put_internal(group.key, encode_state(group.state)); !put) {
    return std::unexpected(ConsumerGroupError::engine(put.error()));
  }
  return {};
}

void clear_lease(ConsumerGroupState& state) {
  state.leased_offset.reset();
  state.owner.clear();
  state.lease_until_ms = 0;
}

// The order of the checks decides which fault a caller hears about first.
std::expected<void, ConsumerGroupError> validate_lease(const ConsumerGroupState& state, std::string_view consumer,
                                                       uint64_t offset, uint64_t lease_generation) {
  if (!state.leased_offset) return std::unexpected(ConsumerGroupError::of(Kind::NoActiveLease));
  if (state.owner != consumer) return std::unexpected(ConsumerGroupError::of(Kind::OwnerMismatch));
  if (state.lease_generation != lease_generation) {
    return std::unexpected(ConsumerGroupError::of(Kind::GenerationMismatch, state.lease_generation, lease_generation));
  }
  if (*state.leased_offset != offset) {
    return std::unexpected(ConsumerGroupError::of(Kind::OffsetMismatch, *state.leased_offset, offset));
  }
  return {};
}

// Ack and nack: the checks, then the state with the lease released.
std::expected<Group, ConsumerGroupError> release_lease(const engine::Transaction& tx, std::string_view stream,
                                                       std::string_view group, std::string_view consumer,
                                                       uint64_t offset, uint64_t lease_generation) {
  if (auto checked = check_names({stream, group, consumer}); !checked) return std::unexpected(checked.error());
  auto loaded = load_group(tx, stream, group);
  if (!loaded) return std::unexpected(loaded.error());
  if (auto valid = validate_lease(loaded->state, consumer, offset, lease_generation); !valid) {
    return std::unexpected(valid.error());
  }
  clear_lease(loaded->state);
  return loaded;
}

}  // namespace

std::optional<std::string> consumer_group_state_key(std::string_view stream, std::string_view group) {
  return tuple_key(kStatePrefix, {stream, group});
}

std::optional<std::string> consumer_group_states_prefix(std::string_view stream) {
  return tuple_key(kStatePrefix, {stream});
}

std::string encode_state(const ConsumerGroupState& state) {
  std::string out;
  out.reserve(kLeasedStateFixedBytes + state.owner.size());
  ByteWriter writer(out);
  writer.u8(kStateFormatVersion);
  writer.u64_le(state.next_offset);
  writer.u8(state.leased_offset ? 1 : 0);
  if (state.leased_offset) writer.u64_le(*state.leased_offset);
  writer.i64_le(state.lease_until_ms);
  writer.u64_le(state.lease_generation);
  writer.field_le(state.owner);
  return out;
}

std::expected<ConsumerGroupState, ConsumerGroupError> decode_state(std::string_view bytes) {
  ByteReader reader(bytes);
  auto version = reader.u8();
  if (!version || *version != kStateFormatVersion) return std::unexpected(corrupt());
  ConsumerGroupState state;
  auto next_offset = reader.u64_le();
  auto flag = reader.u8();
  if (!next_offset || !flag || *flag > 1) return std::unexpected(corrupt());
  state.next_offset = *next_offset;
  if (*flag == 1) {
    auto leased = reader.u64_le();
    if (!leased) return std::unexpected(corrupt());
    state.leased_offset = *leased;
  }
  auto lease_until_ms = reader.i64_le();
  auto generation = reader.u64_le();
  auto owner = reader.field_le();
  if (!lease_until_ms || !generation || !owner || !reader.at_end()) return std::unexpected(corrupt());
  state.lease_until_ms = *lease_until_ms;
  state.lease_generation = *generation;
  state.owner.assign(*owner);
  return state;
}

std::expected<std::optional<ConsumerGroupDelivery>, ConsumerGroupError> consumer_group_claim(
    engine::Store& store, std::string_view stream, std::string_view group, std::string_view consumer, int64_t now_ms,
    int64_t lease_duration_ms) {
  if (auto checked = check_names({stream, group, consumer}); !checked) return std::unexpected(checked.error());
  auto loaded = load_group(store, stream, group);
  if (!loaded) return std::unexpected(loaded.error());
  ConsumerGroupState& state = loaded->state;
  if (state.leased_offset && state.lease_until_ms > now_ms) return std::optional<ConsumerGroupDelivery>{};

  auto handle = Stream::open(store, stream);
  if (!handle) return std::unexpected(ConsumerGroupError::of(Kind::Messaging, handle.error()));
  auto entries = handle->read_from(state.next_offset, 1);
  if (!entries) return std::unexpected(ConsumerGroupError::of(Kind::Messaging, entries.error()));
  if (entries->empty()) {
    if (state.leased_offset) {
      // The expired lease is dropped so that the state says what is true.
      clear_lease(state);
      if (auto saved = save_group(store, *loaded); !saved) return std::unexpected(saved.error());
    }
    return std::optional<ConsumerGroupDelivery>{};
  }

  int64_t lease_until_ms = 0;
  if (lease_duration_ms < 0 || __builtin_add_overflow(now_ms, lease_duration_ms, &lease_until_ms)) {
    return std::unexpected(ConsumerGroupError::of(Kind::TimeOverflow));
  }
  if (state.lease_generation == std::numeric_limits<uint64_t>::max()) {
    return std::unexpected(ConsumerGroupError::of(Kind::GenerationOverflow));
  }
  StreamEntry& entry = entries->front();
  state.leased_offset = entry.offset;
  state.owner.assign(consumer);
  state.lease_until_ms = lease_until_ms;
  state.lease_generation += 1;
  if (auto saved = save_group(store, *loaded); !saved) return std::unexpected(saved.error());
  return ConsumerGroupDelivery{entry.offset, std::move(entry.payload), state.lease_generation, lease_until_ms};
}

std::expected<void, ConsumerGroupError> consumer_group_ack(engine::Transaction& tx, std::string_view stream,
                                                           std::string_view group, std::string_view consumer,
                                                           uint64_t offset, uint64_t lease_generation) {
  auto released = release_lease(tx, stream, group, consumer, offset, lease_generation);
  if (!released) return std::unexpected(released.error());
  // A leased offset always names an entry, and no entry can sit at the last
  // offset through appends; only a damaged file could make this wrap to 0.
  if (offset == std::numeric_limits<uint64_t>::max()) {
    return std::unexpected(stream_error(MessagingError::Kind::OffsetExhausted));
  }
  released->state.next_offset = offset + 1;
  return save_group(tx, *released);
}

std::expected<void, ConsumerGroupError> consumer_group_ack(engine::Store& store, std::string_view stream,
                                                           std::string_view group, std::string_view consumer,
                                                           uint64_t offset, uint64_t lease_generation) {
  return records::in_own_transaction(store, [&](engine::Transaction& tx) {
    return consumer_group_ack(tx, stream, group, consumer, offset, lease_generation);
  });
}

std::expected<void, ConsumerGroupError> consumer_group_nack(engine::Transaction& tx, std::string_view stream,
                                                            std::string_view group, std::string_view consumer,
                                                            uint64_t offset, uint64_t lease_generation) {
  auto released = release_lease(tx, stream, group, consumer, offset, lease_generation);
  if (!released) return std::unexpected(released.error());
  return save_group(tx, *released);
}

std::expected<void, ConsumerGroupError> consumer_group_nack(engine::Store& store, std::string_view stream,
                                                            std::string_view group, std::string_view consumer,
                                                            uint64_t offset, uint64_t lease_generation) {
  return records::in_own_transaction(store, [&](engine::Transaction& tx) {
    return consumer_group_nack(tx, stream, group, consumer, offset, lease_generation);
  });
}

std::expected<void, ConsumerGroupError> consumer_group_reset(engine::Store& store, std::string_view stream,
                                                             std::string_view group, uint64_t next_offset) {
  if (auto checked = check_names({stream, group}); !checked) return std::unexpected(checked.error());
  auto loaded = load_group(store, stream, group);
  if (!loaded) return std::unexpected(loaded.error());
  clear_lease(loaded->state);
  loaded->state.next_offset = next_offset;
  return save_group(store, *loaded);
}

std::expected<ConsumerGroupState, ConsumerGroupError> consumer_group_state(engine::Store& store,
                                                                           std::string_view stream,
                                                                           std::string_view group) {
  if (auto checked = check_names({stream, group}); !checked) return std::unexpected(checked.error());
  auto loaded = load_group(store, stream, group);
  if (!loaded) return std::unexpected(loaded.error());
  return std::move(loaded->state);
}

}  // namespace ombrel::messaging
