// Queue methods of Store: push, claim under a lease, ack, nack, dead-letter,
// purge and statistics.
//
// Contract: a claimed message is returned as a dict with the keys, in this
// order, "id", "payload", "attempts", "priority", "available_at_ms",
// "lease_until_ms", "lease_generation"; queue_stats returns "ready",
// "leased", "dead", "total" and, only when now_ms is given, "ready_lag_ms".
// Every QueueError is raised as OmbrelStoreError with its own display text.
#include <span>

#include "engine/store.h"
#include "messaging/queue.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/method_registry.h"
#include "python/operation.h"
#include "python/store_slot.h"

namespace ombrel::python {
namespace {

using messaging::Queue;
using messaging::QueueError;

PyObject* map_queue_error(const ModuleState& state, const QueueError& error) {
  return raise_domain_error(state, error.message());
}

// Builds the queue handle for `name` and runs fn(Queue&) against the open store.
template <class Fn>
PyObject* with_queue(PyObject* self, std::string_view name, Fn&& fn) {
  return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
    auto queue = Queue::open(store, name);
    if (!queue) return map_queue_error(state, queue.error());
    return fn(*queue, state);
  });
}

// A settlement of a leased message run on the queue `name` of the open store.
template <class Settle>
std::expected<void, QueueError> settle_on_store(engine::Store& store, std::string_view name, Settle&& settle) {
  auto queue = Queue::open(store, name);
  if (!queue) return std::unexpected(queue.error());
  return settle(*queue);
}

PyObject* claimed_dict(const messaging::ClaimedMessage& message) {
  DictBuilder dict;
  dict.set("id", int_result(message.id));
  dict.set("payload", bytes_result(message.payload));
  dict.set("attempts", int_result(uint64_t{message.attempts}));
  dict.set("priority", int_result(int64_t{message.priority}));
  dict.set("available_at_ms", int_result(message.available_at_ms));
  dict.set("lease_until_ms", int_result(message.lease_until_ms));
  dict.set("lease_generation", int_result(uint64_t{message.lease_generation}));
  return dict.finish();
}

struct PushQueue {
  static constexpr const char* kName = "push_queue";
  std::string_view name;
  std::string_view payload;
  int64_t available_at_ms;
  int32_t priority;
  static constexpr auto kParams =
      params(param("name", &PushQueue::name), param("payload", &PushQueue::payload),
             keyword("available_at_ms", &PushQueue::available_at_ms, 0), keyword("priority", &PushQueue::priority, 0));
  static constexpr const char* kDoc =
      "Append a ready message to queue `name` and return its id (1 for a new queue's first message).\n\n"
      "The message becomes claimable once now_ms reaches `available_at_ms`; a higher `priority`\n"
      "is claimed first, equal priorities in id order.";

  PyObject* call(PyObject* self) const {
    return with_queue(self, name, [&](Queue& queue, const ModuleState& state) -> PyObject* {
      auto id = queue.push_with_options(payload, available_at_ms, priority);
      if (!id) return map_queue_error(state, id.error());
      return int_result(*id);
    });
  }
};

// The Transaction's push: its queue is named `queue`, and its faults are
// worded as every transactional domain write (engine/transaction_domains.h).
struct StagePushQueue {
  static constexpr const char* kName = "push_queue";
  std::string queue;
  std::string payload;
  int64_t available_at_ms;
  int32_t priority;
  static constexpr auto kParams =
      params(param("queue", &StagePushQueue::queue), param("payload", &StagePushQueue::payload),
             keyword("available_at_ms", &StagePushQueue::available_at_ms, 0),
             keyword("priority", &StagePushQueue::priority, 0));
  static constexpr const char* kStagedDoc =
      "Stage a push of `payload` to `queue` and return the operation's position. Its result is\n"
      "{\"kind\": \"queue\", \"id\": <message id>}; pushes to one queue in one transaction take\n"
      "consecutive ids.";

  auto run(engine::Transaction& tx) const {
    return messaging::push_queue(tx, queue, payload, available_at_ms, priority);
  }
  static std::optional<OperationResult> staged_result(uint64_t id) { return OperationResult("queue", {{"id", id}}); }
};

struct ClaimQueue {
  static constexpr const char* kName = "claim_queue";
  std::string_view name;
  int64_t now_ms;
  uint64_t lease_duration_ms;
  static constexpr auto kParams = params(param("name", &ClaimQueue::name), param("now_ms", &ClaimQueue::now_ms),
                                         param("lease_duration_ms", &ClaimQueue::lease_duration_ms));
  static constexpr const char* kDoc =
      "Lease the best claimable message of queue `name` until now_ms + lease_duration_ms.\n\n"
      "Claimable are ready messages whose available_at_ms <= now_ms and leased messages whose\n"
      "lease has run out. Returns None when there is none, else a dict: id, payload, attempts,\n"
      "priority, available_at_ms, lease_until_ms, lease_generation (to pass to ack/nack/dead-letter).";

  PyObject* call(PyObject* self) const {
    return with_queue(self, name, [&](Queue& queue, const ModuleState& state) -> PyObject* {
      // Durations of 2**63 and more turn negative here and are refused as overflow.
      auto claimed = queue.claim(now_ms, static_cast<int64_t>(lease_duration_ms));
      if (!claimed) return map_queue_error(state, claimed.error());
      if (!*claimed) return none_result();
      return claimed_dict(**claimed);
    });
  }
};

// Ack, nack and dead-letter: on the store at once, or staged in a
// Transaction and applied at commit through the transaction's view.
template <class B>
struct AckQueue {
  static constexpr const char* kName = "ack_queue";
  using Bytes = B;
  Bytes name;
  uint64_t id;
  uint32_t lease_generation;
  static constexpr auto kParams = params(param("name", &AckQueue::name), param("id", &AckQueue::id),
                                         param("lease_generation", &AckQueue::lease_generation));
  static constexpr const char* kStoreDoc =
      "Acknowledge leased message `id` of queue `name`, deleting it. `lease_generation` must be\n"
      "the one its claim returned; a consumer whose lease was taken over is refused.";
  static constexpr const char* kStagedDoc =
      "Stage the acknowledgement of leased message `id` of queue `name` and return the operation's\n"
      "position. At commit a message that is missing, not leased or leased under another generation\n"
      "fails the whole commit with Store.ack_queue's error. No result.";

  auto run(engine::Store& store) const {
    return settle_on_store(store, name, [&](Queue& queue) { return queue.ack(id, lease_generation); });
  }
  auto run(engine::Transaction& tx) const { return messaging::ack_queue(tx, name, id, lease_generation); }
  void after_commit(engine::Store& store) const { messaging::count_queue_acks(store, 1); }
};

template <class B>
struct NackQueue {
  static constexpr const char* kName = "nack_queue";
  using Bytes = B;
  Bytes name;
  uint64_t id;
  uint32_t lease_generation;
  int64_t available_at_ms;
  static constexpr auto kParams = params(param("name", &NackQueue::name), param("id", &NackQueue::id),
                                         param("lease_generation", &NackQueue::lease_generation),
                                         param("available_at_ms", &NackQueue::available_at_ms));
  static constexpr const char* kStoreDoc =
      "Give leased message `id` of queue `name` back: it becomes ready again at `available_at_ms`,\n"
      "keeping its attempts, so the next claim leases it under the next generation.";
  static constexpr const char* kStagedDoc =
      "Stage giving leased message `id` of queue `name` back, applied at commit as Store.nack_queue\n"
      "does (a lost lease fails the whole commit), and return the operation's position. No result.";

  auto run(engine::Store& store) const {
    return settle_on_store(store, name,
                           [&](Queue& queue) { return queue.nack(id, lease_generation, available_at_ms); });
  }
  auto run(engine::Transaction& tx) const {
    return messaging::nack_queue(tx, name, id, lease_generation, available_at_ms);
  }
};

template <class B>
struct DeadLetterQueue {
  static constexpr const char* kName = "dead_letter_queue";
  using Bytes = B;
  Bytes name;
  uint64_t id;
  uint32_t lease_generation;
  static constexpr auto kParams = params(param("name", &DeadLetterQueue::name), param("id", &DeadLetterQueue::id),
                                         param("lease_generation", &DeadLetterQueue::lease_generation));
  static constexpr const char* kStoreDoc =
      "Mark leased message `id` of queue `name` dead: it is never claimed again and stays until\n"
      "purge_dead_queue.";
  static constexpr const char* kStagedDoc =
      "Stage marking leased message `id` of queue `name` dead, applied at commit as\n"
      "Store.dead_letter_queue does (a lost lease fails the whole commit), and return the\n"
      "operation's position. No result.";

  auto run(engine::Store& store) const {
    return settle_on_store(store, name, [&](Queue& queue) { return queue.dead_letter(id, lease_generation); });
  }
  auto run(engine::Transaction& tx) const { return messaging::dead_letter_queue(tx, name, id, lease_generation); }
};

struct PurgeDeadQueue {
  static constexpr const char* kName = "purge_dead_queue";
  std::string_view name;
  static constexpr auto kParams = params(param("name", &PurgeDeadQueue::name));
  static constexpr const char* kDoc =
      "Delete every dead message of queue `name` in one transaction and return how many.";

  PyObject* call(PyObject* self) const {
    return with_queue(self, name, [&](Queue& queue, const ModuleState& state) -> PyObject* {
      auto purged = queue.purge_dead();
      if (!purged) return map_queue_error(state, purged.error());
      return int_result(*purged);
    });
  }
};

struct QueueStats {
  static constexpr const char* kName = "queue_stats";
  std::string_view name;
  std::optional<int64_t> now_ms;
  static constexpr auto kParams =
      params(param("name", &QueueStats::name), keyword("now_ms", &QueueStats::now_ms, kNone));
  static constexpr const char* kDoc =
      "Count the messages of queue `name`: a dict of ready, leased, dead and total.\n\n"
      "\"ready\" includes messages not yet available. With `now_ms`, \"ready_lag_ms\" is added:\n"
      "now_ms minus the oldest ready message's available_at_ms (0 when that lies ahead), or None\n"
      "when no message is ready.";

  PyObject* call(PyObject* self) const {
    return with_queue(self, name, [&](Queue& queue, const ModuleState& state) -> PyObject* {
      auto stats = queue.stats();
      if (!stats) return map_queue_error(state, stats.error());
      DictBuilder dict;
      dict.set("ready", int_result(stats->ready));
      dict.set("leased", int_result(stats->leased));
      dict.set("dead", int_result(stats->dead));
      dict.set("total", int_result(stats->total));
      if (now_ms) dict.set("ready_lag_ms", optional_int_result(messaging::ready_lag_ms(*stats, *now_ms)));
      return dict.finish();
    });
  }
};

constexpr MethodSpec kQueueMethods[] = {
    method_spec<PushQueue>(),
    method_spec<ClaimQueue>(),
    method_spec<OnStore<AckQueue<Borrowed>>>(),
    method_spec<OnStore<NackQueue<Borrowed>>>(),
    method_spec<OnStore<DeadLetterQueue<Borrowed>>>(),
    method_spec<PurgeDeadQueue>(),
    method_spec<QueueStats>(),
};
const MethodBlock kQueueBlock{TargetClass::Store, kQueueMethods};

constexpr MethodSpec kQueueStagingMethods[] = {
    method_spec<Staged<StagePushQueue>>(),
    method_spec<Staged<AckQueue<Owned>>>(),
    method_spec<Staged<NackQueue<Owned>>>(),
    method_spec<Staged<DeadLetterQueue<Owned>>>(),
};
const MethodBlock kQueueStagingBlock{TargetClass::Transaction, kQueueStagingMethods};

}  // namespace
}  // namespace ombrel::python
