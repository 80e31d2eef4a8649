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
#include "python/operation.h"
#include "python/store_slot.h"

namespace ombrel::python {
namespace {

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

// Ack and nack, on the store or staged in a Transaction: the lease they settle.
template <class B>
struct SettleLease {
  using Bytes = B;
  Bytes stream;
  Bytes group;
  Bytes consumer;
  uint64_t offset;
  uint64_t lease_generation;
  static constexpr auto kParams =
      params(param("stream", &SettleLease::stream), param("group", &SettleLease::group),
             param("consumer", &SettleLease::consumer), param("offset", &SettleLease::offset),
             param("lease_generation", &SettleLease::lease_generation));
};

template <class B>
struct ConsumerGroupAck : SettleLease<B> {
  static constexpr const char* kName = "consumer_group_ack";
  static constexpr const char* kStoreDoc =
      "Acknowledge the leased entry: the group's position moves to offset + 1 and the lease is\n"
      "released. `consumer`, `offset` and `lease_generation` must match the recorded lease.";
  static constexpr const char* kStagedDoc =
      "Stage the acknowledgement of the group's leased entry, applied at commit as\n"
      "Store.consumer_group_ack does (a lease that does not match fails the whole commit with its\n"
      "error), and return the operation's position. No result.";

  auto run(auto& target) const {
    return messaging::consumer_group_ack(target, this->stream, this->group, this->consumer, this->offset,
                                         this->lease_generation);
  }
};

template <class B>
struct ConsumerGroupNack : SettleLease<B> {
  static constexpr const char* kName = "consumer_group_nack";
  static constexpr const char* kStoreDoc =
      "Give the leased entry back: the lease is released and the position stays, so the next\n"
      "claim delivers the same entry again. Arguments must match the recorded lease, as for ack.";
  static constexpr const char* kStagedDoc =
      "Stage giving the group's leased entry back, applied at commit as Store.consumer_group_nack\n"
      "does (a lease that does not match fails the whole commit), and return the operation's\n"
      "position. No result.";

  auto run(auto& target) const {
    return messaging::consumer_group_nack(target, this->stream, this->group, this->consumer, this->offset,
                                          this->lease_generation);
  }
};

struct ConsumerGroupClaim {
  static constexpr const char* kName = "consumer_group_claim";
  std::string_view stream;
  std::string_view group;
  std::string_view consumer;
  int64_t now_ms;
  int64_t lease_duration_ms;
  static constexpr auto kParams =
      params(param("stream", &ConsumerGroupClaim::stream), param("group", &ConsumerGroupClaim::group),
             param("consumer", &ConsumerGroupClaim::consumer), param("now_ms", &ConsumerGroupClaim::now_ms),
             param("lease_duration_ms", &ConsumerGroupClaim::lease_duration_ms));
  static constexpr const char* kDoc =
      "Lease the entry at the group's position to `consumer` until now_ms + lease_duration_ms.\n\n"
      "Returns a dict (offset, payload, lease_generation, lease_until_ms), or None when the\n"
      "group's lease is still active (whoever asks) or the stream has no entry at the position.\n"
      "Once a lease has expired, the next claim re-delivers its entry with the next generation.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto delivery = messaging::consumer_group_claim(store, stream, group, consumer, now_ms, lease_duration_ms);
      if (!delivery) return map_consumer_group_error(state, delivery.error());
      if (!*delivery) Py_RETURN_NONE;
      return delivery_dict(**delivery);
    });
  }
};

struct ConsumerGroupReset {
  static constexpr const char* kName = "consumer_group_reset";
  std::string_view stream;
  std::string_view group;
  uint64_t next_offset;
  static constexpr auto kParams =
      params(param("stream", &ConsumerGroupReset::stream), param("group", &ConsumerGroupReset::group),
             param("next_offset", &ConsumerGroupReset::next_offset));
  static constexpr const char* kDoc =
      "Move the group's position to `next_offset` and release any lease; the lease generation\n"
      "is kept, so a late ack of an earlier lease stays refused.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) {
      return none_or_error(state, messaging::consumer_group_reset(store, stream, group, next_offset));
    });
  }
};

struct ConsumerGroupStateMethod {
  static constexpr const char* kName = "consumer_group_state";
  std::string_view stream;
  std::string_view group;
  static constexpr auto kParams =
      params(param("stream", &ConsumerGroupStateMethod::stream), param("group", &ConsumerGroupStateMethod::group));
  static constexpr const char* kDoc =
      "Return the group's state: a dict (next_offset, leased_offset, lease_until_ms,\n"
      "lease_generation, owner); a group never used reads as position 0 with no lease.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto group_state = messaging::consumer_group_state(store, stream, group);
      if (!group_state) return map_consumer_group_error(state, group_state.error());
      return state_dict(*group_state);
    });
  }
};

constexpr MethodSpec kConsumerGroupMethods[] = {
    method_spec<ConsumerGroupClaim>(),
    method_spec<OnStore<ConsumerGroupAck<Borrowed>>>(),
    method_spec<OnStore<ConsumerGroupNack<Borrowed>>>(),
    method_spec<ConsumerGroupReset>(),
    method_spec<ConsumerGroupStateMethod>(),
};
const MethodBlock kConsumerGroupBlock{TargetClass::Store, kConsumerGroupMethods};

constexpr MethodSpec kConsumerGroupStagingMethods[] = {
    method_spec<Staged<ConsumerGroupAck<Owned>>>(),
    method_spec<Staged<ConsumerGroupNack<Owned>>>(),
};
const MethodBlock kConsumerGroupStagingBlock{TargetClass::Transaction, kConsumerGroupStagingMethods};

}  // namespace
}  // namespace ombrel::python
