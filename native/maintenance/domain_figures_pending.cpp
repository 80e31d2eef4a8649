// Until queues and objects exist: no queue holds a message and no object has
// been read.
#include "maintenance/domain_figures.h"

namespace ombrel::messaging {

std::string QueueError::message() const { return {}; }

std::expected<QueueStats, QueueError> aggregate_stats(const engine::Store&) {
  return QueueStats{0, 0, 0, 0, std::nullopt};
}

}  // namespace ombrel::messaging

namespace ombrel::records {

ObjectReadCounters object_read_counters() { return ObjectReadCounters{0, 0}; }

}  // namespace ombrel::records
