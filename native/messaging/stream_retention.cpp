#include "messaging/stream_retention.h"

#include <algorithm>
#include <string>
#include <vector>

#include "engine/store.h"
#include "engine/transaction.h"
#include "messaging/consumer_group.h"
#include "util/byte_codec.h"

namespace ombrel::messaging {

namespace {

MessagingError corrupt_metadata() { return MessagingError::of(MessagingError::Kind::CorruptMetadata); }

// The lowest offset a subscription of the topic `name` or a consumer group
// of the stream `name` has yet to take, capped at `bound`.
std::expected<uint64_t, MessagingError> first_unread(const engine::Store& store, std::string_view name,
                                                     uint64_t bound) {
  auto cursors = subscription_cursors_prefix(name);
  auto groups = consumer_group_states_prefix(name);
  if (!cursors || !groups) return std::unexpected(MessagingError::of(MessagingError::Kind::NameTooLong));
  for (const auto& [key, value] : store.prefix_range(*cursors)) {
    auto cursor = decode_stream_counter(value);
    if (!cursor) return std::unexpected(corrupt_metadata());
    bound = std::min(bound, *cursor);
  }
  for (const auto& [key, value] : store.prefix_range(*groups)) {
    auto state = decode_state(value);
    if (!state) return std::unexpected(corrupt_metadata());
    bound = std::min(bound, state->next_offset);
    if (state->leased_offset) bound = std::min(bound, *state->leased_offset);
  }
  return bound;
}

}  // namespace

std::expected<uint64_t, MessagingError> trim_stream(engine::Store& store, std::string_view name, uint64_t before_offset,
                                                    bool force) {
  if (name.empty()) return std::unexpected(MessagingError::of(MessagingError::Kind::EmptyName));
  auto keys = stream_keys(name);
  if (!keys) return std::unexpected(MessagingError::of(MessagingError::Kind::NameTooLong));
  uint64_t bound = before_offset;
  if (!force) {
    auto unread = first_unread(store, name, bound);
    if (!unread) return std::unexpected(unread.error());
    bound = *unread;
  }
  const std::string& prefix = keys->entry_prefix;
  std::string bound_key(prefix);
  ByteWriter(bound_key).u64_be(bound);
  // Keys first: the commit below changes the table they come from.
  std::vector<std::string> doomed;
  for (auto it = store.prefix_range(prefix).first; it != store.live().end() && it->first < bound_key; ++it) {
    if (it->first.size() != prefix.size() + 8) return std::unexpected(corrupt_metadata());
    doomed.emplace_back(it->first);
  }
  if (doomed.empty()) return uint64_t{0};
  auto tx = store.begin();
  if (!tx) return std::unexpected(MessagingError::engine(tx.error()));
  for (const std::string& key : doomed) {
    if (auto deleted = tx->delete_internal(key); !deleted)
      return std::unexpected(MessagingError::engine(deleted.error()));
  }
  if (auto committed = tx->commit(); !committed) return std::unexpected(MessagingError::engine(committed.error()));
  return uint64_t{doomed.size()};
}

}  // namespace ombrel::messaging
