// RPC requests and responses between processes sharing a store.
//
// Contract: a caller submits a request (method, payload, optional deadline);
// a worker lists pending requests in submission order and answers one, which
// removes the request and stores the response in one transaction; the caller
// reads the response and acknowledges it (deleting it). A request is
// identified by (tx_id, nonce) like an outbox event. Requests past their
// deadline are answered with an error response only when the caller asks
// (expire_rpc_requests).
//
//   id state       event                         next
//   pending        respond / expire when due     answered
//   answered       ack_rpc_response              acknowledged (nothing stored)
//   answered       respond again                 unchanged: ResponseExists
//   (unknown)      respond                       RequestNotFound
//
// Keys:
//   request   0xFF "omb:rpc:req:"  (13) | tx_id u64 BE | nonce (16)   37 bytes
//   response  0xFF "omb:rpc:resp:" (14) | tx_id u64 BE | nonce (16)   38 bytes
//
// Request value (little-endian):
//   offset    width  field
//   0         1      format version, 1
//   1         8      tx_id
//   9         16     nonce
//   25        8      created_at_ms, signed
//   33        1      deadline flag: 0 none, 1 present
//   34        8      deadline_ms, signed (flag 1 only)
//   34 or 42  4      method length M (M > 0)
//   then      M      method
//   then      4      payload length P
//   then      P      payload
//
// Response value (little-endian):
//   offset  width  field
//   0       1      format version, 1
//   1       8      tx_id
//   9       16     nonce
//   25      8      completed_at_ms, signed
//   33      1      is_error: 0 or 1
//   34      4      payload length P
//   38      P      payload
// Anything else, or a record whose id differs from its key's, is
// CorruptRecord.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/domain_error.h"
#include "engine/errors.h"
#include "engine/key_area.h"
#include "engine/transaction.h"
#include "messaging/message_id.h"
#include "util/byte_codec.h"

namespace ombrel::engine {
class Store;
class Transaction;
}  // namespace ombrel::engine

namespace ombrel::messaging {

inline constexpr engine::KeyArea kRpcArea{"rpc", {"\xFFomb:rpc:", 9}};
inline constexpr std::string_view kRpcRequestPrefix{"\xFFomb:rpc:req:", 13};
inline constexpr std::string_view kRpcResponsePrefix{"\xFFomb:rpc:resp:", 14};
static_assert(kRpcArea.holds(kRpcRequestPrefix) && kRpcArea.holds(kRpcResponsePrefix));
// The payload of the error response that answers an expired request.
inline constexpr std::string_view kDeadlineExceeded{"deadline exceeded"};

struct RpcErrorTexts {
  enum class Kind : uint8_t {
    Engine,
    EmptyMethod,
    FieldTooLarge,
    CorruptRecord,
    RequestNotFound,
    ResponseExists,
    EntropyUnavailable,
  };
  static constexpr auto kTexts = std::to_array<engine::ErrorText<Kind>>({
      {Kind::Engine, "store error: {}"},
      {Kind::EmptyMethod, "RPC method cannot be empty"},
      {Kind::FieldTooLarge, "RPC field is too large"},
      {Kind::CorruptRecord, "RPC record is corrupt"},
      {Kind::RequestNotFound, "RPC request was not found"},
      {Kind::ResponseExists, "RPC response already exists"},
      {Kind::EntropyUnavailable, "operating-system entropy is unavailable"},
  });
};
using RpcError = engine::DomainError<RpcErrorTexts>;

struct RpcRequest {
  Bytes method;
  Bytes payload;
  std::optional<int64_t> deadline_ms;
  int64_t created_at_ms = 0;
  uint64_t tx_id = 0;
  Nonce nonce{};
};

struct RpcResponse {
  Bytes payload;
  Nonce nonce{};
  uint64_t tx_id = 0;
  int64_t completed_at_ms = 0;
  bool is_error = false;
};

Bytes request_key(uint64_t tx_id, const Nonce& nonce);
Bytes response_key(uint64_t tx_id, const Nonce& nonce);
std::expected<Bytes, RpcError> encode_request(const RpcRequest& request);
std::expected<RpcRequest, RpcError> decode_request(BytesView bytes);
std::expected<Bytes, RpcError> encode_response(const RpcResponse& response);
std::expected<RpcResponse, RpcError> decode_response(BytesView bytes);

std::expected<MessageId, RpcError> submit_rpc_request(engine::Store& store, BytesView method, BytesView payload,
                                                      int64_t created_at_ms, std::optional<int64_t> deadline_ms);
// Inside the caller's transaction, carrying its id.
std::expected<MessageId, RpcError> request_rpc(engine::Transaction& tx, BytesView method, BytesView payload,
                                               int64_t created_at_ms, std::optional<int64_t> deadline_ms);

// Up to `limit` pending requests of transactions after `after_tx_id` (all
// when none), in (tx_id, nonce) order. A limit of 0 returns nothing.
std::expected<std::vector<RpcRequest>, RpcError> pending_rpc_requests_after(const engine::Store& store,
                                                                            std::optional<uint64_t> after_tx_id,
                                                                            uint64_t limit);
std::expected<void, RpcError> respond_rpc(engine::Store& store, const MessageId& id, BytesView payload,
                                          int64_t completed_at_ms, bool is_error);
// Respond and acknowledge inside the caller's open transaction, staged
// without committing and reading through it: a request answered earlier in
// it has a response and no request. The Store forms run these in a
// transaction of their own.
std::expected<void, RpcError> respond_rpc(engine::Transaction& tx, const MessageId& id, BytesView payload,
                                          int64_t completed_at_ms, bool is_error);
std::expected<bool, RpcError> ack_rpc_response(engine::Transaction& tx, const MessageId& id);
std::expected<std::optional<RpcResponse>, RpcError> get_rpc_response(const engine::Store& store, const MessageId& id);
// Whether a response was there to remove.
std::expected<bool, RpcError> ack_rpc_response(engine::Store& store, const MessageId& id);
// Answers up to `limit` requests whose deadline is at or before now_ms with
// an error response, the first in key order, each in its own transaction,
// and returns how many. A failure stops the walk; those answered before it
// stay answered. The due requests come from the store's RpcRequestIndex
// (rpc_index.h), so requests not yet due cost nothing; an unreadable
// request anywhere fails the call before anything is answered.
std::expected<uint64_t, RpcError> expire_rpc_requests(engine::Store& store, int64_t now_ms, uint64_t limit);

}  // namespace ombrel::messaging
