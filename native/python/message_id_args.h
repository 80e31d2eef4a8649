// The (tx_id, nonce) identity shared by the outbox and RPC methods: the
// nonce argument, the tuple result and the staged operation's result.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>

#include "messaging/message_id.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/module_state.h"
#include "python/operation.h"
#include "python/parameters.h"

namespace ombrel::python {

// A bytes nonce of exactly 16 bytes. Any other length raises
// OmbrelStoreError with kWrongLengthMessage (the caller's area's text); a
// non-bytes argument raises TypeError.
template <const char* kWrongLengthMessage>
using NonceArg = arg::FixedLengthId<&messaging::nonce_from, kWrongLengthMessage>;

// A staged operation's result naming the id: {"kind": kind, "tx_id", "nonce"}.
inline OperationResult message_id_operation_result(std::string_view kind, const messaging::MessageId& id) {
  return OperationResult(kind, {{"tx_id", id.tx_id}, {"nonce", std::string(messaging::nonce_bytes(id.nonce))}});
}

// The tuple (tx_id, nonce).
inline PyObject* message_id_result(const messaging::MessageId& id) {
  return tuple_result({int_result(id.tx_id), bytes_result(messaging::nonce_bytes(id.nonce))});
}

}  // namespace ombrel::python
