// RPC methods of Store: submit a request, list pending requests, respond,
// read and acknowledge a response, expire requests past their deadline.
//
// Contract: a request is returned as a dict with the keys, in this order,
// "id" (the tuple (tx_id, nonce)), "tx_id", "nonce", "method", "payload",
// "created_at_ms", "deadline_ms" (None without a deadline); a response as
// "request_id", "tx_id", "nonce", "payload", "completed_at_ms", "is_error".
// A nonce argument must be exactly 16 bytes, else OmbrelStoreError "RPC
// nonce must be exactly 16 bytes". Every RpcError is raised as
// OmbrelStoreError with its own display text.
#include <span>

#include "engine/store.h"
#include "messaging/rpc.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/message_id_args.h"
#include "python/method_registry.h"
#include "python/store_slot.h"

namespace ombrel::python {
namespace {

using messaging::MessageId;
using messaging::RpcError;

constexpr char kNonceLengthMessage[] = "RPC nonce must be exactly 16 bytes";

PyObject* map_rpc_error(const ModuleState& state, const RpcError& error) {
  return raise_domain_error(state, error.message());
}

PyObject* request_dict(const messaging::RpcRequest& request) {
  DictBuilder dict;
  dict.set("id", message_id_result(MessageId{request.tx_id, request.nonce}));
  dict.set("tx_id", int_result(request.tx_id));
  dict.set("nonce", bytes_result(messaging::nonce_bytes(request.nonce)));
  dict.set("method", bytes_result(request.method));
  dict.set("payload", bytes_result(request.payload));
  dict.set("created_at_ms", int_result(request.created_at_ms));
  dict.set("deadline_ms", optional_int_result(request.deadline_ms));
  return dict.finish();
}

PyObject* response_dict(const messaging::RpcResponse& response) {
  DictBuilder dict;
  dict.set("request_id", message_id_result(MessageId{response.tx_id, response.nonce}));
  dict.set("tx_id", int_result(response.tx_id));
  dict.set("nonce", bytes_result(messaging::nonce_bytes(response.nonce)));
  dict.set("payload", bytes_result(response.payload));
  dict.set("completed_at_ms", int_result(response.completed_at_ms));
  dict.set("is_error", bool_result(response.is_error));
  return dict.finish();
}

// The (tx_id, nonce) arguments of the methods that name one request.
struct RequestIdArgs {
  uint64_t tx_id;
  messaging::Nonce nonce;
  static constexpr auto kParams = params(param("tx_id", &RequestIdArgs::tx_id),
                                         param<NonceArg<kNonceLengthMessage>>("nonce", &RequestIdArgs::nonce));
  MessageId to_value() const { return MessageId{tx_id, nonce}; }
};

struct SubmitRpcRequest {
  static constexpr const char* kName = "submit_rpc_request";
  std::string_view method;
  std::string_view payload;
  int64_t created_at_ms;
  std::optional<int64_t> deadline_ms;
  static constexpr auto kParams =
      params(param("method", &SubmitRpcRequest::method), param("payload", &SubmitRpcRequest::payload),
             param("created_at_ms", &SubmitRpcRequest::created_at_ms),
             param("deadline_ms", &SubmitRpcRequest::deadline_ms, kNone));
  static constexpr const char* kDoc =
      "Submit a request in its own transaction and return its id, the tuple (tx_id, nonce).\n\n"
      "With `deadline_ms`, expire_rpc_requests answers it with an error once that time is reached.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto id = messaging::submit_rpc_request(store, method, payload, created_at_ms, deadline_ms);
      if (!id) return map_rpc_error(state, id.error());
      return message_id_result(*id);
    });
  }
};

// The Transaction's request: its id is the committing transaction's.
struct RequestRpc {
  static constexpr const char* kName = "request_rpc";
  std::string method;
  std::string payload;
  int64_t created_at_ms;
  std::optional<int64_t> deadline_ms;
  static constexpr auto kParams =
      params(param("method", &RequestRpc::method), param("payload", &RequestRpc::payload),
             param("created_at_ms", &RequestRpc::created_at_ms), param("deadline_ms", &RequestRpc::deadline_ms, kNone));
  static constexpr const char* kStagedDoc =
      "Stage an RPC request and return the operation's position. Its result is\n"
      "{\"kind\": \"rpc\", \"tx_id\": <int>, \"nonce\": <16 bytes>}, the request's id.";

  auto run(engine::Transaction& tx) const {
    return messaging::request_rpc(tx, method, payload, created_at_ms, deadline_ms);
  }
  static std::optional<OperationResult> staged_result(const MessageId& id) {
    return message_id_operation_result("rpc", id);
  }
};

struct PendingRpcRequestsAfter {
  static constexpr const char* kName = "pending_rpc_requests_after";
  std::optional<uint64_t> after_tx_id;
  uint64_t limit;
  static constexpr auto kParams = params(param("after_tx_id", &PendingRpcRequestsAfter::after_tx_id, kNone),
                                         param("limit", &PendingRpcRequestsAfter::limit, 100));
  static constexpr const char* kDoc =
      "Return up to `limit` unanswered requests of transactions after `after_tx_id` (all when\n"
      "None), in submission order. Each is a dict: id, tx_id, nonce, method, payload,\n"
      "created_at_ms, deadline_ms. A limit of 0 returns an empty list.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto requests = messaging::pending_rpc_requests_after(store, after_tx_id, limit);
      if (!requests) return map_rpc_error(state, requests.error());
      return list_result(*requests, [](const messaging::RpcRequest& request) { return request_dict(request); });
    });
  }
};

template <class B>
struct RespondRpc {
  static constexpr const char* kName = "respond_rpc";
  using Bytes = B;
  MessageId id;
  Bytes payload;
  int64_t completed_at_ms;
  bool is_error;
  static constexpr auto kParams =
      params(group<RequestIdArgs>(&RespondRpc::id), param("payload", &RespondRpc::payload),
             param("completed_at_ms", &RespondRpc::completed_at_ms), param("is_error", &RespondRpc::is_error, false));
  static constexpr const char* kStoreDoc =
      "Answer the pending request (tx_id, nonce): remove it and store the response, in one\n"
      "transaction. A request can be answered once.";
  static constexpr const char* kStagedDoc =
      "Stage the answer to the pending request (tx_id, nonce), applied at commit as Store.respond_rpc\n"
      "does (an unknown or already answered request fails the whole commit), and return the\n"
      "operation's position. No result.";

  auto run(auto& target) const { return messaging::respond_rpc(target, id, payload, completed_at_ms, is_error); }
};

struct GetRpcResponse {
  static constexpr const char* kName = "get_rpc_response";
  MessageId id;
  static constexpr auto kParams = params(group<RequestIdArgs>(&GetRpcResponse::id));
  static constexpr const char* kDoc =
      "Return the response to request (tx_id, nonce) as a dict (request_id, tx_id, nonce,\n"
      "payload, completed_at_ms, is_error), or None while there is none.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto response = messaging::get_rpc_response(store, id);
      if (!response) return map_rpc_error(state, response.error());
      if (!*response) return none_result();
      return response_dict(**response);
    });
  }
};

struct AckRpcResponse {
  static constexpr const char* kName = "ack_rpc_response";
  MessageId id;
  static constexpr auto kParams = params(group<RequestIdArgs>(&AckRpcResponse::id));
  static constexpr const char* kStoreDoc =
      "Delete the response to request (tx_id, nonce); True if there was one, else False.";
  static constexpr const char* kStagedDoc =
      "Stage the deletion of the response to request (tx_id, nonce), applied at commit as\n"
      "Store.ack_rpc_response does, and return the operation's position. Its result is\n"
      "{\"kind\": \"rpc_ack\", \"removed\": <bool>}.";

  auto run(auto& target) const { return messaging::ack_rpc_response(target, id); }
  static PyObject* store_result(bool removed) { return bool_result(removed); }
  static std::optional<OperationResult> staged_result(bool removed) {
    return OperationResult("rpc_ack", {{"removed", removed}});
  }
};

struct ExpireRpcRequests {
  static constexpr const char* kName = "expire_rpc_requests";
  int64_t now_ms;
  uint64_t limit;
  static constexpr auto kParams =
      params(param("now_ms", &ExpireRpcRequests::now_ms), param("limit", &ExpireRpcRequests::limit, 100));
  static constexpr const char* kDoc =
      "Answer up to `limit` pending requests whose deadline_ms <= now_ms with the error response\n"
      "b\"deadline exceeded\" (one transaction each) and return how many were expired.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto expired = messaging::expire_rpc_requests(store, now_ms, limit);
      if (!expired) return map_rpc_error(state, expired.error());
      return int_result(*expired);
    });
  }
};

constexpr MethodSpec kRpcMethods[] = {
    method_spec<SubmitRpcRequest>(),
    method_spec<PendingRpcRequestsAfter>(),
    method_spec<OnStore<RespondRpc<Borrowed>>>(),
    method_spec<GetRpcResponse>(),
    method_spec<OnStore<AckRpcResponse>>(),
    method_spec<ExpireRpcRequests>(),
};
const MethodBlock kRpcBlock{TargetClass::Store, kRpcMethods};

constexpr MethodSpec kRpcStagingMethods[] = {
    method_spec<Staged<RequestRpc>>(), method_spec<Staged<RespondRpc<Owned>>>(), method_spec<Staged<AckRpcResponse>>()};
const MethodBlock kRpcStagingBlock{TargetClass::Transaction, kRpcStagingMethods};

}  // namespace
}  // namespace ombrel::python
