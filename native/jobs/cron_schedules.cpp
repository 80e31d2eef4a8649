#include "jobs/cron_schedules.h"

#include <algorithm>
#include <limits>

#include "engine/keyspace.h"
#include "jobs/cron_schedule_index.h"
#include "jobs/schedule_names.h"
#include "records/own_transaction.h"
#include "util/component_key.h"

namespace ombrel::jobs {
namespace {

constexpr uint8_t kFormatVersion = 1;
// Version 1 and one more byte: the missed-run policy, always Skip.
constexpr uint8_t kWithMissedRunsVersion = 2;

CronSchedulerError corrupt() { return CronSchedulerError::of(CronSchedulerError::Kind::Corrupt); }

std::expected<CronExpression, CronSchedulerError> parse_expression(BytesView expression) {
  auto parsed = CronExpression::parse(expression);
  if (!parsed) return std::unexpected(CronSchedulerError::of(CronSchedulerError::Kind::Cron, parsed.error()));
  return *parsed;
}

std::expected<int64_t, CronSchedulerError> next_run_after(const CronExpression& expression, int64_t after_ms) {
  auto next = next_after_utc_ms(expression, after_ms);
  if (!next) return std::unexpected(CronSchedulerError::of(CronSchedulerError::Kind::Cron, next.error()));
  return *next;
}

std::expected<void, CronSchedulerError> store_schedule(engine::Store& store, const DurableCronSchedule& schedule) {
  auto record = encode_cron_schedule(schedule);
  if (!record) return std::unexpected(record.error());
  if (auto put = store.put_internal(cron_schedule_key(schedule.id), *record); !put) {
    return std::unexpected(CronSchedulerError::engine(put.error()));
  }
  return {};
}

}  // namespace

Bytes cron_schedule_key(const CronScheduleId& id) {
  ComponentKey key(kCronDataPrefix);
  key.raw(id_view(id));
  return std::move(key).take();
}

Bytes cron_occurrence_key(const CronScheduleId& id, int64_t planned_ms) {
  ComponentKey key(kCronOccurrenceKeyPrefix);
  key.raw(id_view(id)).number(static_cast<uint64_t>(planned_ms));
  return std::move(key).take();
}

std::expected<Bytes, CronSchedulerError> encode_cron_schedule(const DurableCronSchedule& schedule) {
  if (!component_fits(schedule.expression) || !job_spec_fields_fit(schedule.job)) return std::unexpected(corrupt());
  Bytes out;
  ByteWriter w(out);
  const bool skips = schedule.missed_runs == MissedRuns::Skip;
  w.u8(skips ? kWithMissedRunsVersion : kFormatVersion);
  w.bytes(id_view(schedule.id));
  w.field_le(schedule.expression);
  encode_job_template(w, schedule.job);
  w.i64_le(schedule.next_run_ms);
  w.flag(schedule.enabled);
  w.u64_le(schedule.fire_count);
  w.optional_i64_le(schedule.last_fired_at_ms);
  if (skips) w.u8(static_cast<uint8_t>(MissedRuns::Skip));
  return out;
}

std::expected<DurableCronSchedule, CronSchedulerError> decode_cron_schedule(BytesView value) {
  ByteReader r(value);
  auto version = r.u8();
  if (!version || (*version != kFormatVersion && *version != kWithMissedRunsVersion)) return std::unexpected(corrupt());
  auto id = r.byte_array<kIdBytes>();
  auto expression = id ? r.field_le() : std::nullopt;
  if (!expression) return std::unexpected(corrupt());
  auto spec = decode_job_template(r);
  if (!spec) return std::unexpected(corrupt());
  auto next_run = r.i64_le();
  auto enabled = next_run ? r.flag() : std::nullopt;
  auto fire_count = enabled ? r.u64_le() : std::nullopt;
  auto last_fired = fire_count ? r.optional_i64_le() : std::nullopt;
  if (!last_fired) return std::unexpected(corrupt());
  MissedRuns missed_runs = MissedRuns::CatchUp;
  if (*version == kWithMissedRunsVersion) {
    auto policy = r.u8();
    if (!policy || *policy != static_cast<uint8_t>(MissedRuns::Skip)) return std::unexpected(corrupt());
    missed_runs = MissedRuns::Skip;
  }
  if (!r.at_end() || check_job_spec(*spec)) return std::unexpected(corrupt());
  if (!engine::is_valid_utf8(*expression)) {
    return std::unexpected(CronSchedulerError::of(CronSchedulerError::Kind::BadExpressionEncoding));
  }
  if (auto parsed = parse_expression(*expression); !parsed) return std::unexpected(parsed.error());
  DurableCronSchedule schedule;
  schedule.id = *id;
  schedule.expression.assign(*expression);
  schedule.job = std::move(*spec);
  schedule.next_run_ms = *next_run;
  schedule.enabled = *enabled;
  schedule.fire_count = *fire_count;
  schedule.last_fired_at_ms = *last_fired;
  schedule.missed_runs = missed_runs;
  return schedule;
}

std::optional<MissedRuns> missed_runs_from_name(std::string_view name) {
  if (name == "catch_up") return MissedRuns::CatchUp;
  if (name == "skip") return MissedRuns::Skip;
  return std::nullopt;
}

namespace {

// A new enabled schedule, first due at the first match after `after_ms`.
std::expected<DurableCronSchedule, CronSchedulerError> new_cron_schedule(std::string_view expression,
                                                                         const JobSpec& spec, int64_t after_ms,
                                                                         MissedRuns missed_runs) {
  if (check_job_spec(spec)) return std::unexpected(corrupt());
  auto parsed = parse_expression(expression);
  if (!parsed) return std::unexpected(parsed.error());
  auto id = new_job_id();
  if (!id) return std::unexpected(CronSchedulerError::of(CronSchedulerError::Kind::NoEntropy));
  auto next_run = next_run_after(*parsed, after_ms);
  if (!next_run) return std::unexpected(next_run.error());
  return DurableCronSchedule{*id, Bytes(expression), spec, *next_run, true, 0, std::nullopt, missed_runs};
}

}  // namespace

std::expected<CronScheduleId, CronSchedulerError> create_cron_schedule(engine::Store& store,
                                                                       std::string_view expression, const JobSpec& spec,
                                                                       int64_t after_ms) {
  auto schedule = new_cron_schedule(expression, spec, after_ms, MissedRuns::CatchUp);
  if (!schedule) return std::unexpected(schedule.error());
  if (auto stored = store_schedule(store, *schedule); !stored) return std::unexpected(stored.error());
  return schedule->id;
}

std::expected<std::pair<CronScheduleId, bool>, CronSchedulerError> ensure_cron_schedule(
    engine::Store& store, BytesView name, std::string_view expression, const JobSpec& spec, int64_t after_ms,
    MissedRuns missed_runs) {
  using Ensured = std::pair<CronScheduleId, bool>;
  if (name.empty()) return std::unexpected(CronSchedulerError::of(CronSchedulerError::Kind::EmptyName));
  auto name_key = schedule_name_key(kCronNamePrefix, name);
  if (!name_key) return std::unexpected(corrupt());
  return records::in_own_transaction(
      store,
      [&](engine::Transaction& tx) -> std::expected<Ensured, CronSchedulerError> {
        auto named = named_schedule(tx, *name_key, cron_schedule_key);
        if (!named) return std::unexpected(corrupt());
        if (*named) return Ensured{**named, false};
        auto schedule = new_cron_schedule(expression, spec, after_ms, missed_runs);
        if (!schedule) return std::unexpected(schedule.error());
        auto record = encode_cron_schedule(*schedule);
        if (!record) return std::unexpected(record.error());
        if (auto put = tx.put_internal(cron_schedule_key(schedule->id), *record); !put) {
          return std::unexpected(CronSchedulerError::engine(put.error()));
        }
        if (auto put = tx.put_internal(*name_key, encode_schedule_name(schedule->id)); !put) {
          return std::unexpected(CronSchedulerError::engine(put.error()));
        }
        return Ensured{schedule->id, true};
      },
      records::EmptyTransaction::Drop);
}

std::expected<DurableCronSchedule, CronSchedulerError> decode_cron_schedule_under(BytesView key, BytesView value) {
  auto schedule = decode_cron_schedule(value);
  if (schedule && key != cron_schedule_key(schedule->id)) return std::unexpected(corrupt());
  return schedule;
}

std::expected<std::optional<DurableCronSchedule>, CronSchedulerError> get_cron_schedule(const engine::Store& store,
                                                                                        const CronScheduleId& id) {
  const Bytes key = cron_schedule_key(id);
  const auto value = store.find(key);
  if (!value) return std::optional<DurableCronSchedule>{};
  auto schedule = decode_cron_schedule_under(key, *value);
  if (!schedule) return std::unexpected(schedule.error());
  return std::optional<DurableCronSchedule>(std::move(*schedule));
}

std::expected<std::vector<DurableCronSchedule>, CronSchedulerError> list_cron_schedules(const engine::Store& store) {
  std::vector<DurableCronSchedule> schedules;
  for (const auto& [key, value] : store.prefix_range(kCronDataPrefix)) {
    auto schedule = decode_cron_schedule_under(key, value);
    if (!schedule) return std::unexpected(schedule.error());
    schedules.push_back(std::move(*schedule));
  }
  std::stable_sort(schedules.begin(), schedules.end(), [](const DurableCronSchedule& a, const DurableCronSchedule& b) {
    return a.next_run_ms < b.next_run_ms;
  });
  return schedules;
}

std::expected<bool, CronSchedulerError> set_cron_schedule_enabled(engine::Store& store, const CronScheduleId& id,
                                                                  bool enabled) {
  auto schedule = get_cron_schedule(store, id);
  if (!schedule) return std::unexpected(schedule.error());
  if (!*schedule) return false;
  (*schedule)->enabled = enabled;
  if (auto stored = store_schedule(store, **schedule); !stored) return std::unexpected(stored.error());
  return true;
}

namespace {

// Fires one due schedule: its job first, then the schedule moved on to the
// occurrence after the one fired, each in a commit of its own.
std::expected<void, CronSchedulerError> fire(engine::Store& store, DurableCronSchedule& schedule, int64_t now_ms) {
  const int64_t planned = schedule.next_run_ms;
  auto expression = parse_expression(schedule.expression);
  if (!expression) return std::unexpected(expression.error());
  JobSpec spec = schedule.job;
  spec.available_at_ms = planned;
  spec.idempotency_key = cron_occurrence_key(schedule.id, planned);
  if (auto job = submit_job(store, spec, now_ms); !job)
    return std::unexpected(CronSchedulerError::of(CronSchedulerError::Kind::Job, job.error()));
  if (schedule.fire_count == std::numeric_limits<uint64_t>::max()) {
    return std::unexpected(CronSchedulerError::of(CronSchedulerError::Kind::FireCountOverflow));
  }
  schedule.fire_count += 1;
  schedule.last_fired_at_ms = planned;
  // Caught up, the next run is the occurrence after the one fired; skipped,
  // the first one after now, however many were missed.
  const int64_t after = schedule.missed_runs == MissedRuns::Skip ? std::max(planned, now_ms) : planned;
  auto next_run = next_run_after(*expression, after);
  if (!next_run) return std::unexpected(next_run.error());
  schedule.next_run_ms = *next_run;
  return store_schedule(store, schedule);
}

}  // namespace

std::expected<std::pair<uint64_t, uint64_t>, CronSchedulerError> tick_cron_schedules(engine::Store& store,
                                                                                     int64_t now_ms, uint64_t limit) {
  const CronScheduleIndex& index = store.derived_index<CronScheduleIndex>();
  // A damaged record fails the tick before anything fires, as it fails the
  // listing of every schedule.
  for (const std::string& key : index.unindexed()) {
    const auto value = store.find(key);
    if (!value) continue;
    if (auto schedule = decode_cron_schedule_under(key, *value); !schedule) return std::unexpected(schedule.error());
  }
  const uint64_t listed = index.record_count();
  // Copied out: each firing commits, and commits change the index.
  const std::vector<CronScheduleId> due = due_cron_schedules(index, now_ms, limit);
  uint64_t fired = 0;
  for (const CronScheduleId& id : due) {
    const Bytes key = cron_schedule_key(id);
    const auto value = store.find(key);
    if (!value) continue;
    auto schedule = decode_cron_schedule_under(key, *value);
    if (!schedule) return std::unexpected(schedule.error());
    if (!schedule->enabled || schedule->next_run_ms > now_ms) continue;
    if (auto fired_one = fire(store, *schedule, now_ms); !fired_one) return std::unexpected(fired_one.error());
    ++fired;
  }
  return std::pair<uint64_t, uint64_t>{listed, fired};
}

}  // namespace ombrel::jobs
