#include "engine/transaction.h"

#include <iterator>
#include <new>
#include <map>

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
  if (auto it = latest_.find(key); it != latest_.end()) {
    if (it->second->kind == Operation::Kind::Put) return it->second->value;
    return std::nullopt;
  }
  return store_->get(key);
}

std::vector<KeyValue> Transaction::scan_prefix_internal(std::string_view prefix) const {
  // Merge two sorted ranges: the committed keys and this transaction's writes.
  PrefixRange committed = store_->prefix_range(prefix);
  auto own = latest_.lower_bound(prefix);
  std::vector<KeyValue> out;
  auto committed_it = committed.first;
  auto take_own = [&](const Operation& op) {
    if (op.kind == Operation::Kind::Put) out.emplace_back(op.key, op.value);
  };
  while (true) {
    const bool own_left = own != latest_.end() && own->first.starts_with(prefix);
    const bool committed_left = committed_it != committed.last;
    if (!own_left && !committed_left) break;
    if (!own_left) {
      out.emplace_back(committed_it->first, committed_it->second);
      ++committed_it;
    } else if (!committed_left || own->first < std::string_view(committed_it->first)) {
      take_own(*own->second);
      ++own;
    } else if (own->first == std::string_view(committed_it->first)) {
      take_own(*own->second);  // the transaction's write shadows the committed value
      ++own;
      ++committed_it;
    } else {
      out.emplace_back(committed_it->first, committed_it->second);
      ++committed_it;
    }
  }
  return out;
}

std::optional<std::string> Transaction::last_key_internal(std::string_view prefix) const {
  // Walk both sorted ranges down from their ends: a committed key above every
  // own key is live; an own key is live when its newest operation is a put.
  PrefixRange committed = store_->prefix_range(prefix);
  const std::string succ = prefix_successor(prefix);
  const auto own_first = latest_.lower_bound(prefix);
  auto own_end = succ.empty() ? latest_.end() : latest_.lower_bound(std::string_view(succ));
  auto committed_end = committed.last;
  while (true) {
    const bool own_left = own_end != own_first;
    const bool committed_left = committed_end != committed.first;
    if (!own_left && !committed_left) return std::nullopt;
    if (!own_left) return std::string(std::prev(committed_end)->first);
    const auto own = std::prev(own_end);
    if (committed_left) {
      const std::string_view top = std::prev(committed_end)->first;
      if (top > own->first) return std::string(top);
      if (top == own->first) --committed_end;  // shadowed by the own write
    }
    if (own->second->kind == Operation::Kind::Put) return std::string(own->first);
    own_end = own;
  }
}

std::vector<std::pair<std::string_view, std::optional<std::string_view>>> Transaction::own_writes_internal(
    std::string_view prefix) const {
  std::vector<std::pair<std::string_view, std::optional<std::string_view>>> out;
  for (auto it = latest_.lower_bound(prefix); it != latest_.end() && it->first.starts_with(prefix); ++it) {
    const Operation& op = *it->second;
    out.emplace_back(it->first, op.kind == Operation::Kind::Put ? std::optional<std::string_view>(op.value)
                                                                 : std::nullopt);
  }
  return out;
}

std::expected<void, EngineError> Transaction::write(Operation::Kind kind, std::string_view key,
                                                    std::string_view value) {
  if (finished_) return std::unexpected(EngineError::of(EngineError::Kind::TransactionFinished));
  if (key.size() > kMaxPayloadLength) return std::unexpected(EngineError::of(EngineError::Kind::KeyTooLarge));
  auto record_kind = kind == Operation::Kind::Put ? RecordKind::Put : RecordKind::Delete;
  if (auto appended = store_->append_operation(record_kind, tx_id_, key, value); !appended) return appended;
  const Operation& op = operations_.emplace_back(Operation{kind, std::string(key), std::string(value)});
  latest_.insert_or_assign(std::string_view(op.key), &op);
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
  for (const auto& [key, op] : latest_) {
    std::string ns = namespace_for_key(key);
    auto [slot, inserted] = changes.try_emplace(ns);
    Change& change = slot->second;
    if (inserted) {
      auto usage = store_->namespace_usage_.find(ns);
      change.before = usage == store_->namespace_usage_.end() ? 0 : usage->second;
    }
    if (const auto current = store_->find(key)) change.removed += current->size();
    if (op->kind == Operation::Kind::Put) {
      if (change.added > UINT64_MAX - op->value.size())
        return std::unexpected(EngineError::of(EngineError::Kind::NamespaceQuotaOverflow));
      change.added += op->value.size();
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
    if (totals.find(std::string_view(ns))->second > limit) return std::unexpected(EngineError::namespace_quota_exceeded(std::move(ns), limit));
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
