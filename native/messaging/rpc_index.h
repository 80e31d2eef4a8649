// The derived index of pending RPC requests (engine/derived_index.h): which
// requests fall due when, and which of them a walk would fail on.
//
// Contract: RpcRequestIndex watches every key under 0xFF "omb:rpc:req:" and
// keeps
//   deadlines   the requests that carry a deadline, timed by it and ranked
//               by id (tx_id, then nonce: key order), so that
//               expire_rpc_requests takes the first due ones in key order
//               without reading the others;
//   unreadable  the keys whose request does not decode or names another id
//               than its key (UnreadableKeys, message_id.h): expiry, which
//               used to decode every request first, fails on any of them,
//               and a listing fails on those its walk would have met.
// Requests without a deadline never expire and are not timed.
//
// Memory: per request with a deadline one (deadline, id) entry of 32 bytes
// and, once due, one id of 24 bytes, in B-tree nodes.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "messaging/due_order.h"
#include "messaging/message_id.h"
#include "messaging/rpc.h"

namespace ombrel::messaging {

class RpcRequestIndex {
 public:
  static constexpr std::array<std::string_view, 1> kPrefixes{kRpcRequestPrefix};

  void apply(std::string_view key, std::optional<std::string_view> before, std::optional<std::string_view> after);
  bool operator==(const RpcRequestIndex&) const = default;

  DueOrder<MessageId>& deadlines() { return deadlines_; }
  const UnreadableKeys& unreadable() const { return unreadable_; }

 private:
  DueOrder<MessageId> deadlines_;
  UnreadableKeys unreadable_;
};

}  // namespace ombrel::messaging
