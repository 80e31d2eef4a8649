#include "engine/store.h"

#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>

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
  // A new store's name must survive a power loss as surely as its first
  // commit: without this sync the directory entry may never reach the disk.
  if (created) {
    if (auto synced = File::sync_parent_directory(path); !synced) {
      file->unlock();
      return std::unexpected(EngineError::io(synced.error()));
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
  if (sync_failure_) return std::unexpected(*sync_failure_);
  auto synced = sync_file(file_, options_.durability);
  if (!synced) record_sync_failure(synced.error());
  return synced;
}

std::expected<void, EngineError> Store::sync_all() {
  if (sync_failure_) return std::unexpected(*sync_failure_);
  if (auto synced = file_.sync_all(); !synced) {
    record_sync_failure(EngineError::io(synced.error()));
    return std::unexpected(*sync_failure_);
  }
  return {};
}

void Store::record_sync_failure(const EngineError& error) {
  sync_failure_ = error;
  write_refusal_ = error;
}

// ---- the writer ------------------------------------------------------------------

std::expected<uint64_t, EngineError> Store::next_record_sequence() {
  if (next_sequence_ == UINT64_MAX) return std::unexpected(EngineError::of(EngineError::Kind::CounterExhausted));
  uint64_t sequence = next_sequence_++;  // consumed even if the append fails
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
// quota and the derived indexes see it without a second lookup.
void Store::apply_put(std::string_view key, std::string_view value) {
  const std::optional<ValueBlock> replaced = live_.exchange(key, value);
  const std::optional<std::string_view> before =
      replaced ? std::optional<std::string_view>(replaced->view()) : std::nullopt;
  if (options_.namespace_max_bytes) {
    uint64_t& usage = namespace_usage_[namespace_for_key(key)];
    if (before) usage -= std::min<uint64_t>(usage, before->size());
    if (usage > UINT64_MAX - value.size()) namespace_usage_overflowed_ = true;
    usage += value.size();
  }
  if (!indexes_.empty() && is_internal_key(key)) indexes_.apply(key, before, value);
}

void Store::apply_delete(std::string_view key) {
  const std::optional<ValueBlock> removed = live_.extract(key);
  if (!removed) return;
  if (options_.namespace_max_bytes) {
    uint64_t& usage = namespace_usage_[namespace_for_key(key)];
    usage -= std::min<uint64_t>(usage, removed->size());
  }
  if (!indexes_.empty() && is_internal_key(key)) indexes_.apply(key, removed->view(), std::nullopt);
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
