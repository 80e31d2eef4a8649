// The derived index of queue messages (engine/derived_index.h): what claims,
// statistics and purges of one queue need, without reading its records.
//
// Contract: QueueIndex watches every key under 0xFF "omb:q:" and keeps, per
// queue that holds at least one message key (found by its message prefix
// B ":m:", see queue.h):
//   ready     ready messages, timed by available_at_ms
//   leased    leased messages, timed by lease_until_ms
//   dead      ids of dead messages
//   damaged   message keys whose value does not decode under the key's id
//   misshapen keys under the message prefix that are not it and 8 id bytes
// Ready and leased messages are ranked as a claim picks them: higher
// priority first, then smaller id. A queue with a damaged or misshapen key
// is unreadable: every answer that a walk over all its records gave fails
// on it, so the callers fail as that walk did. Counter keys are ignored.
//
// Memory: per ready or leased message one (time, rank) entry of 24 bytes and,
// once due, one rank of 16 bytes, in B-tree nodes; 8 bytes per dead message.
#pragma once

#include <absl/container/btree_set.h>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "messaging/due_order.h"
#include "messaging/queue.h"

namespace ombrel::messaging {

// Claim order: higher priority first, then smaller id.
struct ClaimRank {
  int32_t priority;
  uint64_t id;
  bool operator<(const ClaimRank& other) const {
    if (priority != other.priority) return priority > other.priority;
    return id < other.id;
  }
  bool operator==(const ClaimRank&) const = default;
};

// The indexed messages of one queue.
struct QueueMessages {
  DueOrder<ClaimRank> ready;
  DueOrder<ClaimRank> leased;
  absl::btree_set<uint64_t> dead;
  uint64_t damaged = 0;
  uint64_t misshapen = 0;

  bool operator==(const QueueMessages&) const = default;
  bool readable() const { return damaged == 0 && misshapen == 0; }
  bool empty() const { return ready.empty() && leased.empty() && dead.empty() && damaged == 0 && misshapen == 0; }
  // The id a claim at `now_ms` takes: the best-ranked ready message whose
  // time has come or leased message whose lease ran out.
  std::optional<uint64_t> claim_candidate(int64_t now_ms);
};

class QueueIndex {
 public:
  static constexpr std::array<std::string_view, 1> kPrefixes{kQueuePrefix};

  void apply(std::string_view key, std::optional<std::string_view> before, std::optional<std::string_view> after);
  // The same queues and messages (an index kept in step equals a rebuild).
  bool operator==(const QueueIndex&) const = default;

  // The queue whose message keys are under `message_prefix`; nullptr when
  // it holds no message key. Valid until a commit changes that queue.
  QueueMessages* find(std::string_view message_prefix);

  // fn(const QueueMessages&) for every queue holding a message key.
  template <class Fn>
  void for_each_queue(Fn&& fn) const {
    for (const auto& [prefix, messages] : queues_) fn(messages);
  }

 private:
  // A map, so that a queue found stays in place while others come and go.
  std::map<std::string, QueueMessages, std::less<>> queues_;
};

}  // namespace ombrel::messaging
