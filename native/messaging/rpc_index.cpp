#include "messaging/rpc_index.h"

namespace ombrel::messaging {

void RpcRequestIndex::apply(std::string_view key, std::optional<std::string_view> before,
                            std::optional<std::string_view> after) {
  // Takes the request stored as `value` out of the index, or files it.
  auto file = [&](std::string_view value, bool in) {
    auto request = record_under_key(key, kRpcRequestPrefix.size(), value, decode_request);
    if (!request) {
      in ? (void)unreadable_.emplace(key) : (void)unreadable_.erase(key);
    } else if (request->deadline_ms) {
      const MessageId id{request->tx_id, request->nonce};
      in ? deadlines_.insert(*request->deadline_ms, id) : deadlines_.erase(*request->deadline_ms, id);
    }
  };
  if (before) file(*before, false);
  if (after) file(*after, true);
}

}  // namespace ombrel::messaging
