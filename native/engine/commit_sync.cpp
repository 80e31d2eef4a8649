#include "engine/commit_sync.h"

#include <algorithm>

#include "util/byte_codec.h"
#include "util/clock.h"

namespace ombrel::engine {

void CommitSync::appended(uint64_t end) {
  std::lock_guard lock(mutex_);
  appended_end_ = std::max(appended_end_, end);
}

uint64_t CommitSync::durable_end() const {
  std::lock_guard lock(mutex_);
  return durable_end_;
}

bool CommitSync::failed() const {
  std::lock_guard lock(mutex_);
  return failure_.has_value();
}

std::optional<EngineError> CommitSync::failure() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

void CommitSync::synced_by_holder(uint64_t end) {
  std::lock_guard lock(mutex_);
  if (!failure_) durable_end_ = std::max(durable_end_, end);
  changed_.notify_all();
}

void CommitSync::fail(const EngineError& error) {
  std::lock_guard lock(mutex_);
  if (!failure_) failure_ = error;
  failed_flag_.store(true, std::memory_order_release);
  changed_.notify_all();
}

std::expected<void, EngineError> CommitSync::await_durable(
    uint64_t ticket, const std::function<std::expected<void, EngineError>()>& sync) {
  std::unique_lock lock(mutex_);
  while (true) {
    if (durable_end_ >= ticket) return {};
    if (failure_) return std::unexpected(*failure_);
    if (syncing_) {
      changed_.wait(lock);
      continue;
    }
    // Lead: everything appended before this point is covered by the sync.
    syncing_ = true;
    const uint64_t target = appended_end_;
    lock.unlock();
    const MonotonicInstant started = monotonic_now();
    auto synced = sync();
    const uint64_t latency = micros_since(started);
    lock.lock();
    syncing_ = false;
    saturating_add(latency_total_us_, latency);
    latency_max_us_ = std::max(latency_max_us_, latency);
    saturating_add(syncs_, 1);
    if (synced) {
      durable_end_ = std::max(durable_end_, target);
    } else if (!failure_) {
      failure_ = synced.error();
      failed_flag_.store(true, std::memory_order_release);
    }
    changed_.notify_all();
  }
}

uint64_t CommitSync::sync_latency_total_us() const {
  std::lock_guard lock(mutex_);
  return latency_total_us_;
}

uint64_t CommitSync::sync_latency_max_us() const {
  std::lock_guard lock(mutex_);
  return latency_max_us_;
}

uint64_t CommitSync::syncs() const {
  std::lock_guard lock(mutex_);
  return syncs_;
}

}  // namespace ombrel::engine
