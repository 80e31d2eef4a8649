#include "engine/transaction.h"

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
  for (auto it = operations_.rbegin(); it != operations_.rend(); ++it) {
    if (it->key != key) continue;
    if (it->kind == Operation::Kind::Put) return it->value;
    return std::nullopt;
  }
  return store_->get(key);
}

std::vector<KeyValue> Transaction::scan_prefix_internal(std::string_view prefix) const {
  std::map<std::string, std::string, std::less<>> merged;
  for (const auto& [key, value] : store_->prefix_range(prefix)) merged.emplace_hint(merged.end(), key, value);
  for (const auto& op : operations_) {
    if (!op.key.starts_with(prefix)) continue;
    if (op.kind == Operation::Kind::Put)
      merged.insert_or_assign(op.key, op.value);
    else
      merged.erase(op.key);
  }
  std::vector<KeyValue> out;
  out.reserve(merged.size());
  for (auto& entry : merged) out.emplace_back(entry.first, std::move(entry.second));
  return out;
}

std::expected<void, EngineError> Transaction::write(Operation::Kind kind, std::string_view key,
                                                    std::string_view value) {
  if (finished_) return std::unexpected(EngineError::of(EngineError::Kind::TransactionFinished));
  if (key.size() > kMaxPayloadLength) return std::unexpected(EngineError::of(EngineError::Kind::KeyTooLarge));
  auto record_kind = kind == Operation::Kind::Put ? RecordKind::Put : RecordKind::Delete;
  if (auto appended = store_->append_operation(record_kind, tx_id_, key, value); !appended) return appended;
  operations_.push_back(Operation{kind, std::string(key), std::string(value)});
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
  // Final effect per key: the last operation on a key wins.
  std::map<std::string_view, const Operation*> final_effect;
  for (const auto& op : operations_) final_effect[op.key] = &op;

  // Totals of the namespaces this transaction touches, starting from the
  // store's running usage of the live table.
  std::map<std::string, uint64_t, std::less<>> totals;
  for (const auto& [key, op] : final_effect) {
    std::string ns = namespace_for_key(key);
    auto [slot, inserted] = totals.try_emplace(ns, 0);
    if (inserted) {
      auto usage = store_->namespace_usage_.find(ns);
      slot->second = usage == store_->namespace_usage_.end() ? 0 : usage->second;
    }
    uint64_t& total = slot->second;
    if (const std::string* current = store_->find(key)) total -= std::min<uint64_t>(total, current->size());
    if (op->kind == Operation::Kind::Put) {
      if (total > UINT64_MAX - op->value.size())
        return std::unexpected(EngineError::of(EngineError::Kind::NamespaceQuotaOverflow));
      total += op->value.size();
    }
    if (total > limit) return std::unexpected(EngineError::namespace_quota_exceeded(std::move(ns), limit));
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

  MonotonicInstant sync_started = monotonic_now();
  if (auto synced = sync_file(store.file_, store.options_.durability); !synced) {
    // The commit record is in the file but may never reach the disk; a retried
    // sync can report success after the kernel dropped the pages, so the store
    // stops writing until it is reopened and replays what the disk holds.
    store.write_refusal_ = synced.error();
    return synced;
  }
  uint64_t sync_us = micros_since(sync_started);

  for (auto& op : operations_) {
    if (op.kind == Operation::Kind::Put)
      store.apply_put(std::move(op.key), std::move(op.value));
    else
      store.apply_delete(op.key);
  }
  operations_.clear();
  uint64_t commit_us = micros_since(started);

  StoreMetrics& m = store.metrics_;
  saturating_add(m.commit_latency_total_us, commit_us);
  saturating_add(m.fsync_latency_total_us, sync_us);
  if (commit_us > m.commit_latency_max_us) m.commit_latency_max_us = commit_us;
  if (sync_us > m.fsync_latency_max_us) m.fsync_latency_max_us = sync_us;
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
