#include "jobs/schedule_index.h"

#include <optional>

namespace ombrel::jobs {
namespace {

// The index entry of an enabled schedule; nullopt for a disabled one. The
// outer nullopt: the record cannot be indexed.
std::optional<std::optional<TimedId<kIdBytes>>> entry_of(std::string_view key, std::string_view value) {
  auto id = id_after_prefix<kIdBytes>(key, kScheduleDataPrefix);
  if (!id) return std::nullopt;
  auto schedule = decode_schedule(value);
  if (!schedule) return std::nullopt;
  if (!schedule->enabled) return std::optional<TimedId<kIdBytes>>{};
  return std::optional<TimedId<kIdBytes>>(TimedId<kIdBytes>{schedule->next_run_ms, *id});
}

}  // namespace

bool ScheduleEntries::take(std::string_view key, std::string_view value) {
  auto entry = entry_of(key, value);
  if (!entry) return false;
  if (*entry) enabled_by_next_run_.insert(**entry);
  return true;
}

void ScheduleEntries::drop(std::string_view key, std::string_view value) {
  if (auto entry = entry_of(key, value); entry && *entry) enabled_by_next_run_.erase(**entry);
}

std::vector<std::string> tick_candidates(const ScheduleIndex& index, int64_t now_ms, uint64_t limit) {
  if (limit == 0) return {};
  return keys_in_key_order(kScheduleDataPrefix,
                           smallest_due_ids(index.entries().enabled_by_next_run(), now_ms, limit),
                           index.unindexed());
}

}  // namespace ombrel::jobs
