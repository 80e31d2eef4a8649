// The derived index of cron schedules (engine/derived_index.h): the enabled
// schedules by next run, so that a tick reads only the schedules it fires.
//
// Contract: counts every record under the cron prefix (a tick reports that
// count); keeps each enabled schedule by (next_run_ms, id), 24 bytes in a
// B-tree; a record that a read would refuse (a broken value, an expression
// that does not parse, an id that is not its key's, a key of another shape)
// stays unindexed, and a tick fails on the first of them in key order before
// anything fires, as a tick that lists every schedule does. due_cron_schedules
// gives the first `limit` enabled schedules with next_run_ms <= now in
// (next_run_ms, id) order: the order of a stable sort by next_run_ms of the
// records in key order.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "jobs/cron_schedules.h"
#include "util/record_index.h"

namespace ombrel::jobs {

struct CronScheduleTiming {
  static constexpr std::array<std::string_view, 1> kPrefixes{kCronDataPrefix};
  // By next_run_ms while enabled.
  static std::optional<std::optional<TimedId<kIdBytes>>> entry(std::string_view key, std::string_view value);
};

using CronScheduleIndex = RecordIndex<TimedEntries<CronScheduleTiming, kIdBytes>>;

std::vector<CronScheduleId> due_cron_schedules(const CronScheduleIndex& index, int64_t now_ms, uint64_t limit);

}  // namespace ombrel::jobs
