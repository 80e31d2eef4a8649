// The derived index of workflow instances (engine/derived_index.h): due
// timers, children by parent, finished instances by the time they finished,
// and instances by status and by type for paged listings.
//
// Contract: counts every record under the instance prefix; a record that
// every read refuses as corrupt (jobs/workflow.h, view_workflow_record) stays
// unindexed. Of each other instance it keeps
//   by_status    status | updated_at_ms | id, as 25 order-preserving bytes
//   status_ids   status | id, 17 bytes: listings in id order
//   by_type      a 32-bit hash of workflow_type | id (20 bytes): candidates,
//                which a listing confirms by reading the record
//   by_parent    the parent id's first 8 bytes | id (24 bytes), instances
//                with a parent only: candidates, confirmed by the record
//   timers       resume_at_ms | id (24 bytes), waiting on a timer or on a
//                signal with a timeout (then resume_at_ms is the timeout)
// so an instance costs 62 bytes of B-tree slots, 24 more while it has a
// parent or waits for a time. A terminal instance cannot change, so its
// updated_at_ms is the time it finished.
//
// Queries (each costs what it returns, plus the unindexed keys where noted):
// - due_timer_candidates(now, limit): in key order, the `limit` smallest-id
//   instances whose timer is due at now, and every unindexed key; walking
//   them with the resume's own decoding and due test collects what a walk
//   over every record collects and fails where it failed.
// - children_of(parent): the ids of its children, ascending, and of any
//   instance whose parent id shares its first 8 bytes.
// - finished_before(before, limit): completed, failed and cancelled
//   instances whose updated_at_ms < before, oldest first (then id).
// - ids_in_order / of_type_candidates: one page of ids after a cursor, in id
//   order, for listings (every status, or one).
#pragma once

#include <absl/container/btree_set.h>

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/workflow.h"
#include "util/record_index.h"

namespace ombrel::jobs {

// status | updated_at_ms with its sign bit flipped, big-endian | id
using WorkflowStatusEntry = std::array<unsigned char, 1 + 8 + kWorkflowIdBytes>;

struct WorkflowStatusId {
  WorkflowStatus status;
  WorkflowId id;
  auto operator<=>(const WorkflowStatusId&) const = default;
};

struct WorkflowTypeEntry {
  uint32_t type_hash;
  WorkflowId id;
  auto operator<=>(const WorkflowTypeEntry&) const = default;
};

struct WorkflowChildEntry {
  uint64_t parent_head;
  WorkflowId child;
  auto operator<=>(const WorkflowChildEntry&) const = default;
};

class WorkflowEntries {
 public:
  static constexpr std::array<std::string_view, 1> kPrefixes{kWorkflowInstancePrefix};
  bool take(std::string_view key, std::string_view value);
  void drop(std::string_view key, std::string_view value);
  bool operator==(const WorkflowEntries&) const = default;

  const absl::btree_set<WorkflowStatusEntry>& by_status() const { return by_status_; }
  const absl::btree_set<WorkflowStatusId>& status_ids() const { return status_ids_; }
  const absl::btree_set<WorkflowTypeEntry>& by_type() const { return by_type_; }
  const absl::btree_set<WorkflowChildEntry>& by_parent() const { return by_parent_; }
  const absl::btree_set<TimedId<kWorkflowIdBytes>>& timers() const { return timers_; }

 private:
  absl::btree_set<WorkflowStatusEntry> by_status_;
  absl::btree_set<WorkflowStatusId> status_ids_;
  absl::btree_set<WorkflowTypeEntry> by_type_;
  absl::btree_set<WorkflowChildEntry> by_parent_;
  absl::btree_set<TimedId<kWorkflowIdBytes>> timers_;
};

using WorkflowIndex = RecordIndex<WorkflowEntries>;

uint32_t workflow_type_hash(BytesView workflow_type);
WorkflowStatusEntry workflow_status_entry(WorkflowStatus status, int64_t updated_at_ms, const WorkflowId& id);

std::vector<std::string> due_timer_candidates(const WorkflowIndex& index, int64_t now_ms, uint64_t limit);
std::vector<WorkflowId> children_of(const WorkflowIndex& index, const WorkflowId& parent);
std::vector<WorkflowId> finished_before(const WorkflowIndex& index, int64_t before_ms, uint64_t limit);

// Up to `page` ids after `after`, ascending, of instances with `status`, or
// of every instance without one.
std::vector<WorkflowId> ids_in_order(const WorkflowIndex& index, const std::optional<WorkflowStatus>& status,
                                     const std::optional<WorkflowId>& after, size_t page);
// Up to `page` ids after `after`, ascending, of instances whose type hashes
// as `workflow_type` does; the caller keeps those whose record has that type.
std::vector<WorkflowId> of_type_candidates(const WorkflowIndex& index, BytesView workflow_type,
                                           const std::optional<WorkflowId>& after, size_t page);

}  // namespace ombrel::jobs
