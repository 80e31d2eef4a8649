// Durable jobs: units of work addressed to a named handler, claimed by
// workers under time-limited leases, retried with back-off, given up ("dead")
// or cancelled. Time moves only through the callers' now_ms arguments.
//
// Contract: every operation reads the committed state and writes through one
// engine transaction of its own that it commits; each state change writes the
// job record and one history entry in the same commit (a heartbeat writes the
// record alone). Operations that change several jobs (a claim that meets
// overdue jobs, release_expired_jobs) commit job by job and stop at the first
// error, keeping what was committed. enqueue_job_tx stages a new job in the
// caller's open transaction and leaves the commit to it, as the transaction
// forms of heartbeat, complete, fail and release stage theirs.
//
// Job state machine (event -> next state, history kind and detail):
//   from                          event                                 to         history
//   (none)                        submit / enqueue                      ready      submitted, "" or the caller's
//   ready (available) or          claim, attempts within max            leased     claimed, ""
//     leased (lease ended)        claim, attempts above max             dead       dead, "max attempts exceeded"
//   ready or leased (ended),      claim sees deadline <= now            dead       dead, "deadline exceeded"
//     admitted by the filter      (even if not yet available)
//   leased                        heartbeat, same generation            leased     none (record only)
//   leased                        complete, same generation             completed  completed, ""
//   leased                        fail, attempts < max                  ready      retry_scheduled, caller's detail
//   leased                        fail, attempts >= max                 dead       dead, caller's detail
//   leased                        release, same generation              ready      retry_scheduled, "released"
//   leased, lease ended           release_expired_jobs, attempts < max  ready      retry_scheduled, "lease expired"
//   leased, lease ended           release_expired_jobs, attempts >= max dead       dead, "lease expired: max attempts
//   exhausted" dead                          retry_job                             ready      retry_scheduled, "manual
//   retry" ready or leased               cancel_job                            cancelled  cancelled, ""
// "completed" and "cancelled" are final. A finished job (completed, dead or
// cancelled) leaves the store only through purge_finished_jobs, which deletes
// its record and its whole history.
//
// The searches over every job (claim, release of expired leases, the
// idempotency check, statistics, purge) ask the store's JobIndex
// (jobs/job_index.h) for candidates and read the records it names; a record
// under the prefix that does not decode still fails them all, as a full scan
// would have.
//
// Keys:
//   job record      0xFF "omb:job:data:" | id (16)                      30 bytes
//   history entry   0xFF "omb:job:history:" | id (16) | seq u64 BE      41 bytes
//
// Job record value (little-endian):
//   offset   width  field
//   0        1      format version, 1
//   1        1      state code (0..4)
//   2        16     id
//   18       8      available_at_ms (signed)
//   26       8      deadline_ms (signed); INT64_MIN means no deadline
//   34       4      priority (signed)
//   38       4      attempts
//   42       4      max_attempts
//   46       8      retry_backoff_ms
//   54       8      lease_until_ms (signed)
//   62       4      lease_generation
//   66       4      handler length H
//   70       H      handler
//   70+H     4      payload length P
//   74+H     P      payload
//   74+H+P   1      idempotency key flag (0 or 1)
//   75+H+P   4      key length K     (flag 1 only)
//   79+H+P   K      key bytes        (flag 1 only)
// A record whose id is not its key's is refused as corrupt.
//
// History entry value: util/history_entry.h, kind codes 0..5.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/domain_error.h"
#include "engine/errors.h"
#include "engine/key_area.h"
#include "engine/store.h"
#include "engine/transaction.h"
#include "jobs/job_spec.h"
#include "util/byte_codec.h"

namespace ombrel::jobs {

struct JobErrorTexts {
  enum class Kind : uint8_t {
    Engine,
    EmptyHandler,
    ZeroMaxAttempts,
    InvalidSchedule,
    FieldTooLarge,
    Corrupt,
    NotFound,
    NotLeased,
    GenerationMismatch,
    AttemptCounterExhausted,
    HistorySequenceExhausted,
    CountOverflow,
    TimeOverflow,
    NoEntropy,
    EmptyScheduleName,
  };
  static constexpr auto kTexts = std::to_array<engine::ErrorText<Kind>>({
      {Kind::Engine, "store error: {}"},
      {Kind::EmptyHandler, "job handler cannot be empty"},
      {Kind::ZeroMaxAttempts, "max attempts must be at least one"},
      {Kind::InvalidSchedule, "schedule is invalid"},
      {Kind::FieldTooLarge, "job field is too large"},
      {Kind::Corrupt, "job record is corrupt or unsupported"},
      {Kind::NotFound, "job was not found"},
      {Kind::NotLeased, "job is not currently leased"},
      {Kind::GenerationMismatch, "job lease generation mismatch: expected {}, provided {}"},
      {Kind::AttemptCounterExhausted, "job attempt counter exhausted"},
      {Kind::HistorySequenceExhausted, "job history sequence exhausted"},
      {Kind::CountOverflow, "job count overflowed"},
      {Kind::TimeOverflow, "time value overflowed"},
      {Kind::NoEntropy, "operating-system entropy is unavailable"},
      {Kind::EmptyScheduleName, "schedule name cannot be empty"},
  });
};
using JobError = engine::DomainError<JobErrorTexts>;

// The refusal of a template that check_job_spec faults.
JobError job_spec_error(JobSpecFault fault);

enum class JobState : uint8_t { Ready = 0, Leased = 1, Completed = 2, Dead = 3, Cancelled = 4 };
enum class JobHistoryKind : uint8_t {
  Submitted = 0,
  Claimed = 1,
  Completed = 2,
  RetryScheduled = 3,
  Dead = 4,
  Cancelled = 5,
};

std::string_view job_state_name(JobState state);
std::string_view job_history_kind_name(JobHistoryKind kind);

inline constexpr size_t kIdBytes = 16;
using JobId = std::array<unsigned char, kIdBytes>;

inline BytesView id_view(const JobId& id) { return BytesView(reinterpret_cast<const char*>(id.data()), id.size()); }
// nullopt unless `bytes` is exactly 16 bytes long.
std::optional<JobId> id_from_bytes(BytesView bytes);

// The fields of a job record, borrowed from the stored value: the scans and
// the index validate records without copying payloads they do not keep.
struct JobRecordView {
  JobState state = JobState::Ready;
  JobId id{};
  int64_t available_at_ms = 0;
  int64_t deadline_ms = std::numeric_limits<int64_t>::min();  // the minimum: no deadline
  int32_t priority = 0;
  uint32_t attempts = 0;
  uint32_t max_attempts = 0;
  uint64_t retry_backoff_ms = 0;
  int64_t lease_until_ms = 0;
  uint32_t lease_generation = 0;
  BytesView handler;
  BytesView payload;
  std::optional<BytesView> idempotency_key;

  bool has_deadline() const { return deadline_ms != std::numeric_limits<int64_t>::min(); }
  bool is_active() const { return state == JobState::Ready || state == JobState::Leased; }
  bool is_finished() const { return !is_active(); }
};

// The record stored under `key`, or nullopt when it does not decode or
// carries another job's id (every change to it would be written under that
// other job's key).
std::optional<JobRecordView> view_job_under(BytesView key, BytesView value);

struct DurableJob {
  JobId id{};
  JobState state = JobState::Ready;
  Bytes handler;
  Bytes payload;
  std::optional<Bytes> idempotency_key;
  std::optional<int64_t> deadline_ms;
  int64_t available_at_ms = 0;
  uint64_t retry_backoff_ms = 0;
  int32_t priority = 0;
  uint32_t max_attempts = 1;
  uint32_t attempts = 0;
  int64_t lease_until_ms = 0;
  uint32_t lease_generation = 0;
};

struct JobHistoryEntry {
  uint64_t seq = 0;
  int64_t at_ms = 0;
  JobHistoryKind kind = JobHistoryKind::Submitted;
  Bytes detail;
};

struct JobStats {
  uint64_t total = 0;
  uint64_t ready = 0;
  uint64_t leased = 0;
  uint64_t completed = 0;
  uint64_t dead = 0;
  uint64_t cancelled = 0;
};

inline constexpr engine::KeyArea kJobArea{"jobs", {"\xFFomb:job:", 9}};
inline constexpr std::string_view kJobDataPrefix{"\xFFomb:job:data:", 14};
inline constexpr std::string_view kJobHistoryPrefix{"\xFFomb:job:history:", 17};
static_assert(kJobArea.holds(kJobDataPrefix) && kJobArea.holds(kJobHistoryPrefix));

Bytes job_key(const JobId& id);
Bytes job_history_prefix(const JobId& id);
Bytes job_history_key(const JobId& id, uint64_t seq);

std::expected<Bytes, JobError> encode_job(const DurableJob& job);
std::expected<DurableJob, JobError> decode_job(BytesView value);
std::expected<Bytes, JobError> encode_job_history(const JobHistoryEntry& entry);
std::expected<JobHistoryEntry, JobError> decode_job_history(BytesView value);

// A fresh id from the operating system ("operating-system entropy is unavailable").
std::expected<JobId, JobError> new_job_id();
// A new ready job with no attempts and no lease, its fields from `spec`.
DurableJob job_from_spec(const JobSpec& spec, const JobId& id);

// The back-off before the next attempt of a job that has just failed
// attempt `job.attempts`: retry_backoff_ms * max(attempts, 1), scaled by a
// per-job jitter of 91..110 percent derived from the id bytes and attempts.
// Every product is checked ("time value overflowed").
std::expected<uint64_t, JobError> retry_delay_ms(const DurableJob& job);

// What one claim at `now_ms` would do: the overdue jobs to make dead (in key
// order) and the best candidate (highest priority, then earliest
// available_at_ms, then smallest id). The one place that chooses claims.
struct ClaimSelection {
  std::vector<DurableJob> overdue;
  std::optional<DurableJob> best;
};
std::expected<ClaimSelection, JobError> select_claim(const engine::Store& store, int64_t now_ms,
                                                     std::span<const Bytes> handlers);

std::expected<JobId, JobError> submit_job(engine::Store& store, const JobSpec& spec, int64_t now_ms);
// An empty handler list admits every handler. A lease_duration_ms of 2^63 or
// more, or a lease end past the largest time, is "time value overflowed".
std::expected<std::optional<DurableJob>, JobError> claim_job_for_handlers(engine::Store& store, int64_t now_ms,
                                                                          uint64_t lease_duration_ms,
                                                                          std::span<const Bytes> handlers);
std::expected<bool, JobError> heartbeat_job(engine::Store& store, const JobId& id, uint32_t lease_generation,
                                            int64_t now_ms, uint64_t lease_duration_ms);
std::expected<void, JobError> complete_job(engine::Store& store, const JobId& id, uint32_t lease_generation,
                                           int64_t now_ms);
std::expected<JobState, JobError> fail_job(engine::Store& store, const JobId& id, uint32_t lease_generation,
                                           int64_t now_ms, BytesView detail);
std::expected<bool, JobError> release_job(engine::Store& store, const JobId& id, uint32_t lease_generation,
                                          int64_t now_ms);
std::expected<uint64_t, JobError> release_expired_jobs(engine::Store& store, int64_t now_ms);
std::expected<std::optional<DurableJob>, JobError> retry_job(engine::Store& store, const JobId& id, int64_t now_ms);
std::expected<bool, JobError> cancel_job(engine::Store& store, const JobId& id, int64_t now_ms);
std::expected<std::optional<DurableJob>, JobError> get_job(const engine::Store& store, const JobId& id);
// The job as an open transaction sees it: its own staged writes over the
// committed state.
std::expected<std::optional<DurableJob>, JobError> get_job(const engine::Transaction& tx, const JobId& id);
// By available_at_ms, then id.
std::expected<std::vector<DurableJob>, JobError> list_jobs(const engine::Store& store);
std::expected<JobStats, JobError> job_stats(const engine::Store& store);
std::expected<std::vector<JobHistoryEntry>, JobError> job_history(const engine::Store& store, const JobId& id);
// Deletes, in one commit, up to `limit` finished jobs (completed, dead,
// cancelled) whose finishing history entry is dated before
// `finished_before_ms`, oldest first (then by id), each with its whole
// history; returns how many. A ready or leased job is never removed. A limit
// of 0 writes nothing; a record under the prefix that does not decode fails
// the call before anything is written.
std::expected<uint64_t, JobError> purge_finished_jobs(engine::Store& store, int64_t finished_before_ms, uint64_t limit);

// Writes `job` and its next history entry (kind, detail, at_ms) in one commit.
std::expected<void, JobError> persist_job_with_history(engine::Store& store, const DurableJob& job, int64_t at_ms,
                                                       JobHistoryKind kind, BytesView detail);

// The lease operations inside a caller's open transaction: read through it
// (a job completed earlier in the same transaction is no longer leased) and
// staged without committing; the same checks, errors and results as the
// Store forms above, which run these in a transaction of their own.
std::expected<bool, JobError> heartbeat_job(engine::Transaction& tx, const JobId& id, uint32_t lease_generation,
                                            int64_t now_ms, uint64_t lease_duration_ms);
std::expected<void, JobError> complete_job(engine::Transaction& tx, const JobId& id, uint32_t lease_generation,
                                           int64_t now_ms);
std::expected<JobState, JobError> fail_job(engine::Transaction& tx, const JobId& id, uint32_t lease_generation,
                                           int64_t now_ms, BytesView detail);
std::expected<bool, JobError> release_job(engine::Transaction& tx, const JobId& id, uint32_t lease_generation,
                                          int64_t now_ms);

// Stages a new job (or, under an idempotency key that a ready or leased job
// of the transaction's view holds, finds that one) in `tx` without
// committing; the "submitted" entry carries `detail`.
std::expected<JobId, JobError> enqueue_job_tx(engine::Transaction& tx, const JobSpec& spec, int64_t now_ms,
                                              BytesView detail);

// The id of the first ready or leased job (in key order) whose idempotency
// key is `key`: in the committed state, or in the view of an open
// transaction. A record that does not decode fails the lookup.
std::expected<std::optional<JobId>, JobError> find_active_job_by_key(const engine::Store& store, BytesView key);
std::expected<std::optional<JobId>, JobError> find_active_job_by_key(const engine::Transaction& tx, BytesView key);

// Stages the record of a new job and its first ("submitted", seq 0) history
// entry in `tx`.
std::expected<void, JobError> stage_new_job(engine::Transaction& tx, const DurableJob& job, int64_t now_ms,
                                            BytesView detail);

}  // namespace ombrel::jobs
