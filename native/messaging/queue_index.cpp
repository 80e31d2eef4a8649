#include "messaging/queue_index.h"

#include <algorithm>

namespace ombrel::messaging {

std::optional<uint64_t> QueueMessages::claim_candidate(int64_t now_ms) {
  const auto& ready_due = ready.due_at(now_ms);
  const auto& expired = leased.due_at(now_ms);
  if (ready_due.empty() && expired.empty()) return std::nullopt;
  if (ready_due.empty()) return expired.begin()->id;
  if (expired.empty()) return ready_due.begin()->id;
  return std::min(*ready_due.begin(), *expired.begin()).id;
}

namespace {

// Files the message stored as `value` under `id` (absent for a misshapen
// key) into `messages`, or takes it out again: what one filed, the other
// undoes for the same id and value.
void file(QueueMessages& messages, std::optional<uint64_t> id, std::string_view value, bool in) {
  auto count = [in](uint64_t& n) { n = in ? n + 1 : n - 1; };
  auto time = [in](DueOrder<ClaimRank>& order, int64_t at, const ClaimRank& rank) {
    in ? order.insert(at, rank) : order.erase(at, rank);
  };
  if (!id) return count(messages.misshapen);
  auto message = decode_message_view(value, *id);
  if (!message) return count(messages.damaged);
  const ClaimRank rank{message->priority, message->id};
  switch (message->state) {
    case MessageState::Ready:
      return time(messages.ready, message->available_at_ms, rank);
    case MessageState::Leased:
      return time(messages.leased, message->lease_until_ms, rank);
    case MessageState::Dead:
      if (in)
        messages.dead.insert(message->id);
      else
        messages.dead.erase(message->id);
      return;
  }
}

}  // namespace

void QueueIndex::apply(std::string_view key, std::optional<std::string_view> before,
                       std::optional<std::string_view> after) {
  auto parts = parse_message_key(key);
  if (!parts) return;
  auto it = queues_.find(parts->message_prefix);
  if (it == queues_.end()) {
    if (!after) return;
    it = queues_.emplace(std::string(parts->message_prefix), QueueMessages{}).first;
  }
  if (before) file(it->second, parts->id, *before, false);
  if (after) file(it->second, parts->id, *after, true);
  if (it->second.empty()) queues_.erase(it);
}

QueueMessages* QueueIndex::find(std::string_view message_prefix) {
  auto it = queues_.find(message_prefix);
  return it == queues_.end() ? nullptr : &it->second;
}

}  // namespace ombrel::messaging
