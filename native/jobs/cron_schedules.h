// Cron schedules: a job template submitted as a durable job at every minute
// that matches a five-field cron expression (UTC).
//
// Contract: tick_cron_schedules(now_ms, limit) counts every schedule (a
// corrupt record fails the tick before anything fires) and fires, by
// next_run_ms and then id, each enabled schedule whose next_run_ms T <=
// now_ms, at most `limit` of them and each at most once; it finds them
// through the cron schedule index (jobs/cron_schedule_index.h) and reads
// only the records it fires. A firing submits one job
// exactly as submit_job does, available at T and keyed
// "omb:cron:" | schedule id | T (8 bytes big-endian), then moves the
// schedule to the first matching minute after T (not after now), so missed
// occurrences are caught up one per tick, in order. The job and the schedule
// are two commits: if the second never happens the next tick fires T again
// and, while the first job is ready or leased, gets that job back through
// its idempotency key instead of a duplicate. A schedule whose missed runs
// are skipped (MissedRuns::Skip, set by ensure_cron_schedule) fires T once
// and then moves to the first matching minute after now_ms instead.
//
//   state                          event                      next
//   enabled, next_run_ms > now     tick                       unchanged
//   enabled, due                   tick (within limit)        job for T; fire_count + 1; last_fired_at_ms = T;
//                                                             next_run_ms = next match after T
//                                                             (Skip: after max(T, now))
//   any                            set_cron_schedule_enabled  flag as asked, nothing else
//
// Key: 0xFF "omb:cron:data:" | id (16)                       31 bytes
// Name: 0xFF "omb:cron:name:" | name (component)  -> schedule id (jobs/schedule_names.h)
//
// Record value (little-endian, no gaps):
//   width        field
//   1            format version, 1
//   16           id
//   4 + E        expression length, expression (UTF-8)
//   ...          job template (job_spec.h layout)
//   8            next_run_ms (signed)
//   1            enabled (0 or 1)
//   8            fire_count
//   1 (+8)       1 then last_fired_at_ms (signed), or 0 when never fired
//   1            missed runs: 1 skip                (version 2 only)
// A schedule that catches up its missed runs is written as version 1, as
// every schedule was before the policy existed; one that skips them as
// version 2, whose one more byte is always 1.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/domain_error.h"
#include "engine/key_area.h"
#include "engine/store.h"
#include "jobs/cron.h"
#include "jobs/job_spec.h"
#include "jobs/jobs.h"

namespace ombrel::jobs {

inline constexpr engine::KeyArea kCronArea{"cron", {"\xFFomb:cron:", 10}};
inline constexpr std::string_view kCronDataPrefix{"\xFFomb:cron:data:", 15};
inline constexpr std::string_view kCronNamePrefix{"\xFFomb:cron:name:", 15};
static_assert(kCronArea.holds(kCronDataPrefix) && kCronArea.holds(kCronNamePrefix));
// The prefix of the idempotency keys of cron jobs (an ordinary byte string,
// not an internal key).
inline constexpr std::string_view kCronOccurrenceKeyPrefix{"omb:cron:"};

struct CronSchedulerErrorTexts {
  enum class Kind : uint8_t {
    Engine,
    Job,
    Cron,
    BadExpressionEncoding,
    Corrupt,
    FireCountOverflow,
    NoEntropy,
    EmptyName
  };
  static constexpr auto kTexts = std::to_array<engine::ErrorText<Kind>>({
      {Kind::Engine, "store error: {}"},
      {Kind::Job, "job error: {}"},
      {Kind::Cron, "cron error: {}"},
      {Kind::BadExpressionEncoding, "cron expression must be UTF-8"},
      {Kind::Corrupt, "cron schedule record is corrupt"},
      {Kind::FireCountOverflow, "cron fire count overflow"},
      {Kind::NoEntropy, "OS entropy unavailable"},
      {Kind::EmptyName, "cron schedule name cannot be empty"},
  });
};
using CronSchedulerError = engine::DomainError<CronSchedulerErrorTexts>;

using CronScheduleId = JobId;

enum class MissedRuns : uint8_t { CatchUp = 0, Skip = 1 };
// "catch_up", "skip"
std::optional<MissedRuns> missed_runs_from_name(std::string_view name);

struct DurableCronSchedule {
  CronScheduleId id{};
  Bytes expression;
  JobSpec job;
  int64_t next_run_ms = 0;
  bool enabled = true;
  uint64_t fire_count = 0;
  std::optional<int64_t> last_fired_at_ms;
  MissedRuns missed_runs = MissedRuns::CatchUp;
};

Bytes cron_schedule_key(const CronScheduleId& id);
std::expected<Bytes, CronSchedulerError> encode_cron_schedule(const DurableCronSchedule& schedule);
// Refuses a broken layout, an empty handler or max_attempts 0 (corrupt),
// an expression that is not UTF-8, and one that does not parse.
std::expected<DurableCronSchedule, CronSchedulerError> decode_cron_schedule(BytesView value);

// decode_cron_schedule, and also refused as corrupt when the schedule's id
// is not the one in `key`: a tick writes a schedule back under the key of the
// id it carries, which would overwrite another schedule.
std::expected<DurableCronSchedule, CronSchedulerError> decode_cron_schedule_under(BytesView key, BytesView value);

// The idempotency key of the job of occurrence `planned_ms` (33 bytes).
Bytes cron_occurrence_key(const CronScheduleId& id, int64_t planned_ms);

std::expected<CronScheduleId, CronSchedulerError> create_cron_schedule(engine::Store& store,
                                                                       std::string_view expression, const JobSpec& spec,
                                                                       int64_t after_ms);
// The cron schedule named `name`, or a new one created as
// create_cron_schedule does (with this missed-run policy) and named so, in one
// commit; (id, whether it was created).
std::expected<std::pair<CronScheduleId, bool>, CronSchedulerError> ensure_cron_schedule(
    engine::Store& store, BytesView name, std::string_view expression, const JobSpec& spec, int64_t after_ms,
    MissedRuns missed_runs);
std::expected<std::optional<DurableCronSchedule>, CronSchedulerError> get_cron_schedule(const engine::Store& store,
                                                                                        const CronScheduleId& id);
// By next_run_ms; equal times keep id order.
std::expected<std::vector<DurableCronSchedule>, CronSchedulerError> list_cron_schedules(const engine::Store& store);
std::expected<bool, CronSchedulerError> set_cron_schedule_enabled(engine::Store& store, const CronScheduleId& id,
                                                                  bool enabled);
// (schedules listed, schedules fired)
std::expected<std::pair<uint64_t, uint64_t>, CronSchedulerError> tick_cron_schedules(engine::Store& store,
                                                                                     int64_t now_ms, uint64_t limit);

}  // namespace ombrel::jobs
