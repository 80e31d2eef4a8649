// Outbox methods of Store: emit an event in its own transaction, list pending
// events after a transaction id, acknowledge one, count them.
//
// Contract: an event is returned as a dict with the keys, in this order,
// "id" (the tuple (tx_id, nonce)), "tx_id", "nonce", "topic", "payload",
// "created_at_ms". A nonce argument must be exactly 16 bytes, else
// OmbrelStoreError "outbox nonce must be exactly 16 bytes". Every OutboxError
// is raised as OmbrelStoreError with its own display text.
#include <span>

#include "engine/store.h"
#include "messaging/outbox.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/message_id_args.h"
#include "python/method_registry.h"
#include "python/store_slot.h"

namespace ombrel::python {
namespace {

using messaging::OutboxError;

constexpr char kNonceLengthMessage[] = "outbox nonce must be exactly 16 bytes";

PyObject* map_outbox_error(const ModuleState& state, const OutboxError& error) {
  return raise_domain_error(state, error.message());
}

PyObject* event_dict(const messaging::OutboxEvent& event) {
  DictBuilder dict;
  dict.set("id", message_id_result(messaging::MessageId{event.tx_id, event.nonce}));
  dict.set("tx_id", int_result(event.tx_id));
  dict.set("nonce", bytes_result(messaging::nonce_bytes(event.nonce)));
  dict.set("topic", bytes_result(event.topic));
  dict.set("payload", bytes_result(event.payload));
  dict.set("created_at_ms", int_result(event.created_at_ms));
  return dict.finish();
}

struct EmitOutboxEvent {
  static constexpr const char* kName = "emit_outbox_event";
  std::string_view topic;
  std::string_view payload;
  int64_t created_at_ms;
  static constexpr auto kParams =
      params(param("topic", &EmitOutboxEvent::topic), param("payload", &EmitOutboxEvent::payload),
             param("created_at_ms", &EmitOutboxEvent::created_at_ms));
  static constexpr const char* kDoc =
      "Record an event for delivery in its own transaction and return its id, the tuple\n"
      "(tx_id, nonce): the writing transaction's id and 16 random bytes.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto id = messaging::emit_outbox_event(store, topic, payload, created_at_ms);
      if (!id) return map_outbox_error(state, id.error());
      return message_id_result(*id);
    });
  }
};

// The Transaction's event: its id is the committing transaction's.
struct EmitEvent {
  static constexpr const char* kName = "emit_event";
  std::string topic;
  std::string payload;
  int64_t created_at_ms;
  static constexpr auto kParams = params(param("topic", &EmitEvent::topic), param("payload", &EmitEvent::payload),
                                         param("created_at_ms", &EmitEvent::created_at_ms));
  static constexpr const char* kStagedDoc =
      "Stage an outbox event and return the operation's position. Its result is\n"
      "{\"kind\": \"outbox\", \"tx_id\": <int>, \"nonce\": <16 bytes>}, the event's id.";

  auto run(engine::Transaction& tx) const { return messaging::emit_event(tx, topic, payload, created_at_ms); }
  static std::optional<OperationResult> staged_result(const messaging::MessageId& id) {
    return message_id_operation_result("outbox", id);
  }
};

struct OutboxEventsAfter {
  static constexpr const char* kName = "outbox_events_after";
  std::optional<uint64_t> after_tx_id;
  uint64_t limit;
  static constexpr auto kParams = params(param("after_tx_id", &OutboxEventsAfter::after_tx_id, kNone),
                                         param("limit", &OutboxEventsAfter::limit, 100));
  static constexpr const char* kDoc =
      "Return up to `limit` pending events of transactions after `after_tx_id` (all when None),\n"
      "in transaction order. Each is a dict: id, tx_id, nonce, topic, payload, created_at_ms.\n"
      "A limit of 0 returns an empty list.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto events = messaging::outbox_events_after(store, after_tx_id, limit);
      if (!events) return map_outbox_error(state, events.error());
      return list_result(*events, [](const messaging::OutboxEvent& event) { return event_dict(event); });
    });
  }
};

struct AckOutboxEvent {
  static constexpr const char* kName = "ack_outbox_event";
  uint64_t tx_id;
  messaging::Nonce nonce;
  static constexpr auto kParams = params(param("tx_id", &AckOutboxEvent::tx_id),
                                         param<NonceArg<kNonceLengthMessage>>("nonce", &AckOutboxEvent::nonce));
  static constexpr const char* kStoreDoc =
      "Delete the delivered event (tx_id, nonce); True if it was pending, False if there was none.";
  static constexpr const char* kStagedDoc =
      "Stage the acknowledgement of the delivered event (tx_id, nonce), applied at commit as\n"
      "Store.ack_outbox_event does, and return the operation's position. Its result is\n"
      "{\"kind\": \"outbox_ack\", \"removed\": <bool>}.";

  auto run(auto& target) const { return messaging::ack_outbox_event(target, tx_id, nonce); }
  static PyObject* store_result(bool removed) { return bool_result(removed); }
  static std::optional<OperationResult> staged_result(bool removed) {
    return OperationResult("outbox_ack", {{"removed", removed}});
  }
};

struct OutboxLen {
  static constexpr const char* kName = "outbox_len";
  static constexpr const char* kDoc = "Return the number of pending outbox events.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState&) -> PyObject* {
      return int_result(messaging::outbox_len(store));
    });
  }
};

constexpr MethodSpec kOutboxMethods[] = {
    method_spec<EmitOutboxEvent>(),
    method_spec<OutboxEventsAfter>(),
    method_spec<OnStore<AckOutboxEvent>>(),
    method_spec<OutboxLen>(),
};
const MethodBlock kOutboxBlock{TargetClass::Store, kOutboxMethods};

constexpr MethodSpec kOutboxStagingMethods[] = {method_spec<Staged<EmitEvent>>(),
                                                method_spec<Staged<AckOutboxEvent>>()};
const MethodBlock kOutboxStagingBlock{TargetClass::Transaction, kOutboxStagingMethods};

}  // namespace
}  // namespace ombrel::python
