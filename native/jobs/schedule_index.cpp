#include "jobs/schedule_index.h"

namespace ombrel::jobs {

std::optional<std::optional<TimedId<kIdBytes>>> ScheduleTiming::entry(std::string_view key, std::string_view value) {
  auto id = id_after_prefix<kIdBytes>(key, kScheduleDataPrefix);
  if (!id) return std::nullopt;
  auto schedule = decode_schedule(value);
  if (!schedule) return std::nullopt;
  if (!schedule->enabled) return std::optional<TimedId<kIdBytes>>{};
  return std::optional<TimedId<kIdBytes>>(TimedId<kIdBytes>{schedule->next_run_ms, *id});
}

std::vector<std::string> tick_candidates(const ScheduleIndex& index, int64_t now_ms, uint64_t limit) {
  if (limit == 0) return {};
  return keys_in_key_order(kScheduleDataPrefix, smallest_due_ids(index.entries().by_time(), now_ms, limit),
                           index.unindexed());
}

}  // namespace ombrel::jobs
