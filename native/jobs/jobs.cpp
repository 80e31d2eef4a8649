#include "jobs/jobs.h"

#include <algorithm>
#include <iterator>
#include <limits>

#include "jobs/job_index.h"
#include "records/own_transaction.h"
#include "util/component_key.h"
#include "util/entropy.h"
#include "util/history_entry.h"
#include "util/invariant.h"

namespace ombrel::jobs {
namespace {

constexpr uint8_t kFormatVersion = 1;
// The job record's fixed part (jobs.h); the handler's length follows it.
constexpr size_t kJobVersionOffset = 0;
constexpr size_t kJobStateOffset = 1;
constexpr size_t kJobIdOffset = 2;
constexpr size_t kJobAvailableAtOffset = 18;
constexpr size_t kJobDeadlineOffset = 26;
constexpr size_t kJobPriorityOffset = 34;
constexpr size_t kJobAttemptsOffset = 38;
constexpr size_t kJobMaxAttemptsOffset = 42;
constexpr size_t kJobRetryBackoffOffset = 46;
constexpr size_t kJobLeaseUntilOffset = 54;
constexpr size_t kJobLeaseGenerationOffset = 62;
constexpr size_t kJobFixedBytes = 66;
static_assert(contiguous_fields({{kJobVersionOffset, 1},
                                 {kJobStateOffset, 1},
                                 {kJobIdOffset, kIdBytes},
                                 {kJobAvailableAtOffset, 8},
                                 {kJobDeadlineOffset, 8},
                                 {kJobPriorityOffset, 4},
                                 {kJobAttemptsOffset, 4},
                                 {kJobMaxAttemptsOffset, 4},
                                 {kJobRetryBackoffOffset, 8},
                                 {kJobLeaseUntilOffset, 8},
                                 {kJobLeaseGenerationOffset, 4}},
                                kJobFixedBytes));
// The smallest variable part: empty handler and payload, no idempotency key.
constexpr size_t kJobMinVariableBytes = 4 + 4 + 1;
constexpr int64_t kNoDeadline = std::numeric_limits<int64_t>::min();

JobError corrupt() { return JobError::of(JobError::Kind::Corrupt); }
JobError time_overflow() { return JobError::of(JobError::Kind::TimeOverflow); }

std::optional<JobRecordView> view_job(BytesView value) {
  const auto fixed = FixedPart<kJobFixedBytes>::of(value);
  if (!fixed) return std::nullopt;
  JobRecordView v;
  const uint8_t version = fixed->u8<kJobVersionOffset>();
  const uint8_t state = fixed->u8<kJobStateOffset>();
  if (version != kFormatVersion || state > static_cast<uint8_t>(JobState::Cancelled)) return std::nullopt;
  v.state = static_cast<JobState>(state);
  v.id = fixed->byte_array<kJobIdOffset, kIdBytes>();
  v.available_at_ms = fixed->i64_le<kJobAvailableAtOffset>();
  v.deadline_ms = fixed->i64_le<kJobDeadlineOffset>();
  v.priority = static_cast<int32_t>(fixed->u32_le<kJobPriorityOffset>());
  v.attempts = fixed->u32_le<kJobAttemptsOffset>();
  v.max_attempts = fixed->u32_le<kJobMaxAttemptsOffset>();
  v.retry_backoff_ms = fixed->u64_le<kJobRetryBackoffOffset>();
  v.lease_until_ms = fixed->i64_le<kJobLeaseUntilOffset>();
  v.lease_generation = fixed->u32_le<kJobLeaseGenerationOffset>();
  ByteReader r(value.substr(kJobFixedBytes));
  auto handler = r.field_le();
  if (!handler) return std::nullopt;
  auto payload = r.field_le();
  if (!payload) return std::nullopt;
  auto key = r.optional_field_le();
  if (!key || !r.at_end()) return std::nullopt;
  v.idempotency_key = *key;
  v.handler = *handler;
  v.payload = *payload;
  return v;
}

DurableJob materialize(const JobRecordView& v) {
  DurableJob job;
  job.id = v.id;
  job.state = v.state;
  job.handler.assign(v.handler);
  job.payload.assign(v.payload);
  if (v.idempotency_key) job.idempotency_key = Bytes(*v.idempotency_key);
  if (v.has_deadline()) job.deadline_ms = v.deadline_ms;
  job.available_at_ms = v.available_at_ms;
  job.retry_backoff_ms = v.retry_backoff_ms;
  job.priority = v.priority;
  job.max_attempts = v.max_attempts;
  job.attempts = v.attempts;
  job.lease_until_ms = v.lease_until_ms;
  job.lease_generation = v.lease_generation;
  return job;
}

// Every job record of the committed state, decoded, in key order.
std::expected<std::vector<DurableJob>, JobError> load_all_jobs(const engine::Store& store) {
  std::vector<DurableJob> jobs;
  for (const auto& [key, value] : store.prefix_range(kJobDataPrefix)) {
    auto view = view_job_under(key, value);
    if (!view) return std::unexpected(corrupt());
    jobs.push_back(materialize(*view));
  }
  return jobs;
}

// Times never wrap: a duration of 2^63 or more, or an end past the largest
// time, is an overflow.
std::expected<int64_t, JobError> add_duration(int64_t at_ms, uint64_t duration_ms) {
  if (duration_ms > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return std::unexpected(time_overflow());
  }
  int64_t end = 0;
  if (__builtin_add_overflow(at_ms, static_cast<int64_t>(duration_ms), &end)) {
    return std::unexpected(time_overflow());
  }
  return end;
}

std::expected<DurableJob, JobError> load_existing(const engine::Transaction& tx, const JobId& id) {
  auto job = get_job(tx, id);
  if (!job) return std::unexpected(job.error());
  if (!*job) return std::unexpected(JobError::of(JobError::Kind::NotFound));
  return std::move(**job);
}

// Complete and fail accept only the current holder of a lease.
std::expected<DurableJob, JobError> load_held(const engine::Transaction& tx, const JobId& id, uint32_t generation) {
  auto job = load_existing(tx, id);
  if (!job) return job;
  if (job->state != JobState::Leased) return std::unexpected(JobError::of(JobError::Kind::NotLeased));
  if (job->lease_generation != generation) {
    return std::unexpected(JobError::of(JobError::Kind::GenerationMismatch, job->lease_generation, generation));
  }
  return job;
}

// Heartbeat and release answer false instead of failing for a job they may not touch.
std::expected<std::optional<DurableJob>, JobError> load_if_held(const engine::Transaction& tx, const JobId& id,
                                                                uint32_t generation) {
  auto job = get_job(tx, id);
  if (!job || !*job) return job;
  if ((*job)->state != JobState::Leased || (*job)->lease_generation != generation) {
    return std::optional<DurableJob>{};
  }
  return job;
}

// A lease operation of the Store: its transaction form in a transaction of
// its own, committed only when it wrote something.
template <class Body>
auto in_lease_transaction(engine::Store& store, Body&& body) {
  return records::in_own_transaction(store, std::forward<Body>(body), records::EmptyTransaction::Drop);
}

std::expected<std::optional<DurableJob>, JobError> job_from_stored(const JobId& id, std::optional<BytesView> value) {
  if (!value) return std::optional<DurableJob>{};
  auto job = decode_job(*value);
  if (!job) return std::unexpected(job.error());
  if (job->id != id) return std::unexpected(corrupt());
  return std::optional<DurableJob>(std::move(*job));
}

// Every search over all jobs fails, as a full scan would, while a record
// under the prefix does not decode.
std::expected<const JobIndex*, JobError> sound_index(const engine::Store& store) {
  const JobIndex& index = store.derived_index<JobIndex>();
  if (!index.corrupt_keys().empty()) return std::unexpected(corrupt());
  return &index;
}

// The record of a job the index named (it decoded when it was indexed).
std::expected<DurableJob, JobError> load_indexed(const engine::Store& store, const JobId& id) {
  auto job = get_job(store, id);
  if (!job) return std::unexpected(job.error());
  if (!*job) return std::unexpected(corrupt());
  return std::move(**job);
}

bool holds_key(const std::optional<JobRecordView>& job, BytesView key) {
  return job && job->is_active() && job->idempotency_key == key;
}

// A scan in key order stops at whichever comes first: the matching job or a
// record that does not decode.
std::expected<std::optional<JobId>, JobError> first_of(std::optional<JobId> match,
                                                       std::optional<BytesView> first_corrupt_key) {
  if (first_corrupt_key && (!match || *first_corrupt_key < job_key(*match))) return std::unexpected(corrupt());
  return match;
}

// The sequence after the largest one under the job's history prefix in the
// transaction's view (committed entries plus those staged in it); 0 when
// there is none. Only the last key is read.
std::expected<uint64_t, JobError> next_history_seq(const engine::Transaction& tx, const JobId& id) {
  const Bytes prefix = job_history_prefix(id);
  auto next = sequence_after(tx.last_key_internal(prefix), prefix);
  if (!next) {
    return std::unexpected(
        next.error() == SequenceFault::Exhausted ? JobError::of(JobError::Kind::HistorySequenceExhausted) : corrupt());
  }
  return *next;
}

std::expected<void, JobError> engine_result(const std::expected<void, engine::EngineError>& done) {
  if (!done) return std::unexpected(JobError::engine(done.error()));
  return {};
}

}  // namespace

JobError job_spec_error(JobSpecFault fault) {
  return JobError::of(fault == JobSpecFault::EmptyHandler ? JobError::Kind::EmptyHandler
                                                          : JobError::Kind::ZeroMaxAttempts);
}

// ---- errors and names ----

std::string_view job_state_name(JobState state) {
  switch (state) {
    case JobState::Ready:
      return "ready";
    case JobState::Leased:
      return "leased";
    case JobState::Completed:
      return "completed";
    case JobState::Dead:
      return "dead";
    case JobState::Cancelled:
      return "cancelled";
  }
  return {};
}

std::string_view job_history_kind_name(JobHistoryKind kind) {
  switch (kind) {
    case JobHistoryKind::Submitted:
      return "submitted";
    case JobHistoryKind::Claimed:
      return "claimed";
    case JobHistoryKind::Completed:
      return "completed";
    case JobHistoryKind::RetryScheduled:
      return "retry_scheduled";
    case JobHistoryKind::Dead:
      return "dead";
    case JobHistoryKind::Cancelled:
      return "cancelled";
  }
  return {};
}

std::optional<JobId> id_from_bytes(BytesView bytes) {
  if (bytes.size() != kIdBytes) return std::nullopt;
  JobId id{};
  std::copy(bytes.begin(), bytes.end(), id.begin());
  return id;
}

// ---- keys and codecs ----

// A record is only trusted under its own key: one carrying another job's id
// would have every change written under that other job's key, overwriting it.
std::optional<JobRecordView> view_job_under(BytesView key, BytesView value) {
  auto view = view_job(value);
  if (!view || key.size() != kJobDataPrefix.size() + kIdBytes ||
      !std::equal(view->id.begin(), view->id.end(), key.begin() + kJobDataPrefix.size(),
                  [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); })) {
    return std::nullopt;
  }
  return view;
}

Bytes job_key(const JobId& id) {
  ComponentKey key(kJobDataPrefix);
  key.raw(id_view(id));
  return std::move(key).take();
}

Bytes job_history_prefix(const JobId& id) {
  ComponentKey key(kJobHistoryPrefix);
  key.raw(id_view(id));
  return std::move(key).take();
}

Bytes job_history_key(const JobId& id, uint64_t seq) {
  ComponentKey key(kJobHistoryPrefix);
  key.raw(id_view(id)).number(seq);
  return std::move(key).take();
}

std::expected<Bytes, JobError> encode_job(const DurableJob& job) {
  if (!component_fits(job.handler) || !component_fits(job.payload) ||
      (job.idempotency_key && !component_fits(*job.idempotency_key))) {
    return std::unexpected(JobError::of(JobError::Kind::FieldTooLarge));
  }
  Bytes out;
  out.reserve(kJobFixedBytes + kJobMinVariableBytes + job.handler.size() + job.payload.size() +
              (job.idempotency_key ? 4 + job.idempotency_key->size() : 0));
  ByteWriter w(out);
  w.u8(kFormatVersion);
  w.u8(static_cast<uint8_t>(job.state));
  w.bytes(id_view(job.id));
  w.i64_le(job.available_at_ms);
  w.i64_le(job.deadline_ms.value_or(kNoDeadline));
  w.u32_le(static_cast<uint32_t>(job.priority));
  w.u32_le(job.attempts);
  w.u32_le(job.max_attempts);
  w.u64_le(job.retry_backoff_ms);
  w.i64_le(job.lease_until_ms);
  w.u32_le(job.lease_generation);
  OMBREL_ASSERT(out.size() == kJobFixedBytes);
  w.field_le(job.handler);
  w.field_le(job.payload);
  w.optional_field_le(job.idempotency_key);
  return out;
}

std::expected<DurableJob, JobError> decode_job(BytesView value) {
  auto view = view_job(value);
  if (!view) return std::unexpected(corrupt());
  return materialize(*view);
}

std::expected<Bytes, JobError> encode_job_history(const JobHistoryEntry& entry) {
  if (!component_fits(entry.detail)) return std::unexpected(JobError::of(JobError::Kind::FieldTooLarge));
  return encode_history_entry(entry.seq, entry.at_ms, static_cast<uint8_t>(entry.kind), entry.detail);
}

std::expected<JobHistoryEntry, JobError> decode_job_history(BytesView value) {
  auto entry = decode_history_entry(value, static_cast<uint8_t>(JobHistoryKind::Cancelled));
  if (!entry) return std::unexpected(corrupt());
  return JobHistoryEntry{entry->sequence, entry->at_ms, static_cast<JobHistoryKind>(entry->kind), Bytes(entry->detail)};
}

// ---- building blocks ----

std::expected<std::optional<JobId>, JobError> find_active_job_by_key(const engine::Store& store, BytesView key) {
  const JobIndex& index = store.derived_index<JobIndex>();
  std::optional<JobId> match;
  for (const JobId& id : index.active_with_key(key)) {
    const Bytes record_key = job_key(id);
    const auto value = store.find(record_key);
    if (value.has_value() && holds_key(view_job_under(record_key, *value), key)) {
      match = id;
      break;
    }
  }
  const auto& corrupt_keys = index.corrupt_keys();
  return first_of(match, corrupt_keys.empty() ? std::nullopt : std::optional<BytesView>(*corrupt_keys.begin()));
}

std::expected<std::optional<JobId>, JobError> find_active_job_by_key(const engine::Transaction& tx, BytesView key) {
  // The transaction's own writes decide for the records they touch; the
  // index of the committed state answers for the others.
  const auto own = tx.own_writes_internal(kJobDataPrefix);
  auto own_write = [&](BytesView record_key) {
    return std::binary_search(own.begin(), own.end(), std::make_pair(record_key, std::optional<BytesView>{}),
                              [](const auto& a, const auto& b) { return a.first < b.first; });
  };
  std::optional<JobId> match;
  std::optional<BytesView> first_corrupt_key;
  for (const auto& [record_key, value] : own) {
    if (!value) continue;
    auto job = view_job_under(record_key, *value);
    if (!job && !first_corrupt_key) first_corrupt_key = record_key;
    if (!match && holds_key(job, key)) match = job->id;
  }
  const engine::Store& store = tx.store();
  const JobIndex& index = store.derived_index<JobIndex>();
  for (const JobId& id : index.active_with_key(key)) {
    if (match && !(id < *match)) break;
    const Bytes record_key = job_key(id);
    if (own_write(record_key)) continue;
    const auto value = store.find(record_key);
    if (value.has_value() && holds_key(view_job_under(record_key, *value), key)) {
      match = id;
      break;
    }
  }
  for (const std::string& record_key : index.corrupt_keys()) {
    if (first_corrupt_key && !(BytesView(record_key) < *first_corrupt_key)) break;
    if (!own_write(record_key)) {
      first_corrupt_key = record_key;
      break;
    }
  }
  return first_of(match, first_corrupt_key);
}

std::expected<JobId, JobError> new_job_id() {
  JobId id{};
  if (!fill_random(id)) return std::unexpected(JobError::of(JobError::Kind::NoEntropy));
  return id;
}

DurableJob job_from_spec(const JobSpec& spec, const JobId& id) {
  DurableJob job;
  job.id = id;
  job.state = JobState::Ready;
  job.handler = spec.handler;
  job.payload = spec.payload;
  job.idempotency_key = spec.idempotency_key;
  job.deadline_ms = spec.deadline_ms;
  job.available_at_ms = spec.available_at_ms;
  job.retry_backoff_ms = spec.retry_backoff_ms;
  job.priority = spec.priority;
  job.max_attempts = spec.max_attempts;
  return job;
}

std::expected<uint64_t, JobError> retry_delay_ms(const DurableJob& job) {
  const uint64_t multiplier = job.attempts > 1 ? job.attempts : 1;
  uint64_t base = 0;
  if (__builtin_mul_overflow(job.retry_backoff_ms, multiplier, &base)) return std::unexpected(time_overflow());
  uint64_t id_sum = 0;
  for (unsigned char byte : job.id) id_sum += byte;
  const uint64_t s = (id_sum % 256 + job.attempts) % 256;
  const uint64_t percent = 91 + s % 20;
  uint64_t scaled = 0;
  if (__builtin_mul_overflow(base, percent, &scaled)) return std::unexpected(time_overflow());
  return scaled / 100;
}

std::expected<void, JobError> stage_new_job(engine::Transaction& tx, const DurableJob& job, int64_t now_ms,
                                            BytesView detail) {
  auto record = encode_job(job);
  if (!record) return std::unexpected(record.error());
  auto entry = encode_job_history(JobHistoryEntry{0, now_ms, JobHistoryKind::Submitted, Bytes(detail)});
  if (!entry) return std::unexpected(entry.error());
  if (auto put = engine_result(tx.put_internal(job_key(job.id), *record)); !put) return put;
  return engine_result(tx.put_internal(job_history_key(job.id, 0), *entry));
}

std::expected<void, JobError> stage_job_with_history(engine::Transaction& tx, const DurableJob& job, int64_t at_ms,
                                                     JobHistoryKind kind, BytesView detail) {
  auto record = encode_job(job);
  if (!record) return std::unexpected(record.error());
  auto seq = next_history_seq(tx, job.id);
  if (!seq) return std::unexpected(seq.error());
  auto entry = encode_job_history(JobHistoryEntry{*seq, at_ms, kind, Bytes(detail)});
  if (!entry) return std::unexpected(entry.error());
  if (auto put = engine_result(tx.put_internal(job_key(job.id), *record)); !put) return put;
  return engine_result(tx.put_internal(job_history_key(job.id, *seq), *entry));
}

std::expected<void, JobError> persist_job_with_history(engine::Store& store, const DurableJob& job, int64_t at_ms,
                                                       JobHistoryKind kind, BytesView detail) {
  return records::in_own_transaction(
      store, [&](engine::Transaction& tx) { return stage_job_with_history(tx, job, at_ms, kind, detail); });
}

// ---- operations ----

std::expected<ClaimSelection, JobError> select_claim(const engine::Store& store, int64_t now_ms,
                                                     std::span<const Bytes> handlers) {
  auto index = sound_index(store);
  if (!index) return std::unexpected(index.error());
  const JobIndex::ClaimCandidates candidates = (*index)->claim_candidates(now_ms, handlers);
  ClaimSelection selection;
  for (const JobId& id : candidates.overdue) {
    auto job = load_indexed(store, id);
    if (!job) return std::unexpected(job.error());
    selection.overdue.push_back(std::move(*job));
  }
  if (candidates.best) {
    auto job = load_indexed(store, *candidates.best);
    if (!job) return std::unexpected(job.error());
    selection.best = std::move(*job);
  }
  return selection;
}

std::expected<JobId, JobError> submit_job(engine::Store& store, const JobSpec& spec, int64_t now_ms) {
  if (auto fault = check_job_spec(spec)) return std::unexpected(job_spec_error(*fault));
  if (spec.idempotency_key) {
    auto existing = find_active_job_by_key(store, *spec.idempotency_key);
    if (!existing) return std::unexpected(existing.error());
    if (*existing) return **existing;
  }
  auto id = new_job_id();
  if (!id) return id;
  const DurableJob job = job_from_spec(spec, *id);
  auto tx = store.begin();
  if (!tx) return std::unexpected(JobError::engine(tx.error()));
  if (auto staged = stage_new_job(*tx, job, now_ms, {}); !staged) return std::unexpected(staged.error());
  if (auto committed = engine_result(tx->commit()); !committed) return std::unexpected(committed.error());
  return *id;
}

std::expected<JobId, JobError> enqueue_job_tx(engine::Transaction& tx, const JobSpec& spec, int64_t now_ms,
                                              BytesView detail) {
  if (auto fault = check_job_spec(spec)) return std::unexpected(job_spec_error(*fault));
  if (spec.idempotency_key) {
    // The transaction's own view: jobs it staged earlier count too.
    auto existing = find_active_job_by_key(tx, *spec.idempotency_key);
    if (!existing) return std::unexpected(existing.error());
    if (*existing) return **existing;
  }
  auto id = new_job_id();
  if (!id) return id;
  if (auto staged = stage_new_job(tx, job_from_spec(spec, *id), now_ms, detail); !staged) {
    return std::unexpected(staged.error());
  }
  return *id;
}

std::expected<std::optional<DurableJob>, JobError> claim_job_for_handlers(engine::Store& store, int64_t now_ms,
                                                                          uint64_t lease_duration_ms,
                                                                          std::span<const Bytes> handlers) {
  auto lease_end = add_duration(now_ms, lease_duration_ms);
  if (!lease_end) return std::unexpected(lease_end.error());
  auto selection = select_claim(store, now_ms, handlers);
  if (!selection) return std::unexpected(selection.error());
  for (DurableJob& job : selection->overdue) {
    job.state = JobState::Dead;
    job.lease_until_ms = 0;
    auto persisted = persist_job_with_history(store, job, now_ms, JobHistoryKind::Dead, "deadline exceeded");
    if (!persisted) return std::unexpected(persisted.error());
  }
  if (!selection->best) return std::optional<DurableJob>{};
  DurableJob job = std::move(*selection->best);
  if (job.attempts == std::numeric_limits<uint32_t>::max()) {
    return std::unexpected(JobError::of(JobError::Kind::AttemptCounterExhausted));
  }
  job.attempts += 1;
  if (job.attempts > job.max_attempts) {
    job.state = JobState::Dead;
    job.lease_until_ms = 0;
    auto persisted = persist_job_with_history(store, job, now_ms, JobHistoryKind::Dead, "max attempts exceeded");
    if (!persisted) return std::unexpected(persisted.error());
    return std::optional<DurableJob>{};
  }
  job.state = JobState::Leased;
  job.lease_until_ms = *lease_end;
  job.lease_generation = job.attempts;
  auto persisted = persist_job_with_history(store, job, now_ms, JobHistoryKind::Claimed, {});
  if (!persisted) return std::unexpected(persisted.error());
  return std::optional<DurableJob>(std::move(job));
}

std::expected<bool, JobError> heartbeat_job(engine::Transaction& tx, const JobId& id, uint32_t lease_generation,
                                            int64_t now_ms, uint64_t lease_duration_ms) {
  auto job = load_if_held(tx, id, lease_generation);
  if (!job) return std::unexpected(job.error());
  if (!*job) return false;
  auto lease_end = add_duration(now_ms, lease_duration_ms);
  if (!lease_end) return std::unexpected(lease_end.error());
  (*job)->lease_until_ms = *lease_end;
  auto record = encode_job(**job);
  if (!record) return std::unexpected(record.error());
  if (auto put = engine_result(tx.put_internal(job_key(id), *record)); !put) return std::unexpected(put.error());
  return true;
}

std::expected<bool, JobError> heartbeat_job(engine::Store& store, const JobId& id, uint32_t lease_generation,
                                            int64_t now_ms, uint64_t lease_duration_ms) {
  return in_lease_transaction(store, [&](engine::Transaction& tx) {
    return heartbeat_job(tx, id, lease_generation, now_ms, lease_duration_ms);
  });
}

std::expected<void, JobError> complete_job(engine::Transaction& tx, const JobId& id, uint32_t lease_generation,
                                           int64_t now_ms) {
  auto job = load_held(tx, id, lease_generation);
  if (!job) return std::unexpected(job.error());
  job->state = JobState::Completed;
  job->lease_until_ms = 0;
  return stage_job_with_history(tx, *job, now_ms, JobHistoryKind::Completed, {});
}

std::expected<void, JobError> complete_job(engine::Store& store, const JobId& id, uint32_t lease_generation,
                                           int64_t now_ms) {
  return in_lease_transaction(store,
                              [&](engine::Transaction& tx) { return complete_job(tx, id, lease_generation, now_ms); });
}

std::expected<JobState, JobError> fail_job(engine::Transaction& tx, const JobId& id, uint32_t lease_generation,
                                           int64_t now_ms, BytesView detail) {
  auto job = load_held(tx, id, lease_generation);
  if (!job) return std::unexpected(job.error());
  job->lease_until_ms = 0;
  JobHistoryKind kind = JobHistoryKind::Dead;
  if (job->attempts >= job->max_attempts) {
    job->state = JobState::Dead;
  } else {
    auto delay = retry_delay_ms(*job);
    if (!delay) return std::unexpected(delay.error());
    auto available_at = add_duration(now_ms, *delay);
    if (!available_at) return std::unexpected(available_at.error());
    job->state = JobState::Ready;
    job->available_at_ms = *available_at;
    kind = JobHistoryKind::RetryScheduled;
  }
  if (auto staged = stage_job_with_history(tx, *job, now_ms, kind, detail); !staged) {
    return std::unexpected(staged.error());
  }
  return job->state;
}

std::expected<JobState, JobError> fail_job(engine::Store& store, const JobId& id, uint32_t lease_generation,
                                           int64_t now_ms, BytesView detail) {
  return in_lease_transaction(
      store, [&](engine::Transaction& tx) { return fail_job(tx, id, lease_generation, now_ms, detail); });
}

std::expected<bool, JobError> release_job(engine::Transaction& tx, const JobId& id, uint32_t lease_generation,
                                          int64_t now_ms) {
  auto job = load_if_held(tx, id, lease_generation);
  if (!job) return std::unexpected(job.error());
  if (!*job) return false;
  (*job)->state = JobState::Ready;
  (*job)->available_at_ms = now_ms;
  (*job)->lease_until_ms = 0;
  auto staged = stage_job_with_history(tx, **job, now_ms, JobHistoryKind::RetryScheduled, "released");
  if (!staged) return std::unexpected(staged.error());
  return true;
}

std::expected<bool, JobError> release_job(engine::Store& store, const JobId& id, uint32_t lease_generation,
                                          int64_t now_ms) {
  return in_lease_transaction(store,
                              [&](engine::Transaction& tx) { return release_job(tx, id, lease_generation, now_ms); });
}

std::expected<uint64_t, JobError> release_expired_jobs(engine::Store& store, int64_t now_ms) {
  auto index = sound_index(store);
  if (!index) return std::unexpected(index.error());
  std::vector<DurableJob> expired;
  for (const JobId& id : (*index)->ended_leases(now_ms)) {
    auto job = load_indexed(store, id);
    if (!job) return std::unexpected(job.error());
    expired.push_back(std::move(*job));
  }
  for (DurableJob& job : expired) {
    job.lease_until_ms = 0;
    std::expected<void, JobError> persisted;
    if (job.attempts >= job.max_attempts) {
      job.state = JobState::Dead;
      persisted =
          persist_job_with_history(store, job, now_ms, JobHistoryKind::Dead, "lease expired: max attempts exhausted");
    } else {
      job.state = JobState::Ready;
      job.available_at_ms = now_ms;
      persisted = persist_job_with_history(store, job, now_ms, JobHistoryKind::RetryScheduled, "lease expired");
    }
    if (!persisted) return std::unexpected(persisted.error());
  }
  return expired.size();
}

std::expected<std::optional<DurableJob>, JobError> retry_job(engine::Store& store, const JobId& id, int64_t now_ms) {
  auto job = get_job(store, id);
  if (!job || !*job) return job;
  if ((*job)->state != JobState::Dead) return std::optional<DurableJob>{};
  DurableJob& revived = **job;
  revived.state = JobState::Ready;
  revived.available_at_ms = now_ms;
  revived.lease_until_ms = 0;
  revived.attempts = 0;
  revived.lease_generation = 0;
  auto persisted = persist_job_with_history(store, revived, now_ms, JobHistoryKind::RetryScheduled, "manual retry");
  if (!persisted) return std::unexpected(persisted.error());
  return job;
}

std::expected<bool, JobError> cancel_job(engine::Store& store, const JobId& id, int64_t now_ms) {
  auto job = get_job(store, id);
  if (!job) return std::unexpected(job.error());
  if (!*job || ((*job)->state != JobState::Ready && (*job)->state != JobState::Leased)) return false;
  (*job)->state = JobState::Cancelled;
  (*job)->lease_until_ms = 0;
  auto persisted = persist_job_with_history(store, **job, now_ms, JobHistoryKind::Cancelled, {});
  if (!persisted) return std::unexpected(persisted.error());
  return true;
}

std::expected<std::optional<DurableJob>, JobError> get_job(const engine::Store& store, const JobId& id) {
  return job_from_stored(id, store.find(job_key(id)));
}

std::expected<std::optional<DurableJob>, JobError> get_job(const engine::Transaction& tx, const JobId& id) {
  const auto value = tx.get_internal(job_key(id));
  return job_from_stored(id, value ? std::optional<BytesView>(*value) : std::nullopt);
}

std::expected<std::vector<DurableJob>, JobError> list_jobs(const engine::Store& store) {
  auto jobs = load_all_jobs(store);
  if (!jobs) return jobs;
  std::stable_sort(jobs->begin(), jobs->end(), [](const DurableJob& a, const DurableJob& b) {
    if (a.available_at_ms != b.available_at_ms) return a.available_at_ms < b.available_at_ms;
    return a.id < b.id;
  });
  return jobs;
}

std::expected<JobStats, JobError> job_stats(const engine::Store& store) {
  auto index = sound_index(store);
  if (!index) return std::unexpected(index.error());
  return (*index)->counts();
}

std::expected<std::vector<JobHistoryEntry>, JobError> job_history(const engine::Store& store, const JobId& id) {
  // The seq ends each key, big-endian: key order is already seq order.
  std::vector<JobHistoryEntry> entries;
  for (const auto& [key, value] : store.prefix_range(job_history_prefix(id))) {
    auto entry = decode_job_history(value);
    if (!entry) return std::unexpected(entry.error());
    entries.push_back(std::move(*entry));
  }
  return entries;
}

std::expected<uint64_t, JobError> purge_finished_jobs(engine::Store& store, int64_t finished_before_ms,
                                                      uint64_t limit) {
  if (limit == 0) return 0;
  auto index = sound_index(store);
  if (!index) return std::unexpected(index.error());
  const auto finished = (*index)->finished_before(finished_before_ms, limit);
  if (finished.empty()) return 0;
  // Every key first: the index changes as the commit reaches the table.
  std::vector<Bytes> doomed;
  for (const auto& [at_ms, id] : finished) {
    auto job = load_indexed(store, id);
    if (!job) return std::unexpected(job.error());
    if (job->state == JobState::Ready || job->state == JobState::Leased) return std::unexpected(corrupt());
    doomed.push_back(job_key(id));
    for (const auto& [key, value] : store.prefix_range(job_history_prefix(id))) doomed.emplace_back(key);
  }
  auto tx = store.begin();
  if (!tx) return std::unexpected(JobError::engine(tx.error()));
  for (const Bytes& key : doomed) {
    if (auto deleted = engine_result(tx->delete_internal(key)); !deleted) return std::unexpected(deleted.error());
  }
  if (auto committed = engine_result(tx->commit()); !committed) return std::unexpected(committed.error());
  return finished.size();
}

}  // namespace ombrel::jobs
