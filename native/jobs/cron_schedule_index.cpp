#include "jobs/cron_schedule_index.h"

#include <optional>

namespace ombrel::jobs {
namespace {

// The index entry of an enabled schedule; nullopt for a disabled one. The
// outer nullopt: the record cannot be indexed.
std::optional<std::optional<TimedId<kIdBytes>>> entry_of(std::string_view key, std::string_view value) {
  auto schedule = decode_cron_schedule_under(key, value);
  if (!schedule) return std::nullopt;
  if (!schedule->enabled) return std::optional<TimedId<kIdBytes>>{};
  return std::optional<TimedId<kIdBytes>>(TimedId<kIdBytes>{schedule->next_run_ms, schedule->id});
}

}  // namespace

bool CronScheduleEntries::take(std::string_view key, std::string_view value) {
  auto entry = entry_of(key, value);
  if (!entry) return false;
  if (*entry) enabled_by_next_run_.insert(**entry);
  return true;
}

void CronScheduleEntries::drop(std::string_view key, std::string_view value) {
  if (auto entry = entry_of(key, value); entry && *entry) enabled_by_next_run_.erase(**entry);
}

std::vector<CronScheduleId> due_cron_schedules(const CronScheduleIndex& index, int64_t now_ms, uint64_t limit) {
  std::vector<CronScheduleId> due;
  for (const TimedId<kIdBytes>& entry : index.entries().enabled_by_next_run()) {
    if (due.size() == limit || entry.at > now_ms) break;
    due.push_back(entry.id);
  }
  return due;
}

}  // namespace ombrel::jobs
