#include "jobs/schedules.h"

#include <limits>

#include "jobs/schedule_index.h"
#include "jobs/schedule_names.h"
#include "records/own_transaction.h"
#include "util/component_key.h"
#include "util/invariant.h"

namespace ombrel::jobs {
namespace {

constexpr uint8_t kFormatVersion = 1;
// The schedule record's fixed part (schedules.h); every_ms, when flagged,
// and the job template follow it.
constexpr size_t kScheduleVersionOffset = 0;
constexpr size_t kScheduleIdOffset = 1;
constexpr size_t kScheduleEnabledOffset = 17;
constexpr size_t kScheduleNextRunOffset = 18;
constexpr size_t kScheduleEveryFlagOffset = 26;
constexpr size_t kScheduleFixedBytes = 27;
static_assert(contiguous_fields({{kScheduleVersionOffset, 1},
                                 {kScheduleIdOffset, kIdBytes},
                                 {kScheduleEnabledOffset, 1},
                                 {kScheduleNextRunOffset, 8},
                                 {kScheduleEveryFlagOffset, 1}},
                                kScheduleFixedBytes));

JobError corrupt() { return JobError::of(JobError::Kind::Corrupt); }

JobSpec spec_of(const DurableJob& job) {
  JobSpec spec;
  spec.handler = job.handler;
  spec.payload = job.payload;
  spec.idempotency_key = job.idempotency_key;
  spec.deadline_ms = job.deadline_ms;
  spec.available_at_ms = job.available_at_ms;
  spec.retry_backoff_ms = job.retry_backoff_ms;
  spec.priority = job.priority;
  spec.max_attempts = job.max_attempts;
  return spec;
}

// The job of the occurrence planned at `planned_ms`.
JobSpec occurrence_spec(const JobSpec& templ, int64_t planned_ms) {
  JobSpec spec = templ;
  spec.available_at_ms = planned_ms;
  if (spec.idempotency_key) ByteWriter(*spec.idempotency_key).u64_be(static_cast<uint64_t>(planned_ms));
  return spec;
}

}  // namespace

Bytes schedule_key(const ScheduleId& id) {
  ComponentKey key(kScheduleDataPrefix);
  key.raw(id_view(id));
  return std::move(key).take();
}

std::expected<Bytes, JobError> encode_schedule(const DurableSchedule& schedule) {
  auto templ = encode_job(job_from_spec(schedule.job, JobId{}));
  if (!templ) return std::unexpected(templ.error());
  if (!component_fits(*templ)) return std::unexpected(JobError::of(JobError::Kind::FieldTooLarge));
  Bytes out;
  out.reserve(kScheduleFixedBytes + 8 + 4 + templ->size());
  ByteWriter w(out);
  w.u8(kFormatVersion);
  w.bytes(id_view(schedule.id));
  w.flag(schedule.enabled);
  w.i64_le(schedule.next_run_ms);
  w.flag(schedule.every_ms.has_value());
  OMBREL_ASSERT(out.size() == kScheduleFixedBytes);
  if (schedule.every_ms) w.u64_le(*schedule.every_ms);
  w.field_le(*templ);
  return out;
}

std::expected<DurableSchedule, JobError> decode_schedule(BytesView value) {
  const auto fixed = FixedPart<kScheduleFixedBytes>::of(value);
  if (!fixed) return std::unexpected(corrupt());
  const uint8_t version = fixed->u8<kScheduleVersionOffset>();
  const uint8_t enabled = fixed->u8<kScheduleEnabledOffset>();
  const uint8_t flag = fixed->u8<kScheduleEveryFlagOffset>();
  if (version != kFormatVersion || enabled > 1 || flag > 1) return std::unexpected(corrupt());
  DurableSchedule schedule;
  schedule.id = fixed->byte_array<kScheduleIdOffset, kIdBytes>();
  schedule.enabled = enabled == 1;
  schedule.next_run_ms = fixed->i64_le<kScheduleNextRunOffset>();
  ByteReader r(value.substr(kScheduleFixedBytes));
  if (flag == 1) {
    auto every = r.u64_le();
    if (!every || *every == 0) return std::unexpected(corrupt());
    schedule.every_ms = *every;
  }
  auto templ = r.field_le();
  if (!templ || !r.at_end()) return std::unexpected(corrupt());
  auto job = decode_job(*templ);
  if (!job) return std::unexpected(job.error());
  schedule.job = spec_of(*job);
  return schedule;
}

std::expected<int64_t, JobError> next_interval_run(int64_t planned_ms, uint64_t every_ms, int64_t now_ms) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  if (every_ms == 0 || every_ms > static_cast<uint64_t>(kMax)) {
    return std::unexpected(JobError::of(JobError::Kind::TimeOverflow));
  }
  // Both sides in 128 bits: the gap can reach 2^64 - 1 and the product 2^127.
  const __int128 gap = static_cast<__int128>(now_ms) - planned_ms;
  const __int128 steps = gap < 0 ? 1 : gap / static_cast<__int128>(every_ms) + 1;
  const __int128 next = static_cast<__int128>(planned_ms) + steps * static_cast<__int128>(every_ms);
  if (next > kMax) return std::unexpected(JobError::of(JobError::Kind::TimeOverflow));
  return static_cast<int64_t>(next);
}

namespace {

// A new enabled schedule's id and record.
std::expected<std::pair<ScheduleId, Bytes>, JobError> new_schedule(const JobSpec& spec,
                                                                   std::optional<uint64_t> every_ms,
                                                                   int64_t first_run_ms) {
  if (auto fault = check_job_spec(spec)) return std::unexpected(job_spec_error(*fault));
  if (every_ms && *every_ms == 0) return std::unexpected(JobError::of(JobError::Kind::InvalidSchedule));
  auto id = new_job_id();
  if (!id) return std::unexpected(id.error());
  auto record = encode_schedule(DurableSchedule{*id, spec, every_ms, first_run_ms, true});
  if (!record) return std::unexpected(record.error());
  return std::pair<ScheduleId, Bytes>{*id, std::move(*record)};
}

}  // namespace

std::expected<ScheduleId, JobError> create_schedule(engine::Store& store, const JobSpec& spec,
                                                    std::optional<uint64_t> every_ms, int64_t first_run_ms) {
  auto created = new_schedule(spec, every_ms, first_run_ms);
  if (!created) return std::unexpected(created.error());
  if (auto put = store.put_internal(schedule_key(created->first), created->second); !put) {
    return std::unexpected(JobError::engine(put.error()));
  }
  return created->first;
}

std::expected<std::pair<ScheduleId, bool>, JobError> ensure_schedule(engine::Store& store, BytesView name,
                                                                     const JobSpec& spec,
                                                                     std::optional<uint64_t> every_ms,
                                                                     int64_t first_run_ms) {
  using Ensured = std::pair<ScheduleId, bool>;
  if (name.empty()) return std::unexpected(JobError::of(JobError::Kind::EmptyScheduleName));
  auto name_key = schedule_name_key(kScheduleNamePrefix, name);
  if (!name_key) return std::unexpected(JobError::of(JobError::Kind::FieldTooLarge));
  return records::in_own_transaction(
      store,
      [&](engine::Transaction& tx) -> std::expected<Ensured, JobError> {
        auto named = named_schedule(tx, *name_key, schedule_key);
        if (!named) return std::unexpected(corrupt());
        if (*named) return Ensured{**named, false};
        auto created = new_schedule(spec, every_ms, first_run_ms);
        if (!created) return std::unexpected(created.error());
        if (auto put = tx.put_internal(schedule_key(created->first), created->second); !put) {
          return std::unexpected(JobError::engine(put.error()));
        }
        if (auto put = tx.put_internal(*name_key, encode_schedule_name(created->first)); !put) {
          return std::unexpected(JobError::engine(put.error()));
        }
        return Ensured{created->first, true};
      },
      records::EmptyTransaction::Drop);
}

std::expected<std::optional<DurableSchedule>, JobError> get_schedule(const engine::Store& store, const ScheduleId& id) {
  const auto value = store.find(schedule_key(id));
  if (!value) return std::optional<DurableSchedule>{};
  auto schedule = decode_schedule(*value);
  if (!schedule) return std::unexpected(schedule.error());
  return std::optional<DurableSchedule>(std::move(*schedule));
}

std::expected<bool, JobError> set_schedule_enabled(engine::Store& store, const ScheduleId& id, bool enabled) {
  auto schedule = get_schedule(store, id);
  if (!schedule) return std::unexpected(schedule.error());
  if (!*schedule) return false;
  (*schedule)->enabled = enabled;
  auto record = encode_schedule(**schedule);
  if (!record) return std::unexpected(record.error());
  if (auto put = store.put_internal(schedule_key(id), *record); !put) {
    return std::unexpected(JobError::engine(put.error()));
  }
  return true;
}

std::expected<std::pair<uint64_t, uint64_t>, JobError> tick_schedules(engine::Store& store, int64_t now_ms,
                                                                      uint64_t limit) {
  const ScheduleIndex& index = store.derived_index<ScheduleIndex>();
  const uint64_t records = index.record_count();
  // Copied out: each firing commits, and commits change the index.
  const std::vector<std::string> candidates = tick_candidates(index, now_ms, limit);
  uint64_t fired = 0;
  for (const std::string& key : candidates) {
    if (fired == limit) break;
    const auto value = store.find(key);
    if (!value) continue;
    auto schedule = decode_schedule(*value);
    if (!schedule) return std::unexpected(schedule.error());
    if (!schedule->enabled || schedule->next_run_ms > now_ms) continue;
    const int64_t planned = schedule->next_run_ms;
    const JobSpec spec = occurrence_spec(schedule->job, planned);
    if (auto fault = check_job_spec(spec)) return std::unexpected(job_spec_error(*fault));
    if (schedule->every_ms) {
      auto next = next_interval_run(planned, *schedule->every_ms, now_ms);
      if (!next) return std::unexpected(next.error());
      schedule->next_run_ms = *next;
    } else {
      schedule->enabled = false;
    }
    auto record = encode_schedule(*schedule);
    if (!record) return std::unexpected(record.error());
    auto job_id = new_job_id();
    if (!job_id) return std::unexpected(job_id.error());
    auto tx = store.begin();
    if (!tx) return std::unexpected(JobError::engine(tx.error()));
    if (auto staged = stage_new_job(*tx, job_from_spec(spec, *job_id), now_ms, "scheduled"); !staged) {
      return std::unexpected(staged.error());
    }
    if (auto put = tx->put_internal(key, *record); !put) return std::unexpected(JobError::engine(put.error()));
    if (auto committed = tx->commit(); !committed) return std::unexpected(JobError::engine(committed.error()));
    ++fired;
  }
  return std::pair<uint64_t, uint64_t>{records, fired};
}

}  // namespace ombrel::jobs
