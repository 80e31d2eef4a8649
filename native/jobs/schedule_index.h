// The derived index of interval schedules (engine/derived_index.h): which
// schedules a tick has to look at, so that a tick with nothing due costs the
// same however many schedules the store holds.
//
// Contract: counts every record under the schedule prefix (a tick reports
// that count); keeps each enabled schedule of a 35-byte key by next_run_ms
// (24 bytes in a B-tree); a key of another length or a value that does not
// decode stays unindexed. tick_candidates(now, limit) is, in key order, the
// `limit` smallest-id schedules due at now and every unindexed key. Walking
// them with the tick's own decoding and due test fires the same schedules in
// the same order, and fails on the same record, as walking every record:
// every due schedule before the walk's stopping point is among the first
// `limit` due ids, and the records it skips are neither due nor damaged.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/schedules.h"
#include "util/record_index.h"

namespace ombrel::jobs {

struct ScheduleTiming {
  static constexpr std::array<std::string_view, 1> kPrefixes{kScheduleDataPrefix};
  // By next_run_ms while enabled.
  static std::optional<std::optional<TimedId<kIdBytes>>> entry(std::string_view key, std::string_view value);
};

using ScheduleIndex = RecordIndex<TimedEntries<ScheduleTiming, kIdBytes>>;

std::vector<std::string> tick_candidates(const ScheduleIndex& index, int64_t now_ms, uint64_t limit);

}  // namespace ombrel::jobs
