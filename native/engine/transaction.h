// Engine transactions.
//
// A transaction borrows its store exclusively. Each put or delete is written
// to the log at once as an uncommitted record; commit stages change records
// (when capturing), checks the namespace quota, appends the commit record,
// syncs by durability and only then applies the operations to the live table.
// Dropping an uncommitted transaction is its rollback: its records stay in the
// log and replay ignores them.
//
//   state      event                         next
//   open       put/delete ok                 open (operation recorded)
//   open       put/delete fails              open (operation not recorded)
//   open       commit ok                     finished
//   open       commit fails                  finished (nothing applied)
//   finished   put/delete/commit             TransactionFinished
#pragma once

#include <cstdint>
#include <deque>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/errors.h"
#include "engine/store.h"
#include "engine/write_overlay.h"

namespace ombrel::engine {

struct Operation {
  enum class Kind : uint8_t { Put, Delete };
  Kind kind;
  std::string key;
  std::string value;  // empty for a delete
};

class Transaction {
 public:
  Transaction(Transaction&& other) noexcept = default;
  Transaction& operator=(Transaction&&) = delete;
  Transaction(const Transaction&) = delete;

  uint64_t tx_id() const { return tx_id_; }
  bool capture_changes() const { return capture_changes_; }
  bool finished() const { return finished_; }
  const std::deque<Operation>& operations() const { return operations_; }
  Store& store() { return *store_; }
  const Store& store() const { return *store_; }

  // Read-your-writes (engine/write_overlay.h): the newest operation on the
  // key decides, else the store. Both cost O(log n) plus the matches, however
  // many operations the transaction holds.
  std::optional<std::string> get_internal(std::string_view key) const;
  std::vector<KeyValue> scan_prefix_internal(std::string_view prefix) const;
  // The largest key under `prefix` in the same view, without copying values:
  // O(log n) plus the keys this transaction deleted at the top of the range.
  std::optional<std::string> last_key_internal(std::string_view prefix) const;
  // This transaction's own writes under `prefix`, in key order, each key once
  // with its newest operation: the value put, or nullopt for a delete. The
  // views last until the next write. O(log n) plus the matches, so that a
  // domain with an index of the committed state can lay these over it.
  std::vector<std::pair<std::string_view, std::optional<std::string_view>>> own_writes_internal(
      std::string_view prefix) const;

  // Any key.
  std::expected<void, EngineError> put_internal(std::string_view key, std::string_view value);
  std::expected<void, EngineError> delete_internal(std::string_view key);
  // User keys only: ReservedKey for the internal prefix.
  std::expected<void, EngineError> put(std::string_view key, std::string_view value);
  std::expected<void, EngineError> delete_key(std::string_view key);

  std::expected<void, EngineError> commit();

 private:
  friend class Store;
  Transaction(Store& store, uint64_t tx_id, bool capture_changes)
      : store_(&store), tx_id_(tx_id), capture_changes_(capture_changes) {}

  std::expected<void, EngineError> write(Operation::Kind kind, std::string_view key, std::string_view value);
  std::expected<void, EngineError> commit_steps();
  std::expected<void, EngineError> check_namespace_quota(uint64_t limit) const;

  Store* store_;
  // Every operation in order. A deque never moves its elements, so the views
  // in latest_ stay valid as operations are added.
  std::deque<Operation> operations_;
  // The newest operation on each key written so far: the read overlay, and
  // the final effect per key that the namespace quota checks.
  WriteOverlay latest_;
  uint64_t tx_id_;
  bool capture_changes_;
  bool finished_ = false;
};

// ReservedKey when `key` is internal.
std::expected<void, EngineError> ensure_user_key(std::string_view key);

}  // namespace ombrel::engine
