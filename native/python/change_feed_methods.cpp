// Change-feed methods of Store: read the feed after a transaction id, read one
// transaction's changes, prune the feed.
//
// Contract: each change is returned as a dict with the keys, in this order,
// "tx_id", "sequence", "kind" ("put"/"delete"), "key", "value_len" and
// "value_sha256" (both None for a delete). Every ChangeFeedError is raised as
// OmbrelStoreError with its own display text.
#include <span>
#include <string_view>

#include "engine/change_feed.h"
#include "engine/store.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/method_registry.h"
#include "python/store_slot.h"

namespace ombrel::python {
namespace {

PyObject* map_change_feed_error(const ModuleState& state, const engine::ChangeFeedError& error) {
  return raise_domain_error(state, error.message());
}

PyObject* change_dict(const engine::ChangeRecord& change) {
  const bool is_put = change.kind == engine::ChangeRecord::Kind::Put;
  DictBuilder dict;
  dict.set("tx_id", int_result(change.tx_id));
  dict.set("sequence", int_result(uint64_t{change.sequence}));
  dict.set("kind", text_result(is_put ? "put" : "delete"));
  dict.set("key", bytes_result(change.key));
  dict.set("value_len", optional_int_result(change.value_len));
  dict.set("value_sha256", change.value_sha256 ? bytes_result(*change.value_sha256) : none_result());
  return dict.finish();
}

PyObject* change_list(const std::vector<engine::ChangeRecord>& changes) {
  return list_result(changes, [](const engine::ChangeRecord& change) { return change_dict(change); });
}

struct ChangesAfter {
  static constexpr const char* kName = "changes_after";
  std::optional<uint64_t> after_tx_id;
  uint64_t limit;
  static constexpr auto kParams =
      params(param("after_tx_id", &ChangesAfter::after_tx_id, kNone), param("limit", &ChangesAfter::limit, 100));
  static constexpr const char* kDoc =
      "Return up to `limit` committed changes, oldest first, of the transactions after `after_tx_id`\n"
      "(all transactions when None).\n\n"
      "Each change is a dict: tx_id, sequence, kind (\"put\" or \"delete\"), key, value_len and\n"
      "value_sha256 (None for a delete). A limit of 0 returns an empty list.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto changes = engine::changes_after(store, after_tx_id, limit);
      if (!changes) return map_change_feed_error(state, changes.error());
      return change_list(*changes);
    });
  }
};

struct ChangesForTransaction {
  static constexpr const char* kName = "changes_for_transaction";
  uint64_t tx_id;
  static constexpr auto kParams = params(param("tx_id", &ChangesForTransaction::tx_id));
  static constexpr const char* kDoc =
      "Return every change committed by transaction `tx_id`, in order (an empty list for an unknown id).";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto changes = engine::changes_for_transaction(store, tx_id);
      if (!changes) return map_change_feed_error(state, changes.error());
      return change_list(*changes);
    });
  }
};

struct PruneChangesThrough {
  static constexpr const char* kName = "prune_changes_through";
  uint64_t tx_id;
  uint64_t limit;
  static constexpr auto kParams =
      params(param("tx_id", &PruneChangesThrough::tx_id), param("limit", &PruneChangesThrough::limit, 100));
  static constexpr const char* kDoc =
      "Delete up to `limit` of the oldest changes of transactions up to and including `tx_id`\n"
      "and return how many were deleted.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto deleted = engine::prune_changes_through(store, tx_id, limit);
      if (!deleted) return map_change_feed_error(state, deleted.error());
      return int_result(*deleted);
    });
  }
};

constexpr MethodSpec kChangeFeedMethods[] = {
    method_spec<ChangesAfter>(),
    method_spec<ChangesForTransaction>(),
    method_spec<PruneChangesThrough>(),
};
const MethodBlock kChangeFeedBlock{TargetClass::Store, kChangeFeedMethods};

}  // namespace
}  // namespace ombrel::python
