#include "jobs/job_index.h"

#include <algorithm>
#include <functional>
#include <limits>

namespace ombrel::jobs {
namespace {

constexpr size_t kHistoryKeyBytes = kJobHistoryPrefix.size() + kIdBytes + 8;

JobId id_at(std::string_view key, size_t offset) {
  JobId id{};
  std::copy_n(key.begin() + static_cast<std::ptrdiff_t>(offset), kIdBytes, id.begin());
  return id;
}

bool is_finishing(JobHistoryKind kind) {
  return kind == JobHistoryKind::Completed || kind == JobHistoryKind::Dead || kind == JobHistoryKind::Cancelled;
}

uint64_t key_hash(BytesView key) { return std::hash<std::string_view>{}(key); }

// When a claim at some time would find this active job overdue: a ready job
// once its deadline is reached, a leased one once its lease has ended too.
int64_t overdue_from(const JobRecordView& job) {
  return job.state == JobState::Leased ? std::max(job.deadline_ms, job.lease_until_ms) : job.deadline_ms;
}

template <class Set, class Entry>
void insert_or_erase(Set& set, const Entry& entry, int sign) {
  if (sign > 0)
    set.insert(entry);
  else
    set.erase(entry);
}

}  // namespace

void JobIndex::apply(std::string_view key, std::optional<std::string_view> before,
                     std::optional<std::string_view> after) {
  if (key.starts_with(kJobDataPrefix))
    record_changed(key, before, after);
  else
    history_changed(key, after);
}

void JobIndex::account(const JobRecordView& job, int sign) {
  per_state_[static_cast<size_t>(job.state)] += static_cast<uint64_t>(static_cast<int64_t>(sign));
  if (!job.is_active()) return;
  if (job.idempotency_key) insert_or_erase(keys_, KeyedId{key_hash(*job.idempotency_key), job.id}, sign);
  auto found = handlers_.find(job.handler);
  if (found == handlers_.end()) {
    if (sign < 0) return;
    found = handlers_.emplace(std::string(job.handler), HandlerJobs{}).first;
  }
  HandlerJobs& jobs = found->second;
  if (job.state == JobState::Ready)
    insert_or_erase(jobs.ready, ReadyEntry{job.available_at_ms, job.priority, job.id}, sign);
  else
    insert_or_erase(jobs.leases, LeaseEntry{job.lease_until_ms, job.available_at_ms, job.priority, job.id}, sign);
  if (job.has_deadline()) insert_or_erase(jobs.overdue, TimedId{overdue_from(job), job.id}, sign);
  if (jobs.empty()) handlers_.erase(found);
}

void JobIndex::record_changed(std::string_view key, std::optional<std::string_view> before,
                              std::optional<std::string_view> after) {
  std::optional<JobRecordView> was, now;
  if (before) {
    was = view_job_under(key, *before);
    if (!was) corrupt_.erase(std::string(key));
  }
  if (after) {
    now = view_job_under(key, *after);
    if (!now) corrupt_.insert(std::string(key));
  }
  if (was) account(*was, -1);
  if (now) account(*now, +1);

  const bool was_finished = was && was->is_finished();
  const bool now_finished = now && now->is_finished();
  if (was_finished == now_finished) return;
  const JobId id = was ? was->id : now->id;
  if (was_finished) {
    // Its finishing entry is still its last one: should the record come back
    // finished, as a rebuild would see it, that entry dates it again.
    if (auto known = finished_at_.find(id); known != finished_at_.end()) finish_seen_first_[id] = known->second;
    forget_finish(id);
    return;
  }
  if (auto seen = finish_seen_first_.find(id); seen != finish_seen_first_.end()) {
    const int64_t at_ms = seen->second;
    finish_seen_first_.erase(seen);
    set_finish(id, at_ms);
  } else {
    finish_unknown_.insert(id);
  }
}

void JobIndex::history_changed(std::string_view key, std::optional<std::string_view> after) {
  if (key.size() != kHistoryKeyBytes) return;  // no job's entry: nothing to date
  const JobId id = id_at(key, kJobHistoryPrefix.size());
  std::optional<JobHistoryEntry> entry;
  if (after) {
    if (auto decoded = decode_job_history(*after)) entry = std::move(*decoded);
  }
  if (entry && is_finishing(entry->kind)) {
    if (finished_at_.contains(id) || finish_unknown_.contains(id))
      set_finish(id, entry->at_ms);
    else
      finish_seen_first_[id] = entry->at_ms;
    return;
  }
  // The job's finishing entry is no longer known to be its last one.
  finish_seen_first_.erase(id);
  if (finished_at_.contains(id)) {
    forget_finish(id);
    finish_unknown_.insert(id);
  }
}

void JobIndex::set_finish(const JobId& id, int64_t at_ms) {
  auto [it, added] = finished_at_.try_emplace(id, at_ms);
  if (!added) {
    by_finish_.erase(TimedId{it->second, id});
    it->second = at_ms;
  }
  by_finish_.insert(TimedId{at_ms, id});
  finish_unknown_.erase(id);
}

void JobIndex::forget_finish(const JobId& id) {
  if (auto it = finished_at_.find(id); it != finished_at_.end()) {
    by_finish_.erase(TimedId{it->second, id});
    finished_at_.erase(it);
  }
  finish_unknown_.erase(id);
}

JobStats JobIndex::counts() const {
  JobStats stats;
  stats.ready = per_state_[static_cast<size_t>(JobState::Ready)];
  stats.leased = per_state_[static_cast<size_t>(JobState::Leased)];
  stats.completed = per_state_[static_cast<size_t>(JobState::Completed)];
  stats.dead = per_state_[static_cast<size_t>(JobState::Dead)];
  stats.cancelled = per_state_[static_cast<size_t>(JobState::Cancelled)];
  stats.total = stats.ready + stats.leased + stats.completed + stats.dead + stats.cancelled;
  return stats;
}

std::vector<const JobIndex::HandlerJobs*> JobIndex::admitted(std::span<const Bytes> handlers) const {
  std::vector<const HandlerJobs*> out;
  if (handlers.empty()) {
    for (const auto& [name, jobs] : handlers_) out.push_back(&jobs);
    return out;
  }
  std::vector<BytesView> names(handlers.begin(), handlers.end());
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  for (BytesView name : names) {
    if (auto found = handlers_.find(name); found != handlers_.end()) out.push_back(&found->second);
  }
  return out;
}

JobIndex::ClaimCandidates JobIndex::claim_candidates(int64_t now_ms, std::span<const Bytes> handlers) const {
  ClaimCandidates out;
  const std::vector<const HandlerJobs*> admitted_jobs = admitted(handlers);
  for (const HandlerJobs* jobs : admitted_jobs) {
    for (auto it = jobs->overdue.begin(); it != jobs->overdue.end() && it->at_ms <= now_ms; ++it)
      out.overdue.push_back(it->id);
  }
  std::sort(out.overdue.begin(), out.overdue.end());
  auto is_overdue = [&](const JobId& id) { return std::binary_search(out.overdue.begin(), out.overdue.end(), id); };

  std::optional<ReadyEntry> best;
  auto consider = [&](const ReadyEntry& candidate) {
    if (!best || candidate < *best) best = candidate;
  };
  JobId last_id;
  last_id.fill(0xFF);
  for (const HandlerJobs* jobs : admitted_jobs) {
    // Within one priority the earliest come first: the first available job
    // that is not overdue is that priority's best, and the first priority
    // that has one holds this handler's best.
    auto it = jobs->ready.begin();
    while (it != jobs->ready.end()) {
      if (it->available_at_ms > now_ms) {
        it = jobs->ready.upper_bound(ReadyEntry{std::numeric_limits<int64_t>::max(), it->priority, last_id});
      } else if (is_overdue(it->id)) {
        ++it;
      } else {
        consider(*it);
        break;
      }
    }
    for (auto lease = jobs->leases.begin(); lease != jobs->leases.end() && lease->lease_until_ms <= now_ms; ++lease) {
      if (!is_overdue(lease->id)) consider(ReadyEntry{lease->available_at_ms, lease->priority, lease->id});
    }
  }
  if (best) out.best = best->id;
  return out;
}

std::vector<JobId> JobIndex::ended_leases(int64_t now_ms) const {
  std::vector<JobId> out;
  for (const auto& [name, jobs] : handlers_) {
    for (auto it = jobs.leases.begin(); it != jobs.leases.end() && it->lease_until_ms <= now_ms; ++it)
      out.push_back(it->id);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<JobId> JobIndex::active_with_key(BytesView key) const {
  std::vector<JobId> out;
  const uint64_t hash = key_hash(key);
  for (auto it = keys_.lower_bound(KeyedId{hash, JobId{}}); it != keys_.end() && it->key_hash == hash; ++it)
    out.push_back(it->id);
  return out;
}

std::vector<std::pair<int64_t, JobId>> JobIndex::finished_before(int64_t before_ms, uint64_t limit) const {
  std::vector<std::pair<int64_t, JobId>> out;
  for (auto it = by_finish_.begin(); it != by_finish_.end() && it->at_ms < before_ms && out.size() < limit; ++it)
    out.emplace_back(it->at_ms, it->id);
  return out;
}

}  // namespace ombrel::jobs
