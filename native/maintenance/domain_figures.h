// Figures the health report takes from other layers: the queue backlog over
// every queue of the store and the process-wide object read counters.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

namespace ombrel::engine {
class Store;
}

namespace ombrel::messaging {

struct QueueError {
  std::string message() const;
};

struct QueueStats {
  uint64_t ready;
  uint64_t leased;
  uint64_t dead;
  uint64_t total;
  std::optional<int64_t> oldest_ready_at_ms;
};

std::expected<QueueStats, QueueError> aggregate_stats(const engine::Store& store);

}  // namespace ombrel::messaging

namespace ombrel::records {

struct ObjectReadCounters {
  uint64_t reads;
  uint64_t bytes_read;
};

ObjectReadCounters object_read_counters();

}  // namespace ombrel::records
