// Consumer-group methods of Store: claim, ack, nack, reset and read the state
// of one group of a stream.
//
// Contract: a claim returns None or a dict with the keys, in this order,
// "offset", "payload", "lease_generation", "lease_until_ms"; the state is a
// dict with "next_offset", "leased_offset" (None without a lease),
// "lease_until_ms", "lease_generation", "owner". Every ConsumerGroupError is
// raised as OmbrelStoreError with its own display text.
#include <span>

#include "engine/store.h"
#include "messaging/consumer_group.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/method_registry.h"
#include "python/store_slot.h"

namespace ombrel::python {
namespace {

using Args = std::span<PyObject* const>;
using messaging::ConsumerGroupError;

PyObject* map_consumer_group_error(const ModuleState& state, const ConsumerGroupError& error) {
  return raise_domain_error(state, error.message());
}

PyObject* none_or_error(const ModuleState& state, const std::expected<void, ConsumerGroupError>& done) {
  if (!done) return map_consumer_group_error(state, done.error());
  Py_RETURN_NONE;
}

PyObject* delivery_dict(const messaging::ConsumerGroupDelivery& delivery) {
  DictBuilder dict;
  dict.set("offset", int_result(delivery.offset));
  dict.set("payload", bytes_result(delivery.payload));
  dict.set("lease_generation", int_result(delivery.lease_generation));
  dict.set("lease_until_ms", int_result(delivery.lease_until_ms));
  return dict.finish();
}

PyObject* state_dict(const messaging::ConsumerGroupState& group) {
  DictBuilder dict;
  dict.set("next_offset", int_result(group.next_offset));
  dict.set("leased_offset", optional_int_result(group.leased_offset));
  dict.set("lease_until_ms", int_result(group.lease_until_ms));
  dict.set("lease_generation", int_result(group.lease_generation));
  dict.set("owner", bytes_result(group.owner));
  return dict.finish();
}

// Ack and nack: parse (stream, group, consumer, offset, lease_generation),
// the lease they settle, and run settle(store, ...) on the open store.
template <class Settle>
PyObject* settle_lease(PyObject* self, Args args, Settle settle) {
  auto stream = bytes_arg(args[0], "stream");
  if (!stream) return nullptr;
  auto group = bytes_arg(args[1], "group");
  if (!group) return nullptr;
  auto consumer = bytes_arg(args[2], "consumer");
  if (!consumer) return nullptr;
  auto offset = u64_arg(args[3], "offset");
  if (!offset) return nullptr;
  auto generation = u64_arg(args[4], "lease_generation");
  if (!generation) return nullptr;
  return with_open_store(self, [&](engine::Store& store, const ModuleState& state) {
    return none_or_error(state, settle(store, *stream, *group, *consumer, *offset, *generation));
  });
}

struct ConsumerGroupClaim {
  static constexpr const char* kName = "consumer_group_claim";
  static constexpr Param kParams[] = {{"stream"}, {"group"}, {"consumer"}, {"now_ms"}, {"lease_duration_ms"}};
  static constexpr const char* kDoc =
      "Lease the entry at the group's position to `consumer` until now_ms + lease_duration_ms.\n\n"
      "Returns a dict (offset, payload, lease_generation, lease_until_ms), or None when the\n"
      "group's lease is still active (whoever asks) or the stream has no entry at the position.\n"
      "Once a lease has expired, the next claim re-delivers its entry with the next generation.";

  static PyObject* call(PyObject* self, Args args) {
    auto stream = bytes_arg(args[0], "stream");
    if (!stream) return nullptr;
    auto group = bytes_arg(args[1], "group");
    if (!group) return nullptr;
    auto consumer = bytes_arg(args[2], "consumer");
    if (!consumer) return nullptr;
    auto now_ms = i64_arg(args[3], "now_ms");
    if (!now_ms) return nullptr;
    auto lease_duration_ms = i64_arg(args[4], "lease_duration_ms");
    if (!lease_duration_ms) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto delivery = messaging::consumer_group_claim(store, *stream, *group, *consumer, *now_ms, *lease_duration_ms);
      if (!delivery) return map_consumer_group_error(state, delivery.error());
      if (!*delivery) Py_RETURN_NONE;
      return delivery_dict(**delivery);
    });
  }
};

struct ConsumerGroupAck {
  static constexpr const char* kName = "consumer_group_ack";
  static constexpr Param kParams[] = {{"stream"}, {"group"}, {"consumer"}, {"offset"}, {"lease_generation"}};
  static constexpr const char* kDoc =
      "Acknowledge the leased entry: the group's position moves to offset + 1 and the lease is\n"
      "released. `consumer`, `offset` and `lease_generation` must match the recorded lease.";

  static PyObject* call(PyObject* self, Args args) { return settle_lease(self, args, messaging::consumer_group_ack); }
};

struct ConsumerGroupNack {
  static constexpr const char* kName = "consumer_group_nack";
  static constexpr Param kParams[] = {{"stream"}, {"group"}, {"consumer"}, {"offset"}, {"lease_generation"}};
  static constexpr const char* kDoc =
      "Give the leased entry back: the lease is released and the position stays, so the next\n"
      "claim delivers the same entry again. Arguments must match the recorded lease, as for ack.";

  static PyObject* call(PyObject* self, Args args) { return settle_lease(self, args, messaging::consumer_group_nack); }
};

struct ConsumerGroupReset {
  static constexpr const char* kName = "consumer_group_reset";
  static constexpr Param kParams[] = {{"stream"}, {"group"}, {"next_offset"}};
  static constexpr const char* kDoc =
      "Move the group's position to `next_offset` and release any lease; the lease generation\n"
      "is kept, so a late ack of an earlier lease stays refused.";

  static PyObject* call(PyObject* self, Args args) {
    auto stream = bytes_arg(args[0], "stream");
    if (!stream) return nullptr;
    auto group = bytes_arg(args[1], "group");
    if (!group) return nullptr;
    auto next_offset = u64_arg(args[2], "next_offset");
    if (!next_offset) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) {
      return none_or_error(state, messaging::consumer_group_reset(store, *stream, *group, *next_offset));
    });
  }
};

struct ConsumerGroupStateMethod {
  static constexpr const char* kName = "consumer_group_state";
  static constexpr Param kParams[] = {{"stream"}, {"group"}};
  static constexpr const char* kDoc =
      "Return the group's state: a dict (next_offset, leased_offset, lease_until_ms,\n"
      "lease_generation, owner); a group never used reads as position 0 with no lease.";

  static PyObject* call(PyObject* self, Args args) {
    auto stream = bytes_arg(args[0], "stream");
    if (!stream) return nullptr;
    auto group = bytes_arg(args[1], "group");
    if (!group) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto group_state = messaging::consumer_group_state(store, *stream, *group);
      if (!group_state) return map_consumer_group_error(state, group_state.error());
      return state_dict(*group_state);
    });
  }
};

constexpr MethodSpec kConsumerGroupMethods[] = {
    method_spec<ConsumerGroupClaim>(),
    method_spec<ConsumerGroupAck>(),
    method_spec<ConsumerGroupNack>(),
    method_spec<ConsumerGroupReset>(),
    method_spec<ConsumerGroupStateMethod>(),
};
const MethodBlock kConsumerGroupBlock{TargetClass::Store, kConsumerGroupMethods};

}  // namespace
}  // namespace ombrel::python
