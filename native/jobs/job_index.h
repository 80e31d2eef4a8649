// The job index: what the searches over every job need, kept in memory beside
// the live table (engine/derived_index.h) so that a claim, a release of
// expired leases, an idempotency check, the statistics and a purge cost what
// they touch, not what the store ever held.
//
// Contract:
// - Built from, and kept in step with, the records under kJobDataPrefix and
//   kJobHistoryPrefix; never written to the file. It answers with job ids (or
//   counts); callers read and decode the records it names.
// - A record that does not decode under its key is remembered by key in
//   corrupt_keys(), and nothing else is indexed for it.
// - Per handler (jobs of a handler no active job has leave no trace):
//     ready     ready jobs, by priority (highest first), available_at_ms, id
//     leases    leased jobs, by lease_until_ms, id (with priority and
//               available_at_ms, which a takeover is ranked by)
//     overdue   ready or leased jobs with a deadline, by the time a claim
//               would find them overdue: the deadline for a ready job, the
//               later of deadline and lease end for a leased one
// - Active jobs with an idempotency key, by a hash of the key and then id.
// - Finished jobs by the date of their finishing history entry (the last
//   one), then id. A finish date is known once both the finished record and
//   that entry have been seen, in either order; a history entry that is not
//   a finishing one, or a deletion under the job's history, makes it unknown
//   again, and a job whose finish date is unknown is never offered for purge.
//   The index is a function of the records alone: after any commit it equals
//   one rebuilt from the live table (the job_index fuzz target checks this).
// - Counters of decoded records by state.
// Resident cost: about 32 bytes per ready job, 40 per leased one, 48 per
// finished one, plus 24 for a deadline or an idempotency key of an active
// job, plus the B-tree's slack.
#pragma once

#include <absl/container/btree_map.h>
#include <absl/container/btree_set.h>

#include <array>
#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/jobs.h"

namespace ombrel::jobs {

class JobIndex {
 public:
  static constexpr std::array<std::string_view, 2> kPrefixes{kJobDataPrefix, kJobHistoryPrefix};

  void apply(std::string_view key, std::optional<std::string_view> before, std::optional<std::string_view> after);

  // Keys under kJobDataPrefix whose record does not decode, in key order.
  const absl::btree_set<std::string>& corrupt_keys() const { return corrupt_; }
  // Decoded records per state; `total` is their sum.
  JobStats counts() const;

  // What a claim at `now_ms` over `handlers` (empty: every handler) meets:
  // the overdue jobs in id order, and the best candidate among the others
  // (highest priority, then earliest available_at_ms, then smallest id) of
  // the ready jobs available by `now_ms` and the leased ones whose lease ended.
  struct ClaimCandidates {
    std::vector<JobId> overdue;
    std::optional<JobId> best;
  };
  ClaimCandidates claim_candidates(int64_t now_ms, std::span<const Bytes> handlers) const;
  // Leased jobs whose lease ended by `now_ms`, in id order.
  std::vector<JobId> ended_leases(int64_t now_ms) const;
  // Active jobs whose idempotency key may be `key` (same hash), in id order.
  std::vector<JobId> active_with_key(BytesView key) const;
  // Finished jobs known to have finished before `before_ms`, oldest first,
  // then by id: at most `limit` (date, id) pairs.
  std::vector<std::pair<int64_t, JobId>> finished_before(int64_t before_ms, uint64_t limit) const;

  bool operator==(const JobIndex&) const = default;

 private:
  struct ReadyEntry {
    int64_t available_at_ms;
    int32_t priority;
    JobId id;
    bool operator==(const ReadyEntry&) const = default;
    // Highest priority first, then earliest, then key order: a claim's ranking.
    bool operator<(const ReadyEntry& other) const {
      if (priority != other.priority) return priority > other.priority;
      if (available_at_ms != other.available_at_ms) return available_at_ms < other.available_at_ms;
      return id < other.id;
    }
  };
  struct LeaseEntry {
    int64_t lease_until_ms;
    int64_t available_at_ms;
    int32_t priority;
    JobId id;
    bool operator==(const LeaseEntry&) const = default;
    bool operator<(const LeaseEntry& other) const {
      if (lease_until_ms != other.lease_until_ms) return lease_until_ms < other.lease_until_ms;
      return id < other.id;
    }
  };
  struct TimedId {
    int64_t at_ms;
    JobId id;
    auto operator<=>(const TimedId&) const = default;
  };
  struct KeyedId {
    uint64_t key_hash;
    JobId id;
    auto operator<=>(const KeyedId&) const = default;
  };
  struct HandlerJobs {
    absl::btree_set<ReadyEntry> ready;
    absl::btree_set<LeaseEntry> leases;
    absl::btree_set<TimedId> overdue;
    bool empty() const { return ready.empty() && leases.empty() && overdue.empty(); }
    bool operator==(const HandlerJobs&) const = default;
  };

  // Adds (+1) or removes (-1) what one decoded record contributes.
  void account(const JobRecordView& job, int sign);
  void record_changed(std::string_view key, std::optional<std::string_view> before,
                      std::optional<std::string_view> after);
  void history_changed(std::string_view key, std::optional<std::string_view> after);
  void set_finish(const JobId& id, int64_t at_ms);
  void forget_finish(const JobId& id);
  // The handlers a claim over `handlers` looks at, each once.
  std::vector<const HandlerJobs*> admitted(std::span<const Bytes> handlers) const;

  std::map<std::string, HandlerJobs, std::less<>> handlers_;
  absl::btree_set<KeyedId> keys_;
  absl::btree_set<std::string> corrupt_;
  std::array<uint64_t, 5> per_state_{};
  // The finish bookkeeping (see the header comment).
  absl::btree_map<JobId, int64_t> finished_at_;
  absl::btree_set<TimedId> by_finish_;
  absl::btree_set<JobId> finish_unknown_;
  absl::btree_map<JobId, int64_t> finish_seen_first_;
};

}  // namespace ombrel::jobs
