// Schedule names: one record per named schedule, so that a service that
// creates its schedules at start-up finds them again rather than adding one
// per restart. A lookup is one key read, at any number of schedules.
//
// Contract: a name record lives under its kind's name prefix (interval and
// cron schedules each have theirs) followed by the name as a component
// (util/component_key.h). A name names the schedule whose id its record
// holds while that schedule's record exists; a record whose schedule is gone
// names nothing, and ensuring the name again replaces it. The name records
// are plain live keys: compaction, snapshots and reopening keep them.
//
// Name value (little-endian):
//   offset  width  field
//   0       1      format version, 1
//   1       16     schedule id
//   The value ends exactly after the id.
#pragma once

#include <expected>
#include <optional>
#include <string_view>

#include "engine/transaction.h"
#include "jobs/jobs.h"
#include "util/byte_codec.h"

namespace ombrel::jobs {

// nullopt when the name is longer than a component can be.
std::optional<Bytes> schedule_name_key(std::string_view name_prefix, BytesView name);
Bytes encode_schedule_name(const JobId& id);
std::optional<JobId> decode_schedule_name(BytesView value);

enum class NamedScheduleFault : uint8_t { Corrupt };
// The id named under `name_key` in the transaction's view when the record
// under record_key(id) exists too; nullopt when the name names nothing; a
// name record that does not decode is Corrupt.
template <class RecordKey>
std::expected<std::optional<JobId>, NamedScheduleFault> named_schedule(const engine::Transaction& tx,
                                                                       BytesView name_key, RecordKey record_key) {
  const auto value = tx.get_internal(name_key);
  if (!value) return std::optional<JobId>{};
  const auto id = decode_schedule_name(*value);
  if (!id) return std::unexpected(NamedScheduleFault::Corrupt);
  if (!tx.get_internal(record_key(*id))) return std::optional<JobId>{};
  return std::optional<JobId>(*id);
}

}  // namespace ombrel::jobs
