// The store's read-only reports: storage statistics (the file against its
// live data) and the health report (those figures, plus quotas, header
// version, per-area key counts of the internal namespace, queue backlog,
// the engine's in-memory counters and the process-wide counters). Both walk
// every live key and write nothing; a report is all or nothing.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/domain_error.h"
#include "engine/errors.h"
#include "engine/store.h"

namespace ombrel::maintenance {

struct OperationsErrorTexts {
  enum class Kind : uint8_t { Engine, QueueHealth, Io, AccountingOverflow };
  static constexpr auto kTexts = std::to_array<engine::ErrorText<Kind>>({
      {Kind::Engine, "store error: {}"},
      {Kind::QueueHealth, "queue health error: {}"},
      {Kind::Io, "I/O error: {}"},
      {Kind::AccountingOverflow, "storage accounting overflow"},
  });
};
using OperationsError = engine::DomainError<OperationsErrorTexts>;

struct StorageStats {
  uint64_t file_bytes = 0;
  uint64_t live_keys = 0;
  uint64_t user_keys = 0;
  uint64_t internal_keys = 0;
  uint64_t key_bytes = 0;
  uint64_t value_bytes = 0;
  uint64_t live_bytes = 0;  // key_bytes + value_bytes

  // file_bytes / live_bytes; with no live bytes, file_bytes itself (1.0 for
  // an empty file).
  double amplification_ratio() const;
};

// Keys and value bytes under one key area (engine/key_area.h).
struct NamespaceUsage {
  std::string_view name;
  uint64_t keys = 0;
  uint64_t value_bytes = 0;
};

// One counter of the health report's "metrics".
struct NamedCounter {
  const char* name;
  uint64_t value = 0;
};

struct HealthReport {
  std::array<uint8_t, 16> store_id{};
  uint16_t format_major = 0;
  uint16_t format_minor = 0;
  std::optional<uint64_t> max_bytes;
  std::optional<uint64_t> namespace_max_bytes;
  uint64_t compaction_backlog_bytes = 0;  // file_bytes - live_bytes, at least 0
  uint64_t lock_contentions_total = 0;
  uint64_t object_reads_total = 0;
  uint64_t object_bytes_read_total = 0;
  uint64_t queue_ready = 0;
  uint64_t queue_leased = 0;
  uint64_t queue_dead = 0;
  uint64_t queue_total = 0;
  std::optional<int64_t> queue_oldest_ready_at_ms;
  std::optional<uint64_t> queue_ready_lag_ms;  // present exactly with the oldest time
  std::vector<NamedCounter> metrics;           // in report order
  bool within_limit = true;                    // false only when max_bytes is set and exceeded
  StorageStats storage;
  std::vector<NamespaceUsage> namespaces;  // one per key area, in report order
};

std::expected<StorageStats, OperationsError> storage_stats(engine::Store& store);
std::expected<HealthReport, OperationsError> health_report(engine::Store& store);

// Milliseconds behind `now_ms` of the oldest ready time: 0 when it lies
// ahead; a time before the epoch counts as the epoch itself.
uint64_t ready_lag_ms(uint64_t now_ms, int64_t oldest_ready_at_ms);

}  // namespace ombrel::maintenance
