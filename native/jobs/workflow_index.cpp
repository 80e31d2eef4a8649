#include "jobs/workflow_index.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <tuple>

namespace ombrel::jobs {
namespace {

constexpr uint64_t kSignBit = uint64_t{1} << 63;
// A status entry's layout (workflow_index.h): status, time, id.
constexpr size_t kStatusEntryTimeOffset = 1;
constexpr size_t kStatusEntryIdOffset = kStatusEntryTimeOffset + 8;
static_assert(kStatusEntryIdOffset + kWorkflowIdBytes == std::tuple_size_v<WorkflowStatusEntry>);
constexpr WorkflowStatus kFinished[] = {WorkflowStatus::Completed, WorkflowStatus::Failed, WorkflowStatus::Cancelled};

int64_t status_entry_time(const WorkflowStatusEntry& entry) {
  uint64_t biased = 0;
  for (size_t i = kStatusEntryTimeOffset; i < kStatusEntryIdOffset; ++i) biased = biased << 8 | entry[i];
  return static_cast<int64_t>(biased ^ kSignBit);
}

WorkflowId status_entry_id(const WorkflowStatusEntry& entry) {
  WorkflowId id;
  std::copy(entry.begin() + kStatusEntryIdOffset, entry.end(), id.begin());
  return id;
}

constexpr WorkflowId kSmallestId{};

uint64_t parent_head(const WorkflowId& parent) {
  uint64_t head = 0;
  for (size_t i = 0; i < 8; ++i) head = head << 8 | parent[i];
  return head;
}

constexpr WorkflowStatus kStatuses[] = {WorkflowStatus::Running, WorkflowStatus::Waiting, WorkflowStatus::Completed,
                                        WorkflowStatus::Failed, WorkflowStatus::Cancelled};

struct WorkflowStatusCursor {
  int64_t updated_at_ms;
  WorkflowId id;
};

}  // namespace

uint32_t workflow_type_hash(BytesView workflow_type) {
  const uint64_t hash = std::hash<BytesView>{}(workflow_type);
  return static_cast<uint32_t>(hash ^ (hash >> 32));
}

WorkflowStatusEntry workflow_status_entry(WorkflowStatus status, int64_t updated_at_ms, const WorkflowId& id) {
  WorkflowStatusEntry entry;
  entry[0] = static_cast<unsigned char>(status);
  const uint64_t biased = static_cast<uint64_t>(updated_at_ms) ^ kSignBit;
  for (size_t i = 0; i < 8; ++i) entry[kStatusEntryTimeOffset + i] = static_cast<unsigned char>(biased >> (56 - 8 * i));
  std::copy(id.begin(), id.end(), entry.begin() + kStatusEntryIdOffset);
  return entry;
}

bool WorkflowEntries::take(std::string_view key, std::string_view value) {
  auto view = view_workflow_record(key, value);
  if (!view) return false;
  by_status_.insert(workflow_status_entry(view->status, view->updated_at_ms, view->id));
  by_type_.insert(WorkflowTypeEntry{workflow_type_hash(view->workflow_type), view->id});
  if (view->parent_id) by_parent_.insert(WorkflowChildEntry{parent_head(*view->parent_id), view->id});
  status_ids_.insert({view->status, view->id});
  if (view->parked_on_time()) timers_.insert({view->resume_at_ms, view->id});
  return true;
}

void WorkflowEntries::drop(std::string_view key, std::string_view value) {
  auto view = view_workflow_record(key, value);
  if (!view) return;
  by_status_.erase(workflow_status_entry(view->status, view->updated_at_ms, view->id));
  by_type_.erase(WorkflowTypeEntry{workflow_type_hash(view->workflow_type), view->id});
  if (view->parent_id) by_parent_.erase(WorkflowChildEntry{parent_head(*view->parent_id), view->id});
  status_ids_.erase({view->status, view->id});
  if (view->parked_on_time()) timers_.erase({view->resume_at_ms, view->id});
}

std::vector<std::string> due_timer_candidates(const WorkflowIndex& index, int64_t now_ms, uint64_t limit) {
  if (limit == 0) return {};
  return keys_in_key_order(kWorkflowInstancePrefix, smallest_due_ids(index.entries().timers(), now_ms, limit),
                           index.unindexed());
}

std::vector<WorkflowId> children_of(const WorkflowIndex& index, const WorkflowId& parent) {
  std::vector<WorkflowId> children;
  const auto& by_parent = index.entries().by_parent();
  const uint64_t head = parent_head(parent);
  for (auto it = by_parent.lower_bound({head, kSmallestId}); it != by_parent.end() && it->parent_head == head; ++it)
    children.push_back(it->child);
  return children;
}

std::vector<WorkflowId> finished_before(const WorkflowIndex& index, int64_t before_ms, uint64_t limit) {
  // The oldest `limit` of each finished status, merged: no more is needed.
  std::vector<WorkflowStatusCursor> oldest;
  const auto& by_status = index.entries().by_status();
  for (WorkflowStatus status : kFinished) {
    uint64_t taken = 0;
    for (auto it =
             by_status.lower_bound(workflow_status_entry(status, std::numeric_limits<int64_t>::min(), kSmallestId));
         it != by_status.end() && taken < limit && (*it)[0] == static_cast<unsigned char>(status); ++it, ++taken) {
      const int64_t finished_at = status_entry_time(*it);
      if (finished_at >= before_ms) break;
      oldest.push_back({finished_at, status_entry_id(*it)});
    }
  }
  std::ranges::sort(oldest, {}, [](const WorkflowStatusCursor& c) { return std::pair(c.updated_at_ms, c.id); });
  std::vector<WorkflowId> ids;
  for (const WorkflowStatusCursor& cursor : oldest) {
    if (ids.size() == limit) break;
    ids.push_back(cursor.id);
  }
  return ids;
}

std::vector<WorkflowId> ids_in_order(const WorkflowIndex& index, const std::optional<WorkflowStatus>& status,
                                     const std::optional<WorkflowId>& after, size_t page) {
  // Each status's first `page` ids after the cursor, merged: no more is needed.
  std::vector<WorkflowId> ids;
  const auto& status_ids = index.entries().status_ids();
  for (WorkflowStatus each : kStatuses) {
    if (status && *status != each) continue;
    auto it = after ? status_ids.upper_bound({each, *after}) : status_ids.lower_bound({each, kSmallestId});
    for (size_t taken = 0; it != status_ids.end() && taken < page && it->status == each; ++it, ++taken)
      ids.push_back(it->id);
  }
  std::ranges::sort(ids);
  if (ids.size() > page) ids.resize(page);
  return ids;
}

std::vector<WorkflowId> of_type_candidates(const WorkflowIndex& index, BytesView workflow_type,
                                           const std::optional<WorkflowId>& after, size_t page) {
  std::vector<WorkflowId> found;
  const uint32_t hash = workflow_type_hash(workflow_type);
  const auto& by_type = index.entries().by_type();
  auto it = after ? by_type.upper_bound({hash, *after}) : by_type.lower_bound({hash, kSmallestId});
  for (; it != by_type.end() && found.size() < page && it->type_hash == hash; ++it) found.push_back(it->id);
  return found;
}

}  // namespace ombrel::jobs
