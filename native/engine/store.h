// The open store: one file, one writer, one in-memory table of live keys.
//
// Opening (Store::open_with_options) takes, in order: the file (created if
// missing), the process-wide writer registry entry for its canonical path, an
// exclusive non-blocking flock, the header, a replay of the log, and the
// torn-tail repair when allowed. Any failure releases what was taken.
//
// Writing: every record is encoded into a reused buffer and written with one
// positioned write at the tracked end of the file; nothing is synced until a
// transaction commits (once, by durability). Reads never touch the file.
//
// Processes: a store belongs to the process that opened it. A forked child
// shares the file descriptor and with it the whole-file lock, so dropping
// the inherited Store in the child must not unlock (that would unlock the
// parent's store too); ~Store unlocks only in the opening process.
//
// Write refusal: a store whose file may hold bytes that a later replay cannot
// read past refuses every further append with the error that caused it, until
// it is reopened; reads go on. This happens when a torn tail was left in place
// (repair_torn_tail=false), when a failed append could not be cut back off the
// file, and when a durability sync failed (the kernel may have dropped the
// pages, and a retried sync can report success).
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/commit_sync.h"
#include "engine/counter_sets.h"
#include "engine/derived_index.h"
#include "engine/errors.h"
#include "engine/file.h"
#include "engine/keyspace.h"
#include "engine/log_record.h"
#include "engine/store_header.h"

namespace ombrel::engine {

class Transaction;
class LogFollower;

inline constexpr const char* kIncompleteTableMessage =
    "store ran out of memory while applying a commit; close and reopen it";

enum class Durability : uint8_t { Strict = 0, Data = 1, Relaxed = 2 };

struct StoreOptions {
  std::optional<uint64_t> max_bytes;
  std::optional<uint64_t> namespace_max_bytes;
  bool repair_torn_tail = true;
  Durability durability = Durability::Data;
};

// The engine's counter set (engine/counter_sets.h).
struct StoreMetrics {
  uint64_t commits = 0;
  uint64_t puts = 0;
  uint64_t deletes = 0;
  uint64_t records_appended = 0;
  uint64_t bytes_appended = 0;
  uint64_t recovery_records = 0;
  uint64_t commit_latency_total_us = 0;
  uint64_t commit_latency_max_us = 0;
  uint64_t fsync_latency_total_us = 0;
  uint64_t fsync_latency_max_us = 0;
  uint64_t commit_errors = 0;
  static constexpr std::array<CounterName<StoreMetrics>, 11> kNames{{
      {"commits", &StoreMetrics::commits},
      {"puts", &StoreMetrics::puts},
      {"deletes", &StoreMetrics::deletes},
      {"records_appended", &StoreMetrics::records_appended},
      {"bytes_appended", &StoreMetrics::bytes_appended},
      {"recovery_records", &StoreMetrics::recovery_records},
      {"commit_latency_total_us", &StoreMetrics::commit_latency_total_us},
      {"commit_latency_max_us", &StoreMetrics::commit_latency_max_us},
      {"fsync_latency_total_us", &StoreMetrics::fsync_latency_total_us},
      {"fsync_latency_max_us", &StoreMetrics::fsync_latency_max_us},
      {"commit_errors", &StoreMetrics::commit_errors},
  }};
};

// Holds a canonical path in the process-wide set of open writers.
class ProcessWriterGuard {
 public:
  static std::expected<ProcessWriterGuard, EngineError> acquire(const std::string& path);
  ProcessWriterGuard(ProcessWriterGuard&& other) noexcept;
  ProcessWriterGuard& operator=(ProcessWriterGuard&&) = delete;
  ~ProcessWriterGuard();
  const std::string& canonical_path() const { return path_; }

 private:
  friend class LogFollower;  // its read-only stores hold no registry entry
  explicit ProcessWriterGuard(std::string path) : path_(std::move(path)) {}
  std::string path_;  // empty once moved from
};

// Failed opens refused because another writer held the store, process-wide.
uint64_t lock_contentions_total();

// Syncs by durability: Strict full sync, Data data sync, Relaxed nothing.
std::expected<void, EngineError> sync_file(File& file, Durability durability);

using KeyValue = std::pair<std::string, std::string>;

class Store {
 public:
  static std::expected<std::unique_ptr<Store>, EngineError> open(const std::string& path);
  static std::expected<std::unique_ptr<Store>, EngineError> open_with_options(const std::string& path,
                                                                              const StoreOptions& options);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Transactions borrow the store exclusively until committed or dropped.
  std::expected<Transaction, EngineError> begin();
  std::expected<Transaction, EngineError> begin_without_cdc();

  // Reads of the committed state; any key, internal keys included. A found
  // value is a view into the live table, valid until the next write.
  std::optional<std::string_view> find(std::string_view key) const;
  std::optional<std::string> get(std::string_view key) const;
  bool contains_key(std::string_view key) const { return find(key).has_value(); }
  std::vector<KeyValue> scan_prefix(std::string_view prefix) const;
  PrefixRange prefix_range(std::string_view prefix) const { return engine::prefix_range(live_, prefix); }
  const LiveTable& live() const { return live_; }

  // Counts and byte sums of the live table: computed by one walk the first
  // time they are asked for, then kept by every committed change (so a store
  // that never asks pays nothing). `overflowed` is sticky: a byte sum passed
  // 2^64 - 1.
  struct KeyTotals {
    uint64_t live_keys = 0;
    uint64_t user_keys = 0;
    uint64_t internal_keys = 0;
    uint64_t key_bytes = 0;
    uint64_t value_bytes = 0;
    bool overflowed = false;
  };
  const KeyTotals& key_totals() const;

  // The store's instance of a domain's derived index, built from the live
  // table on first use (see engine/derived_index.h). Valid until the store
  // closes; it changes only as commits reach the live table.
  template <class Index>
  Index& derived_index() const {
    if (DerivedIndex* found = indexes_.find(typeid(Index))) return static_cast<DerivedIndexOf<Index>*>(found)->index;
    auto built = std::make_unique<DerivedIndexOf<Index>>();
    for (std::string_view prefix : Index::kPrefixes) {
      for (const auto& [key, value] : prefix_range(prefix)) built->index.apply(key, std::nullopt, value);
    }
    Index& index = built->index;
    indexes_.add(
        DerivedIndexes::Entry{&typeid(Index), {Index::kPrefixes.begin(), Index::kPrefixes.end()}, std::move(built)});
    return index;
  }

  // One-operation transactions with change capture, committed at once.
  std::expected<void, EngineError> put(std::string_view key, std::string_view value);
  std::expected<void, EngineError> delete_key(std::string_view key);
  std::expected<void, EngineError> put_internal(std::string_view key, std::string_view value);
  std::expected<void, EngineError> delete_internal(std::string_view key);

  // Group commit (engine/commit_sync.h). Off by default: every commit then
  // syncs before it returns, as an engine caller that holds the store for its
  // whole life expects. Once on, a commit under "strict" or "data" returns
  // applied but not yet durable; the caller must, before it reports anything
  // read or written since, let go of the store and await_durable(ticket).
  void enable_group_commit() { group_commit_ = true; }
  // The offset the newest applied commit must reach to be durable, when it
  // has not yet: what the holder's caller must await. Holder only.
  std::optional<uint64_t> durability_ticket() const;
  // Thread-safe (needs no holder): waits until `ticket` is durable, leading
  // syncs as needed; the first failure fails every later ticket.
  std::expected<void, EngineError> await_durable(uint64_t ticket);
  // Holder only, at the start of every use: forgets the undo entries of
  // commits that became durable and, after a failed group sync, undoes every
  // commit that did not (newest first) and refuses writes until reopened.
  void settle();
  // Whether commits must be waited for before the store can be given up
  // (pending syncs exist that nobody may be waiting on).
  bool has_pending_commits() const { return !undo_.empty() || pending_end_ > commit_sync_.durable_end(); }

  std::expected<void, EngineError> flush();
  // A full sync whatever the durability (before the file is copied). Its
  // failure is kept as a failed flush is, and an earlier one is reported.
  std::expected<void, EngineError> sync_all();

  // Writes one record at the end of the file (used by transactions).
  std::expected<void, EngineError> append(RecordKind kind, uint64_t tx_id, std::string_view payload);
  // The same for a put or delete, framed straight from key and value.
  std::expected<void, EngineError> append_operation(RecordKind kind, uint64_t tx_id, std::string_view key,
                                                    std::string_view value);

  // Whether the calling process is the one that opened the store.
  bool opened_by_this_process() const;
  // Set when an allocation failed while committed operations were being
  // applied: the live table then lacks part of a commit that is on disk, so
  // nothing may be read or written until the store is reopened.
  bool live_table_incomplete() const { return live_table_incomplete_; }

  const StoreOptions& options() const { return options_; }
  const std::string& path() const { return path_; }
  const std::string& canonical_path() const { return writer_guard_.canonical_path(); }
  const StoreHeader& header() const { return header_; }
  const StoreMetrics& metrics() const { return metrics_; }
  // The counters with the latency of the syncs that group commit led
  // outside the holder's thread folded in (into the sync and the commit
  // latencies both, since a commit lasts until its sync).
  StoreMetrics metrics_snapshot() const;
  // A domain's counter set (engine/counter_sets.h), made on first use.
  template <class Set>
  Set& domain_counters() {
    return domain_counters_.get<Set>();
  }
  template <class Set>
  Set read_domain_counters() const {
    return domain_counters_.read<Set>();
  }
  uint64_t next_tx_id() const { return next_tx_id_; }
  uint64_t next_sequence() const { return next_sequence_; }
  // The length of the file as this writer has written it.
  uint64_t file_length() const { return file_end_; }
  File& file() { return file_; }

 private:
  friend class Transaction;
  friend class LogFollower;  // builds read-only stores and applies what it replays

  Store(std::string path, StoreOptions options, ProcessWriterGuard guard, File file, StoreHeader header);

  std::expected<Transaction, EngineError> begin_transaction(bool capture_changes);
  std::expected<void, EngineError> run_single(bool user_key_check, RecordKind kind, std::string_view key,
                                              std::string_view value);
  // The old values a grouped commit replaced, until its sync succeeds.
  struct UndoEntry {
    std::string key;
    std::optional<ValueBlock> before;  // absent: the key did not exist
    uint64_t commit_end;               // the commit it belongs to (0 until known)
  };
  using UndoLog = std::vector<UndoEntry>;
  // Applies committed operations to the live table (and quota usage, derived
  // indexes and totals); with `undo`, the replaced value is handed there.
  void apply_put(std::string_view key, std::string_view value, UndoLog* undo = nullptr);
  void apply_delete(std::string_view key, UndoLog* undo = nullptr);
  bool group_commit_pending_allowed() const { return group_commit_ && options_.durability != Durability::Relaxed; }
  // A grouped commit ending at `end` was applied.
  void pending_commit(uint64_t end);
  void undo_pending();
  void rebuild_namespace_usage();
  void record_sync_failure(const EngineError& error);
  // Takes the next sequence number, or refuses the append.
  std::expected<uint64_t, EngineError> next_record_sequence();
  // Quota check, the positioned write and the counters for record_buffer_.
  std::expected<void, EngineError> write_record_buffer(RecordKind kind);

  // Declaration order is release order reversed: on drop the flock goes
  // first (in ~Store), then the registry entry, then the file.
  File file_;
  StoreOptions options_;
  std::string path_;
  ProcessWriterGuard writer_guard_;
  StoreHeader header_;
  LiveTable live_;
  uint64_t next_tx_id_ = 1;
  uint64_t next_sequence_ = 1;
  StoreMetrics metrics_;
  DomainCounterSets domain_counters_;
  uint64_t file_end_ = kStoreHeaderSize;
  std::string record_buffer_;  // reused by append
  // Set when appends must stop until reopen (see the header comment).
  std::optional<EngineError> write_refusal_;
  // A durability sync failed: what was written may not be on disk, and a
  // later sync cannot prove otherwise, so flush keeps reporting the failure.
  std::optional<EngineError> sync_failure_;
  // Value bytes per namespace, kept only while a namespace quota is set.
  std::map<std::string, uint64_t, std::less<>> namespace_usage_;
  bool namespace_usage_overflowed_ = false;
  // Built lazily by const readers, hence mutable; changed only by commits.
  mutable DerivedIndexes indexes_;
  mutable std::optional<KeyTotals> key_totals_;
  void count_key(std::string_view key, int direction, uint64_t value_bytes_before, uint64_t value_bytes_after);
  bool live_table_incomplete_ = false;
  bool group_commit_ = false;
  CommitSync commit_sync_;
  UndoLog undo_;
  uint64_t pending_end_ = 0;  // end of the newest grouped commit applied
  int owner_pid_;
};

}  // namespace ombrel::engine
