#include "engine/store.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <set>

#include "engine/blocking.h"
#include "engine/recovery.h"
#include "engine/transaction.h"
#include "util/byte_codec.h"
#include "util/process_id.h"

namespace ombrel::engine {
namespace {

std::mutex& open_writers_mutex() {
  static std::mutex m;
  return m;
}

std::set<std::string>& open_writers() {
  static std::set<std::string> paths;
  return paths;
}

std::atomic<uint64_t> g_lock_contentions{0};

void count_lock_contention() { g_lock_contentions.fetch_add(1, std::memory_order_relaxed); }

// The store's name must be on the disk before anything committed through it
// is acknowledged, or a power loss takes the whole file with it. That holds
// for a name this open found as well: its creator may have crashed between
// creating it and syncing its directory. So a new store's directory is synced
// whatever the durability, and an existing store's by "strict" and "data",
// the modes that promise to survive a power loss.
std::expected<void, EngineError> sync_store_directory(const std::string& path, bool created) {
  auto synced = File::sync_parent_directory(path);
  if (synced) return {};
  // A directory this process may search but not read cannot be opened to be
  // synced; an existing store there still opens, as it always has.
  if (!created && (synced.error().code == EACCES || synced.error().code == EPERM)) return {};
  return std::unexpected(EngineError::io(synced.error()));
}

EngineError torn_tail_refusal() {
  return EngineError::io(IoError::described("store has a torn tail; reopen with repair_torn_tail=True to write"));
}

}  // namespace

uint64_t lock_contentions_total() { return g_lock_contentions.load(std::memory_order_relaxed); }

// ---- ProcessWriterGuard ------------------------------------------------------

std::expected<ProcessWriterGuard, EngineError> ProcessWriterGuard::acquire(const std::string& path) {
  auto canonical = File::canonical_path(path);
  if (!canonical) return std::unexpected(EngineError::io(canonical.error()));
  std::lock_guard lock(open_writers_mutex());
  if (!open_writers().insert(*canonical).second) {
    count_lock_contention();
    return std::unexpected(EngineError::of(EngineError::Kind::AlreadyOpen));
  }
  return ProcessWriterGuard(std::move(*canonical));
}

ProcessWriterGuard::ProcessWriterGuard(ProcessWriterGuard&& other) noexcept : path_(std::move(other.path_)) {
  other.path_.clear();
}

ProcessWriterGuard::~ProcessWriterGuard() {
  if (path_.empty()) return;
  std::lock_guard lock(open_writers_mutex());
  open_writers().erase(path_);
}

// ---- durability ----------------------------------------------------------------

std::expected<void, EngineError> sync_file(File& file, Durability durability) {
  std::expected<void, IoError> r;
  switch (durability) {
    case Durability::Strict:
      r = file.sync_all();
      break;
    case Durability::Data:
      r = file.sync_data();
      break;
    case Durability::Relaxed:
      return {};
  }
  if (!r) return std::unexpected(map_io_error(r.error()));
  return {};
}

// ---- opening -------------------------------------------------------------------

Store::Store(std::string path, StoreOptions options, ProcessWriterGuard guard, File file, StoreHeader header)
    : file_(std::move(file)),
      options_(options),
      path_(std::move(path)),
      writer_guard_(std::move(guard)),
      header_(header),
      owner_pid_(current_process_id()) {}

Store::~Store() {
  if (opened_by_this_process()) file_.unlock();
}

bool Store::opened_by_this_process() const { return current_process_id() == owner_pid_; }

std::expected<std::unique_ptr<Store>, EngineError> Store::open(const std::string& path) {
  return open_with_options(path, StoreOptions{});
}

std::expected<std::unique_ptr<Store>, EngineError> Store::open_with_options(const std::string& path,
                                                                            const StoreOptions& options) {
  BlockingRegion blocking;
  bool created = false;
  auto file = File::open_read_write_create(path, &created);
  if (!file) return std::unexpected(EngineError::io(file.error()));
  auto guard = ProcessWriterGuard::acquire(path);
  if (!guard) return std::unexpected(guard.error());
  if (auto locked = file->lock_exclusive_nonblocking(); !locked) {
    if (is_lock_contention(locked.error())) count_lock_contention();
    return std::unexpected(map_lock_error(locked.error()));
  }
  auto header = load_or_initialize_header(*file);
  if (!header) {
    file->unlock();
    return std::unexpected(header.error());
  }
  if (created || options.durability != Durability::Relaxed) {
    if (auto synced = sync_store_directory(path, created); !synced) {
      file->unlock();
      return std::unexpected(synced.error());
    }
  }
  auto recovered = recover(*file);
  if (!recovered) {
    file->unlock();
    return std::unexpected(recovered.error());
  }
  auto length = file->size();
  if (!length) {
    file->unlock();
    return std::unexpected(EngineError::io(length.error()));
  }
  bool torn_tail_left = false;
  if (recovered->valid_bytes < *length) {
    if (options.repair_torn_tail) {
      if (auto cut = file->truncate(recovered->valid_bytes); !cut) {
        file->unlock();
        return std::unexpected(EngineError::io(cut.error()));
      }
      if (auto synced = sync_file(*file, options.durability); !synced) {
        file->unlock();
        return std::unexpected(synced.error());
      }
      *length = recovered->valid_bytes;
    } else {
      torn_tail_left = true;
    }
  }
  if (recovered->max_tx_id == UINT64_MAX || recovered->last_sequence == UINT64_MAX) {
    file->unlock();
    return std::unexpected(EngineError::of(EngineError::Kind::CounterExhausted));
  }

  std::unique_ptr<Store> store(new Store(path, options, std::move(*guard), std::move(*file), *header));
  store->live_ = std::move(recovered->live);
  store->next_tx_id_ = recovered->max_tx_id + 1;
  store->next_sequence_ = recovered->last_sequence + 1;
  store->metrics_.recovery_records = recovered->records;
  store->file_end_ = *length;
  if (torn_tail_left) store->write_refusal_ = torn_tail_refusal();
  if (options.namespace_max_bytes) store->rebuild_namespace_usage();
  return store;
}

// ---- reads ---------------------------------------------------------------------

std::optional<std::string_view> Store::find(std::string_view key) const {
  auto it = live_.find(key);
  if (it == live_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> Store::get(std::string_view key) const {
  auto value = find(key);
  if (!value) return std::nullopt;
  return std::string(*value);
}

std::vector<KeyValue> Store::scan_prefix(std::string_view prefix) const {
  std::vector<KeyValue> out;
  for (const auto& [key, value] : prefix_range(prefix)) out.emplace_back(key, value);
  return out;
}

// ---- transactions and single writes ---------------------------------------------

std::expected<Transaction, EngineError> Store::begin_transaction(bool capture_changes) {
  if (next_tx_id_ == UINT64_MAX) return std::unexpected(EngineError::of(EngineError::Kind::CounterExhausted));
  uint64_t id = next_tx_id_++;
  return Transaction(*this, id, capture_changes);
}

std::expected<Transaction, EngineError> Store::begin() { return begin_transaction(true); }
std::expected<Transaction, EngineError> Store::begin_without_cdc() { return begin_transaction(false); }

std::expected<void, EngineError> Store::run_single(bool user_key_check, RecordKind kind, std::string_view key,
                                                   std::string_view value) {
  auto tx = begin();
  if (!tx) return std::unexpected(tx.error());
  std::expected<void, EngineError> written;
  if (kind == RecordKind::Put)
    written = user_key_check ? tx->put(key, value) : tx->put_internal(key, value);
  else
    written = user_key_check ? tx->delete_key(key) : tx->delete_internal(key);
  if (!written) return written;
  return tx->commit();
}

std::expected<void, EngineError> Store::put(std::string_view key, std::string_view value) {
  return run_single(true, RecordKind::Put, key, value);
}
std::expected<void, EngineError> Store::delete_key(std::string_view key) {
  return run_single(true, RecordKind::Delete, key, {});
}
std::expected<void, EngineError> Store::put_internal(std::string_view key, std::string_view value) {
  return run_single(false, RecordKind::Put, key, value);
}
std::expected<void, EngineError> Store::delete_internal(std::string_view key) {
  return run_single(false, RecordKind::Delete, key, {});
}

std::expected<void, EngineError> Store::flush() {
  settle();
  if (sync_failure_) return std::unexpected(*sync_failure_);
  auto synced = sync_file(file_, options_.durability);
  if (!synced) {
    record_sync_failure(synced.error());
    return synced;
  }
  if (options_.durability != Durability::Relaxed) commit_sync_.synced_by_holder(file_end_);
  return synced;
}

std::expected<void, EngineError> Store::sync_all() {
  settle();
  if (sync_failure_) return std::unexpected(*sync_failure_);
  if (auto synced = file_.sync_all(); !synced) {
    record_sync_failure(EngineError::io(synced.error()));
    return std::unexpected(*sync_failure_);
  }
  commit_sync_.synced_by_holder(file_end_);
  return {};
}

void Store::record_sync_failure(const EngineError& error) {
  sync_failure_ = error;
  write_refusal_ = error;
  if (group_commit_) {
    // Commits waiting for a sync can no longer be proven durable either.
    commit_sync_.fail(error);
    undo_pending();
  }
}

// ---- the writer ------------------------------------------------------------------

std::expected<uint64_t, EngineError> Store::next_record_sequence() {
  if (next_sequence_ == UINT64_MAX) return std::unexpected(EngineError::of(EngineError::Kind::CounterExhausted));
  uint64_t sequence = next_sequence_++;  // consumed even if the append fails
  if (!write_refusal_ && commit_sync_.failed_fast()) write_refusal_ = commit_sync_.failure();
  if (write_refusal_) return std::unexpected(*write_refusal_);
  return sequence;
}

std::expected<void, EngineError> Store::append(RecordKind kind, uint64_t tx_id, std::string_view payload) {
  auto sequence = next_record_sequence();
  if (!sequence) return std::unexpected(sequence.error());
  record_buffer_.clear();
  if (auto encoded = encode_record_into(record_buffer_, kind, tx_id, *sequence, payload); !encoded)
    return std::unexpected(EngineError::log(encoded.error()));
  return write_record_buffer(kind);
}

std::expected<void, EngineError> Store::append_operation(RecordKind kind, uint64_t tx_id, std::string_view key,
                                                         std::string_view value) {
  auto sequence = next_record_sequence();
  if (!sequence) return std::unexpected(sequence.error());
  record_buffer_.clear();
  if (auto encoded = encode_operation_record_into(record_buffer_, kind, tx_id, *sequence, key, value); !encoded)
    return std::unexpected(EngineError::log(encoded.error()));
  return write_record_buffer(kind);
}

std::expected<void, EngineError> Store::write_record_buffer(RecordKind kind) {
  const uint64_t length = record_buffer_.size();
  if (options_.max_bytes) {
    uint64_t limit = *options_.max_bytes;
    if (file_end_ > UINT64_MAX - length || file_end_ + length > limit)
      return std::unexpected(EngineError::storage_quota_exceeded(limit));
  }

  if (auto written = file_.write_all_at(file_end_, record_buffer_); !written) {
    // Part of the record may have reached the file. Cut it off, so that the
    // next record does not land behind bytes that replay would stop at.
    if (auto cut = file_.truncate(file_end_); !cut) write_refusal_ = EngineError::io(cut.error());
    return std::unexpected(map_io_error(written.error()));
  }
  file_end_ += length;
  // A large record's buffer is not worth keeping around.
  if (record_buffer_.capacity() > (1u << 20)) std::string().swap(record_buffer_);

  saturating_add(metrics_.records_appended, 1);
  saturating_add(metrics_.bytes_appended, length);
  switch (kind) {
    case RecordKind::Put:
      saturating_add(metrics_.puts, 1);
      break;
    case RecordKind::Delete:
      saturating_add(metrics_.deletes, 1);
      break;
    case RecordKind::Commit:
      saturating_add(metrics_.commits, 1);
      break;
  }
  return {};
}

// ---- applying committed operations ---------------------------------------------------

// The table hands back the value a write replaced or removed, so that the
// quota, the derived indexes and the undo log see it without a second lookup.
void Store::apply_put(std::string_view key, std::string_view value, UndoLog* undo) {
  std::optional<ValueBlock> replaced = live_.exchange(key, value);
  const std::optional<std::string_view> before =
      replaced ? std::optional<std::string_view>(replaced->view()) : std::nullopt;
  if (options_.namespace_max_bytes) {
    uint64_t& usage = namespace_usage_[namespace_for_key(key)];
    if (before) usage -= std::min<uint64_t>(usage, before->size());
    if (usage > UINT64_MAX - value.size()) namespace_usage_overflowed_ = true;
    usage += value.size();
  }
  if (!indexes_.empty() && is_internal_key(key)) indexes_.apply(key, before, value);
  if (key_totals_) count_key(key, before ? 0 : 1, before ? before->size() : 0, value.size());
  if (undo != nullptr) undo->push_back(UndoEntry{std::string(key), std::move(replaced), 0});
}

void Store::apply_delete(std::string_view key, UndoLog* undo) {
  std::optional<ValueBlock> removed = live_.extract(key);
  if (!removed) return;
  if (options_.namespace_max_bytes) {
    uint64_t& usage = namespace_usage_[namespace_for_key(key)];
    usage -= std::min<uint64_t>(usage, removed->size());
  }
  if (!indexes_.empty() && is_internal_key(key)) indexes_.apply(key, removed->view(), std::nullopt);
  if (key_totals_) count_key(key, -1, removed->size(), 0);
  if (undo != nullptr) undo->push_back(UndoEntry{std::string(key), std::move(removed), 0});
}

// ---- totals ------------------------------------------------------------------------

namespace {

void add_checked(uint64_t& total, uint64_t amount, bool& overflowed) {
  if (total > UINT64_MAX - amount) overflowed = true;
  total += amount;
}

}  // namespace

const Store::KeyTotals& Store::key_totals() const {
  if (!key_totals_) {
    KeyTotals totals;
    for (const auto& [key, value] : live_) {
      ++totals.live_keys;
      ++(is_internal_key(key) ? totals.internal_keys : totals.user_keys);
      add_checked(totals.key_bytes, key.size(), totals.overflowed);
      add_checked(totals.value_bytes, value.size(), totals.overflowed);
    }
    key_totals_ = totals;
  }
  return *key_totals_;
}

// `direction` is +1 for a new key, -1 for a removed one, 0 for a new value.
void Store::count_key(std::string_view key, int direction, uint64_t value_bytes_before, uint64_t value_bytes_after) {
  KeyTotals& t = *key_totals_;
  uint64_t& kind = is_internal_key(key) ? t.internal_keys : t.user_keys;
  if (direction > 0) {
    ++t.live_keys;
    ++kind;
    add_checked(t.key_bytes, key.size(), t.overflowed);
  } else if (direction < 0) {
    --t.live_keys;
    --kind;
    t.key_bytes -= std::min<uint64_t>(t.key_bytes, key.size());
  }
  t.value_bytes -= std::min(t.value_bytes, value_bytes_before);
  add_checked(t.value_bytes, value_bytes_after, t.overflowed);
}

// ---- group commit ------------------------------------------------------------------

StoreMetrics Store::metrics_snapshot() const {
  // A grouped commit's latency runs until its sync: the sync's time is part
  // of it, counted once per sync however many commits shared it.
  StoreMetrics out = metrics_;
  const uint64_t total = commit_sync_.sync_latency_total_us();
  const uint64_t longest = commit_sync_.sync_latency_max_us();
  saturating_add(out.fsync_latency_total_us, total);
  out.fsync_latency_max_us = std::max(out.fsync_latency_max_us, longest);
  saturating_add(out.commit_latency_total_us, total);
  if (longest > 0) saturating_add(out.commit_latency_max_us, longest);
  return out;
}

void Store::pending_commit(uint64_t end) {
  for (auto entry = undo_.rbegin(); entry != undo_.rend() && entry->commit_end == 0; ++entry) entry->commit_end = end;
  pending_end_ = end;
  commit_sync_.appended(end);
}

std::optional<uint64_t> Store::durability_ticket() const {
  if (!group_commit_pending_allowed() || pending_end_ <= commit_sync_.durable_end()) return std::nullopt;
  return pending_end_;
}

std::expected<void, EngineError> Store::await_durable(uint64_t ticket) {
  // The descriptor is only read here; appends by the store's holder may run
  // alongside, and a sync covers whatever they wrote before it began.
  return commit_sync_.await_durable(ticket, [this] { return sync_file(file_, options_.durability); });
}

void Store::settle() {
  if (undo_.empty() && !commit_sync_.failed()) return;
  const uint64_t durable = commit_sync_.durable_end();
  auto first_pending = std::find_if(undo_.begin(), undo_.end(),
                                    [durable](const UndoEntry& entry) { return entry.commit_end > durable; });
  undo_.erase(undo_.begin(), first_pending);
  if (auto failure = commit_sync_.failure()) {
    undo_pending();
    pending_end_ = durable;
    sync_failure_ = *failure;
    write_refusal_ = *failure;
  }
}

void Store::undo_pending() {
  for (auto entry = undo_.rbegin(); entry != undo_.rend(); ++entry) {
    if (entry->before)
      apply_put(entry->key, entry->before->view());
    else
      apply_delete(entry->key);
  }
  undo_.clear();
}

void Store::rebuild_namespace_usage() {
  namespace_usage_.clear();
  namespace_usage_overflowed_ = false;
  for (const auto& [key, value] : live_) {
    uint64_t& usage = namespace_usage_[namespace_for_key(key)];
    if (usage > UINT64_MAX - value.size()) namespace_usage_overflowed_ = true;
    usage += value.size();
  }
}

}  // namespace ombrel::engine
