#include "maintenance/operations.h"

#include <algorithm>

#include "engine/change_feed.h"
#include "engine/key_area.h"
#include "jobs/cron_schedules.h"
#include "jobs/jobs.h"
#include "jobs/schedules.h"
#include "jobs/triggers.h"
#include "jobs/workflow.h"
#include "messaging/consumer_group.h"
#include "messaging/outbox.h"
#include "messaging/queue.h"
#include "messaging/rpc.h"
#include "messaging/stream.h"
#include "records/collection.h"
#include "records/objects.h"
#include "util/byte_codec.h"
#include "util/clock.h"

namespace ombrel::maintenance {
namespace {

using engine::EngineError;

bool checked_add(uint64_t& total, uint64_t amount) {
  if (total > UINT64_MAX - amount) return false;
  total += amount;
  return true;
}

// The key areas of the health report, in report order. No domain keeps keys
// under "ttl" yet; its row is reported all the same.
constexpr engine::KeyArea kTtlArea{"ttl", {"\xFFomb:ttl:", 9}};
constexpr std::array kKeyAreas{
    kTtlArea,
    records::kCollectionArea,
    messaging::kQueueArea,
    jobs::kJobArea,
    jobs::kScheduleArea,
    jobs::kCronArea,
    jobs::kTriggerArea,
    messaging::kOutboxArea,
    messaging::kRpcArea,
    engine::kChangeFeedArea,
    messaging::kStreamArea,
    messaging::kSubscriptionArea,
    messaging::kConsumerGroupArea,
    records::kObjectArea,
    jobs::kWorkflowArea,
};
static_assert(std::ranges::all_of(kKeyAreas, engine::is_key_area));
// Disjoint, so that a key counts in one area at most.
static_assert(std::ranges::none_of(kKeyAreas, [](const engine::KeyArea& outer) {
  return std::ranges::count_if(kKeyAreas, [&](const engine::KeyArea& inner) { return outer.holds(inner.prefix); }) != 1;
}));

// Keys and value bytes under each area, kept by commits.
struct KeyAreaIndex {
  static constexpr std::array<std::string_view, 1> kPrefixes{engine::kInternalPrefix};
  std::array<NamespaceUsage, kKeyAreas.size()> usage{};
  bool overflowed = false;  // sticky: a byte sum passed 2^64 - 1

  void apply(std::string_view key, std::optional<std::string_view> before, std::optional<std::string_view> after) {
    for (size_t i = 0; i < kKeyAreas.size(); ++i) {
      if (!key.starts_with(kKeyAreas[i].prefix)) continue;
      NamespaceUsage& area = usage[i];
      if (before) {
        --area.keys;
        area.value_bytes -= std::min<uint64_t>(area.value_bytes, before->size());
      }
      if (after) {
        ++area.keys;
        if (!checked_add(area.value_bytes, after->size())) overflowed = true;
      }
      return;
    }
  }
};

OperationsError overflow() { return OperationsError::of(OperationsError::Kind::AccountingOverflow); }

template <class Set>
void append_counters(const Set& set, std::vector<NamedCounter>& out) {
  for (const auto& counter : Set::kNames) out.push_back(NamedCounter{counter.name, set.*counter.field});
}

// "metrics": the engine's counter set, then the domains' sets, in report order.
std::vector<NamedCounter> metrics_of(const engine::Store& store) {
  std::vector<NamedCounter> metrics;
  append_counters(store.metrics_snapshot(), metrics);
  append_counters(store.read_domain_counters<messaging::QueueCounters>(), metrics);
  append_counters(store.read_domain_counters<records::ObjectCounters>(), metrics);
  return metrics;
}

uint64_t wall_clock_ms() {
  WallClockReading now = read_wall_clock();
  if (now.before_epoch) return 0;
  if (now.seconds > UINT64_MAX / 1000) return UINT64_MAX;
  uint64_t ms = now.seconds * 1000;
  saturating_add(ms, now.nanoseconds / 1'000'000);
  return ms;
}

}  // namespace

double StorageStats::amplification_ratio() const {
  if (live_bytes != 0) return static_cast<double>(file_bytes) / static_cast<double>(live_bytes);
  return file_bytes == 0 ? 1.0 : static_cast<double>(file_bytes);
}

std::expected<StorageStats, OperationsError> storage_stats(engine::Store& store) {
  auto size = store.file().size();
  if (!size) return std::unexpected(OperationsError::of(OperationsError::Kind::Io, size.error()));
  StorageStats stats;
  stats.file_bytes = *size;
  // Counts cannot pass the number of entries, a size_t; the byte sums can.
  const engine::Store::KeyTotals& totals = store.key_totals();
  if (totals.overflowed) return std::unexpected(overflow());
  stats.live_keys = totals.live_keys;
  stats.user_keys = totals.user_keys;
  stats.internal_keys = totals.internal_keys;
  stats.key_bytes = totals.key_bytes;
  stats.value_bytes = totals.value_bytes;
  stats.live_bytes = stats.key_bytes;
  if (!checked_add(stats.live_bytes, stats.value_bytes)) return std::unexpected(overflow());
  return stats;
}

uint64_t ready_lag_ms(uint64_t now_ms, int64_t oldest_ready_at_ms) {
  if (oldest_ready_at_ms < 0) return now_ms;
  const auto oldest = static_cast<uint64_t>(oldest_ready_at_ms);
  return oldest > now_ms ? 0 : now_ms - oldest;
}

std::expected<HealthReport, OperationsError> health_report(engine::Store& store) {
  HealthReport report;
  auto stats = storage_stats(store);
  if (!stats) return std::unexpected(stats.error());
  report.storage = *stats;

  const KeyAreaIndex& areas = store.derived_index<KeyAreaIndex>();
  if (areas.overflowed) return std::unexpected(overflow());
  for (size_t i = 0; i < kKeyAreas.size(); ++i) {
    report.namespaces.push_back(areas.usage[i]);
    report.namespaces.back().name = kKeyAreas[i].name;
  }

  auto queues = messaging::aggregate_stats(store);
  if (!queues) return std::unexpected(OperationsError::of(OperationsError::Kind::QueueHealth, queues.error()));
  report.queue_ready = queues->ready;
  report.queue_leased = queues->leased;
  report.queue_dead = queues->dead;
  report.queue_total = queues->total;
  report.queue_oldest_ready_at_ms = queues->oldest_ready_at_ms;
  if (queues->oldest_ready_at_ms)
    report.queue_ready_lag_ms = ready_lag_ms(wall_clock_ms(), *queues->oldest_ready_at_ms);

  report.compaction_backlog_bytes = stats->file_bytes > stats->live_bytes ? stats->file_bytes - stats->live_bytes : 0;
  const auto& options = store.options();
  report.max_bytes = options.max_bytes;
  report.namespace_max_bytes = options.namespace_max_bytes;
  report.within_limit = !(options.max_bytes && stats->file_bytes > *options.max_bytes);
  report.store_id = store.header().store_id;
  report.format_major = store.header().format_major;
  report.format_minor = store.header().format_minor;
  report.lock_contentions_total = engine::lock_contentions_total();
  const records::ObjectReadCounters objects = records::object_read_counters();
  report.object_reads_total = objects.reads;
  report.object_bytes_read_total = objects.bytes_read;
  report.metrics = metrics_of(store);
  return report;
}

}  // namespace ombrel::maintenance
