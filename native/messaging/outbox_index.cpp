#include "messaging/outbox_index.h"

namespace ombrel::messaging {

void OutboxIndex::apply(std::string_view key, std::optional<std::string_view> before,
                        std::optional<std::string_view> after) {
  if (before && !after) --count_;
  if (!before && after) ++count_;
  if (before) unreadable_.erase(key);
  if (after && !record_under_key(key, kOutboxEventPrefix.size(), *after, decode_event)) unreadable_.emplace(key);
}

}  // namespace ombrel::messaging
