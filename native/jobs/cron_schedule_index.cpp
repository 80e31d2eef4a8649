#include "jobs/cron_schedule_index.h"

namespace ombrel::jobs {

std::optional<std::optional<TimedId<kIdBytes>>> CronScheduleTiming::entry(std::string_view key,
                                                                          std::string_view value) {
  auto schedule = decode_cron_schedule_under(key, value);
  if (!schedule) return std::nullopt;
  if (!schedule->enabled) return std::optional<TimedId<kIdBytes>>{};
  return std::optional<TimedId<kIdBytes>>(TimedId<kIdBytes>{schedule->next_run_ms, schedule->id});
}

std::vector<CronScheduleId> due_cron_schedules(const CronScheduleIndex& index, int64_t now_ms, uint64_t limit) {
  std::vector<CronScheduleId> due;
  for (const TimedId<kIdBytes>& entry : index.entries().by_time()) {
    if (due.size() == limit || entry.at > now_ms) break;
    due.push_back(entry.id);
  }
  return due;
}

}  // namespace ombrel::jobs
