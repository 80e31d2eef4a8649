// Interval schedules: a job template turned into durable jobs at planned
// times, once ("once" mode) or at a first time and then every every_ms
// milliseconds ("interval" mode). Errors are JobError values.
//
// Contract: tick_schedules(now_ms, limit) walks the schedule records in id
// order and fires each enabled schedule whose next_run_ms <= now_ms, at most
// `limit` of them. A firing creates one job (available at the planned time T,
// idempotency key = template key + T as 8 big-endian bytes when the template
// has a key), writes its "submitted" history entry (detail "scheduled") and
// moves the schedule on, all in one commit. Missed intervals are not made up:
// an interval schedule jumps to its first planned time after now_ms; a once
// schedule is disabled and keeps its next_run_ms. Each schedule is its own
// commit; an error ends the tick and keeps the firings before it. The walk
// visits only what the schedule index (jobs/schedule_index.h) names, so a
// tick costs what is due rather than what is stored; it still reports every
// schedule record as read.
//
//   state                              event                    next
//   enabled, next_run_ms > now         tick                     unchanged
//   enabled, due, interval             tick (within limit)      next_run_ms = first T + k*every_ms > now; one job
//   enabled, due, once                 tick (within limit)      disabled, next_run_ms unchanged; one job
//   any                                set_schedule_enabled     flag as asked
//
// Key: 0xFF "omb:schedule:data:" | id (16)                        35 bytes
// Name: 0xFF "omb:schedule:name:" | name (component)  -> schedule id (jobs/schedule_names.h)
//
// Record value (little-endian):
//   offset     width  field
//   0          1      format version, 1
//   1          16     id
//   17         1      enabled (0 or 1)
//   18         8      next_run_ms (signed)
//   26         1      every_ms flag (0 once, 1 interval)
//   27         8      every_ms, never 0            (flag 1 only)
//   27 or 35   4      template length J
//   31 or 39   J      template: a job record (jobs.h) with a zero id, state
//                     ready, no attempts and no lease
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <utility>

#include "engine/key_area.h"
#include "engine/store.h"
#include "jobs/job_spec.h"
#include "jobs/jobs.h"

namespace ombrel::jobs {

inline constexpr engine::KeyArea kScheduleArea{"schedules", {"\xFFomb:schedule:", 14}};
inline constexpr std::string_view kScheduleDataPrefix{"\xFFomb:schedule:data:", 19};
inline constexpr std::string_view kScheduleNamePrefix{"\xFFomb:schedule:name:", 19};
static_assert(kScheduleArea.holds(kScheduleDataPrefix) && kScheduleArea.holds(kScheduleNamePrefix));

using ScheduleId = JobId;

struct DurableSchedule {
  ScheduleId id{};
  JobSpec job;
  std::optional<uint64_t> every_ms;  // absent: once mode
  int64_t next_run_ms = 0;
  bool enabled = true;
};

Bytes schedule_key(const ScheduleId& id);
std::expected<Bytes, JobError> encode_schedule(const DurableSchedule& schedule);
std::expected<DurableSchedule, JobError> decode_schedule(BytesView value);

// An every_ms of 0 is "schedule is invalid".
std::expected<ScheduleId, JobError> create_schedule(engine::Store& store, const JobSpec& spec,
                                                    std::optional<uint64_t> every_ms, int64_t first_run_ms);
// The schedule named `name`, or a new one created as create_schedule does
// and named so, in one commit; (id, whether it was created). An empty name
// is "schedule name cannot be empty".
std::expected<std::pair<ScheduleId, bool>, JobError> ensure_schedule(engine::Store& store, BytesView name,
                                                                     const JobSpec& spec,
                                                                     std::optional<uint64_t> every_ms,
                                                                     int64_t first_run_ms);
std::expected<std::optional<DurableSchedule>, JobError> get_schedule(const engine::Store& store, const ScheduleId& id);
std::expected<bool, JobError> set_schedule_enabled(engine::Store& store, const ScheduleId& id, bool enabled);
// (records read, schedules fired)
std::expected<std::pair<uint64_t, uint64_t>, JobError> tick_schedules(engine::Store& store, int64_t now_ms,
                                                                      uint64_t limit);

// The first time T + k * every_ms (k >= 1) after now_ms, for T <= now_ms,
// computed directly rather than by stepping: a schedule that is far behind
// must not cost one step per missed interval. every_ms above the largest
// signed time, or a result past it, is "time value overflowed".
std::expected<int64_t, JobError> next_interval_run(int64_t planned_ms, uint64_t every_ms, int64_t now_ms);

}  // namespace ombrel::jobs
