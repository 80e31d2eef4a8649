// Group commit: one sync covers every commit record appended before it.
//
// Without it each commit pays its own sync, and a thread waiting for its sync
// holds the store. With it (Store::enable_group_commit, which the Python
// binding turns on), a commit under "strict" or "data":
//   1. appends its commit record and applies its operations to the live table
//      (and the derived indexes) at once, keeping an undo entry (the old value)
//      for every key it changes, and returns a ticket: the end offset of its
//      commit record;
//   2. the caller lets go of the store (the binding lock) and waits in
//      await_durable(ticket): if no sync is running it leads one, covering
//      every byte appended so far; otherwise it waits for the running one and,
//      if that did not reach its ticket, leads the next.
// Meanwhile other threads take the store, read what was applied, append their
// own commits and wait with them, so one sync serves a whole batch.
//
// Invariants:
//   - A commit is acknowledged (await_durable returns success) only after a
//     sync that began after its commit record was written has succeeded:
//     durable_end only ever takes the value appended_end had when that sync
//     began.
//   - A failed sync is sticky: every ticket not yet durable (the ones it
//     covered and every later one) fails with the original error, and the
//     store refuses writes until reopened. The first thread to hold the store
//     afterwards (settle) undoes every commit beyond durable_end, newest
//     first, through the same apply path, so that the live table and the
//     indexes hold exactly the durable commits: nothing half-applied.
//   - No call returns data of a commit that is not yet durable: the binding
//     awaits the ticket of the newest applied commit before any call that
//     saw it returns, with one exception, a later writer in the same log,
//     which sees it and builds on it (two claims never take the same job) and
//     whose own commit cannot become durable without it.
//   - A single thread appends, applies, syncs and returns: today's behaviour
//     and cost, plus moving old values into the undo log instead of freeing
//     them. "relaxed" never syncs, so it keeps no undo log at all.
//
//   state (per sync)  event                                   next
//   idle              await(t), durable_end < t               syncing (this thread leads)
//   syncing           await(t)                                wait, then re-check
//   syncing           sync ok                                 idle, durable_end = target
//   syncing           sync fails                              failed (sticky)
//   failed            await(t), durable_end < t               the sync's error
//
// Thread safety: appended_end is advanced by the thread that holds the store;
// the sync itself and durable_end are guarded by this unit's own mutex, so a
// leader never needs the store. Everything else of the Store (the undo log,
// the live table) is touched only by the thread holding the store.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <expected>
#include <functional>
#include <mutex>
#include <optional>

#include "engine/errors.h"

namespace ombrel::engine {

class CommitSync {
 public:
  // The end offset of the newest commit record written (by the store's holder).
  void appended(uint64_t end);
  uint64_t durable_end() const;
  bool failed() const;
  // The same without the mutex, for the append path's check.
  bool failed_fast() const { return failed_flag_.load(std::memory_order_acquire); }
  std::optional<EngineError> failure() const;
  // Records a sync made by the store's holder (flush, a full sync before a
  // copy) that covered everything up to `end`, or its failure.
  void synced_by_holder(uint64_t end);
  void fail(const EngineError& error);

  // Waits until `ticket` is durable, leading syncs with `sync` as needed.
  std::expected<void, EngineError> await_durable(uint64_t ticket,
                                                 const std::function<std::expected<void, EngineError>()>& sync);

  // Sync latency of the syncs led here (microseconds, saturating).
  uint64_t sync_latency_total_us() const;
  uint64_t sync_latency_max_us() const;
  uint64_t syncs() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t appended_end_ = 0;
  uint64_t durable_end_ = 0;
  bool syncing_ = false;
  std::optional<EngineError> failure_;
  std::atomic<bool> failed_flag_{false};
  uint64_t latency_total_us_ = 0;
  uint64_t latency_max_us_ = 0;
  uint64_t syncs_ = 0;
};

}  // namespace ombrel::engine
