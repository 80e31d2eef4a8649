#include "engine/transaction.h"

#include <map>
#include <new>

#include "engine/change_feed.h"
#include "engine/recovery.h"
#include "util/byte_codec.h"
#include "util/clock.h"

namespace ombrel::engine {

std::expected<void, EngineError> ensure_user_key(std::string_view key) {
  if (is_internal_key(key)) return std::unexpected(EngineError::of(EngineError::Kind::ReservedKey));
  return {};
}

std::optional<std::string> Transaction::get_internal(std::string_view key) const {
  auto value = latest_.get(*store_, key);
  if (!value) return std::nullopt;
  return std::string(*value);
}

std::vector<KeyValue> Transaction::scan_prefix_internal(std::string_view prefix) const {
  std::vector<KeyValue> out;
  for (const auto& [key, value] : latest_.scan_prefix(*store_, prefix)) out.emplace_back(key, value);
  return out;
}

std::optional<std::string> Transaction::last_key_internal(std::string_view prefix) const {
  auto key = latest_.last_key(*store_, prefix);
  if (!key) return std::nullopt;
  return std::string(*key);
}

std::vector<std::pair<std::string_view, std::optional<std::string_view>>> Transaction::own_writes_internal(
    std::string_view prefix) const {
  return latest_.writes_under(prefix);
}

std::expected<void, EngineError> Transaction::write(Operation::Kind kind, std::string_view key,
                                                    std::string_view value) {
  if (finished_) return std::unexpected(EngineError::of(EngineError::Kind::TransactionFinished));
  if (key.size() > kMaxPayloadLength) return std::unexpected(EngineError::of(EngineError::Kind::KeyTooLarge));
  auto record_kind = kind == Operation::Kind::Put ? RecordKind::Put : RecordKind::Delete;
  if (auto appended = store_->append_operation(record_kind, tx_id_, key, value); !appended) return appended;
  const Operation& op = operations_.emplace_back(Operation{kind, std::string(key), std::string(value)});
  if (kind == Operation::Kind::Put)
    latest_.put(op.key, op.value);
  else
    latest_.erase(op.key);
  return {};
}

std::expected<void, EngineError> Transaction::put_internal(std::string_view key, std::string_view value) {
  return write(Operation::Kind::Put, key, value);
}

std::expected<void, EngineError> Transaction::delete_internal(std::string_view key) {
  return write(Operation::Kind::Delete, key, {});
}

std::expected<void, EngineError> Transaction::put(std::string_view key, std::string_view value) {
  if (auto user = ensure_user_key(key); !user) return user;
  return put_internal(key, value);
}

std::expected<void, EngineError> Transaction::delete_key(std::string_view key) {
  if (auto user = ensure_user_key(key); !user) return user;
  return delete_internal(key);
}

std::expected<void, EngineError> Transaction::check_namespace_quota(uint64_t limit) const {
  if (store_->namespace_usage_overflowed_)
    return std::unexpected(EngineError::of(EngineError::Kind::NamespaceQuotaOverflow));
  // Each touched namespace is judged on its total after every write of the
  // transaction, so the outcome cannot depend on the order of its keys.
  struct Change {
    uint64_t before = 0;   // the namespace's running usage
    uint64_t removed = 0;  // current values of the keys written
    uint64_t added = 0;    // new values put
  };
  std::map<std::string, Change, std::less<>> changes;
  std::vector<std::string> namespaces;  // of latest_'s keys, in key order
  namespaces.reserve(latest_.size());
  for (const auto& [key, write] : latest_) {
    std::string ns = namespace_for_key(key);
    auto [slot, inserted] = changes.try_emplace(ns);
    Change& change = slot->second;
    if (inserted) {
      auto usage = store_->namespace_usage_.find(ns);
      change.before = usage == store_->namespace_usage_.end() ? 0 : usage->second;
    }
    if (const auto current = store_->find(key)) change.removed += current->size();
    if (write) {
      if (change.added > UINT64_MAX - write->size())
        return std::unexpected(EngineError::of(EngineError::Kind::NamespaceQuotaOverflow));
      change.added += write->size();
    }
    namespaces.push_back(std::move(ns));
  }
  std::map<std::string_view, uint64_t> totals;
  for (const auto& [ns, change] : changes) {
    const uint64_t kept = change.before - std::min(change.before, change.removed);
    if (kept > UINT64_MAX - change.added)
      return std::unexpected(EngineError::of(EngineError::Kind::NamespaceQuotaOverflow));
    totals.emplace(ns, kept + change.added);
  }
  for (std::string& ns : namespaces) {
    if (totals.find(std::string_view(ns))->second > limit)
      return std::unexpected(EngineError::namespace_quota_exceeded(std::move(ns), limit));
  }
  return {};
}

std::expected<void, EngineError> Transaction::commit_steps() {
  MonotonicInstant started = monotonic_now();
  Store& store = *store_;
  if (capture_changes_) {
    if (auto staged = stage_changes(*this, operations_.size()); !staged) return staged;
  }
  if (store.options_.namespace_max_bytes) {
    if (auto quota = check_namespace_quota(*store.options_.namespace_max_bytes); !quota) return quota;
  }
  if (auto appended = store.append(RecordKind::Commit, tx_id_, {}); !appended) return appended;

  // Grouped: applied now, synced by the caller's await_durable (commit_sync.h).
  const bool grouped = store.group_commit_pending_allowed();
  uint64_t sync_us = 0;
  if (!grouped) {
    MonotonicInstant sync_started = monotonic_now();
    if (auto synced = sync_file(store.file_, store.options_.durability); !synced) {
      // The commit record is in the file but may never reach the disk; a retried
      // sync can report success after the kernel dropped the pages, so the store
      // stops writing until it is reopened and replays what the disk holds.
      store.record_sync_failure(synced.error());
      return synced;
    }
    sync_us = micros_since(sync_started);
  }

  latest_.clear();  // its views die as the keys move into the table
  Store::UndoLog* undo = grouped ? &store.undo_ : nullptr;
  try {
    for (auto& op : operations_) {
      if (op.kind == Operation::Kind::Put)
        store.apply_put(op.key, op.value, undo);
      else
        store.apply_delete(op.key, undo);
    }
    if (grouped) store.pending_commit(store.file_end_);
  } catch (const std::bad_alloc&) {
    // The commit is on disk but only part of it reached the table.
    store.live_table_incomplete_ = true;
    store.write_refusal_ = EngineError::io(IoError::described(kIncompleteTableMessage));
    throw;
  }
  operations_.clear();
  uint64_t commit_us = micros_since(started);

  StoreMetrics& m = store.metrics_;
  saturating_add(m.commit_latency_total_us, commit_us);
  if (commit_us > m.commit_latency_max_us) m.commit_latency_max_us = commit_us;
  if (!grouped) {
    saturating_add(m.fsync_latency_total_us, sync_us);
    if (sync_us > m.fsync_latency_max_us) m.fsync_latency_max_us = sync_us;
  }
  return {};
}

std::expected<void, EngineError> Transaction::commit() {
  if (finished_) {
    saturating_add(store_->metrics_.commit_errors, 1);
    return std::unexpected(EngineError::of(EngineError::Kind::TransactionFinished));
  }
  auto committed = commit_steps();
  finished_ = true;  // consumed either way
  if (!committed) saturating_add(store_->metrics_.commit_errors, 1);
  return committed;
}

}  // namespace ombrel::engine
