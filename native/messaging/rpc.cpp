#include "messaging/rpc.h"

#include <utility>

#include "engine/store.h"
#include "engine/transaction.h"
#include "messaging/rpc_index.h"
#include "records/own_transaction.h"
#include "util/component_key.h"

namespace ombrel::messaging {

namespace {

constexpr uint8_t kRpcFormatVersion = 1;
// The fixed bytes of each value (rpc.h): a request with a deadline, before
// its method and payload; a response, before its payload.
constexpr size_t kHeadBytes = 1 + 8 + kNonceSize;
constexpr size_t kRequestFixedBytes = kHeadBytes + 8 + 1 + 8 + 4 + 4;
constexpr size_t kResponseFixedBytes = kHeadBytes + 8 + 1 + 4;
static_assert(kHeadBytes == 25 && kRequestFixedBytes == 50 && kResponseFixedBytes == 38);

RpcError corrupt() { return RpcError::of(RpcError::Kind::CorruptRecord); }

// The fields every request and response value begins with: version, tx_id, nonce.
struct RecordHead {
  uint64_t tx_id;
  Nonce nonce;
};

std::optional<RecordHead> read_head(ByteReader& r) {
  auto version = r.u8();
  auto tx_id = r.u64_le();
  auto nonce = r.bytes(kNonceSize);
  if (!version || *version != kRpcFormatVersion || !tx_id || !nonce) return std::nullopt;
  return RecordHead{*tx_id, *nonce_from(*nonce)};
}

void write_head(ByteWriter& w, uint64_t tx_id, const Nonce& nonce) {
  w.u8(kRpcFormatVersion);
  w.u64_le(tx_id);
  w.bytes(nonce_bytes(nonce));
}

// A flag byte: 0 or 1, anything else is damage.
std::optional<bool> read_flag(ByteReader& r) {
  auto flag = r.u8();
  if (!flag || *flag > 1) return std::nullopt;
  return *flag == 1;
}

}  // namespace

Bytes request_key(uint64_t tx_id, const Nonce& nonce) { return message_id_key(kRpcRequestPrefix, tx_id, nonce); }

Bytes response_key(uint64_t tx_id, const Nonce& nonce) { return message_id_key(kRpcResponsePrefix, tx_id, nonce); }

std::expected<Bytes, RpcError> encode_request(const RpcRequest& request) {
  if (!component_fits(request.method) || !component_fits(request.payload))
    return std::unexpected(RpcError::of(RpcError::Kind::FieldTooLarge));
  Bytes out;
  out.reserve(kRequestFixedBytes + request.method.size() + request.payload.size());
  ByteWriter w(out);
  write_head(w, request.tx_id, request.nonce);
  w.i64_le(request.created_at_ms);
  w.u8(request.deadline_ms ? 1 : 0);
  if (request.deadline_ms) w.i64_le(*request.deadline_ms);
  w.field_le(request.method);
  w.field_le(request.payload);
  return out;
}

std::expected<RpcRequest, RpcError> decode_request(BytesView bytes) {
  ByteReader r(bytes);
  auto head = read_head(r);
  auto created_at = r.i64_le();
  auto has_deadline = read_flag(r);
  if (!head || !created_at || !has_deadline) return std::unexpected(corrupt());
  std::optional<int64_t> deadline;
  if (*has_deadline) {
    auto value = r.i64_le();
    if (!value) return std::unexpected(corrupt());
    deadline = *value;
  }
  auto method = r.field_le();
  auto payload = r.field_le();
  if (!method || method->empty() || !payload || !r.at_end()) return std::unexpected(corrupt());
  return RpcRequest{Bytes(*method), Bytes(*payload), deadline, *created_at, head->tx_id, head->nonce};
}

std::expected<Bytes, RpcError> encode_response(const RpcResponse& response) {
  if (!component_fits(response.payload)) return std::unexpected(RpcError::of(RpcError::Kind::FieldTooLarge));
  Bytes out;
  out.reserve(kResponseFixedBytes + response.payload.size());
  ByteWriter w(out);
  write_head(w, response.tx_id, response.nonce);
  w.i64_le(response.completed_at_ms);
  w.u8(response.is_error ? 1 : 0);
  w.field_le(response.payload);
  return out;
}

std::expected<RpcResponse, RpcError> decode_response(BytesView bytes) {
  ByteReader r(bytes);
  auto head = read_head(r);
  auto completed_at = r.i64_le();
  auto is_error = read_flag(r);
  auto payload = r.field_le();
  if (!head || !completed_at || !is_error || !payload || !r.at_end()) return std::unexpected(corrupt());
  return RpcResponse{Bytes(*payload), head->nonce, head->tx_id, *completed_at, *is_error};
}

std::expected<MessageId, RpcError> request_rpc(engine::Transaction& tx, BytesView method, BytesView payload,
                                               int64_t created_at_ms, std::optional<int64_t> deadline_ms) {
  if (method.empty()) return std::unexpected(RpcError::of(RpcError::Kind::EmptyMethod));
  auto nonce = random_nonce();
  if (!nonce) return std::unexpected(RpcError::of(RpcError::Kind::EntropyUnavailable));
  RpcRequest request{Bytes(method), Bytes(payload), deadline_ms, created_at_ms, tx.tx_id(), *nonce};
  auto value = encode_request(request);
  if (!value) return std::unexpected(value.error());
  if (auto put = tx.put_internal(request_key(request.tx_id, request.nonce), *value); !put)
    return std::unexpected(RpcError::engine(put.error()));
  return MessageId{request.tx_id, request.nonce};
}

std::expected<MessageId, RpcError> submit_rpc_request(engine::Store& store, BytesView method, BytesView payload,
                                                      int64_t created_at_ms, std::optional<int64_t> deadline_ms) {
  auto tx = store.begin();
  if (!tx) return std::unexpected(RpcError::engine(tx.error()));
  auto id = request_rpc(*tx, method, payload, created_at_ms, deadline_ms);
  if (!id) return id;
  if (auto committed = tx->commit(); !committed) return std::unexpected(RpcError::engine(committed.error()));
  return id;
}

std::expected<std::vector<RpcRequest>, RpcError> pending_rpc_requests_after(const engine::Store& store,
                                                                            std::optional<uint64_t> after_tx_id,
                                                                            uint64_t limit) {
  return records_after(store, kRpcRequestPrefix, store.derived_index<RpcRequestIndex>().unreadable(), after_tx_id,
                       limit, decode_request, corrupt());
}

std::expected<void, RpcError> respond_rpc(engine::Transaction& tx, const MessageId& id, BytesView payload,
                                          int64_t completed_at_ms, bool is_error) {
  const Bytes request = request_key(id.tx_id, id.nonce);
  if (!tx.get_internal(request)) {
    if (tx.get_internal(response_key(id.tx_id, id.nonce)))
      return std::unexpected(RpcError::of(RpcError::Kind::ResponseExists));
    return std::unexpected(RpcError::of(RpcError::Kind::RequestNotFound));
  }
  auto value = encode_response(RpcResponse{Bytes(payload), id.nonce, id.tx_id, completed_at_ms, is_error});
  if (!value) return std::unexpected(value.error());
  if (auto deleted = tx.delete_internal(request); !deleted) return std::unexpected(RpcError::engine(deleted.error()));
  if (auto put = tx.put_internal(response_key(id.tx_id, id.nonce), *value); !put)
    return std::unexpected(RpcError::engine(put.error()));
  return {};
}

std::expected<void, RpcError> respond_rpc(engine::Store& store, const MessageId& id, BytesView payload,
                                          int64_t completed_at_ms, bool is_error) {
  return records::in_own_transaction(
      store, [&](engine::Transaction& tx) { return respond_rpc(tx, id, payload, completed_at_ms, is_error); });
}

std::expected<std::optional<RpcResponse>, RpcError> get_rpc_response(const engine::Store& store, const MessageId& id) {
  const auto stored = store.find(response_key(id.tx_id, id.nonce));
  if (!stored) return std::optional<RpcResponse>{};
  auto response = decode_response(*stored);
  if (!response) return std::unexpected(response.error());
  if (!(MessageId{response->tx_id, response->nonce} == id)) return std::unexpected(corrupt());
  return std::optional<RpcResponse>{std::move(*response)};
}

std::expected<bool, RpcError> ack_rpc_response(engine::Transaction& tx, const MessageId& id) {
  const Bytes key = response_key(id.tx_id, id.nonce);
  if (!tx.get_internal(key)) return false;
  if (auto deleted = tx.delete_internal(key); !deleted) return std::unexpected(RpcError::engine(deleted.error()));
  return true;
}

std::expected<bool, RpcError> ack_rpc_response(engine::Store& store, const MessageId& id) {
  return records::in_own_transaction(
      store, [&](engine::Transaction& tx) { return ack_rpc_response(tx, id); }, records::EmptyTransaction::Drop);
}

std::expected<uint64_t, RpcError> expire_rpc_requests(engine::Store& store, int64_t now_ms, uint64_t limit) {
  RpcRequestIndex& index = store.derived_index<RpcRequestIndex>();
  // Any unreadable request fails the call before anything expires, as the
  // decoding of every pending request always did.
  if (!index.unreadable().empty()) return std::unexpected(corrupt());
  // The ids first: each answer below commits and changes the index.
  std::vector<MessageId> due;
  for (const MessageId& id : index.deadlines().due_at(now_ms)) {
    if (due.size() >= limit) break;
    due.push_back(id);
  }
  uint64_t expired = 0;
  for (const MessageId& id : due) {
    if (auto answered = respond_rpc(store, id, kDeadlineExceeded, now_ms, true); !answered)
      return std::unexpected(answered.error());
    ++expired;
  }
  return expired;
}

}  // namespace ombrel::messaging
