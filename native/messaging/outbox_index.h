// The derived index of outbox events (engine/derived_index.h): how many are
// pending, and which of them a listing would fail on.
//
// Contract: OutboxIndex watches every key under 0xFF "omb:outbox:event:" and
// keeps the number of keys there (what outbox_len reports, records
// undecoded) and the keys whose event does not decode or names another id
// than its key (UnreadableKeys, message_id.h), so that outbox_events_after
// can start its walk at the first transaction it lists and still fail on
// every such record that a walk from the first event would have met.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "messaging/message_id.h"
#include "messaging/outbox.h"

namespace ombrel::messaging {

class OutboxIndex {
 public:
  static constexpr std::array<std::string_view, 1> kPrefixes{kOutboxEventPrefix};

  void apply(std::string_view key, std::optional<std::string_view> before, std::optional<std::string_view> after);
  bool operator==(const OutboxIndex&) const = default;

  uint64_t count() const { return count_; }
  const UnreadableKeys& unreadable() const { return unreadable_; }

 private:
  uint64_t count_ = 0;
  UnreadableKeys unreadable_;
};

}  // namespace ombrel::messaging
