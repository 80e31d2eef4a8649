#include "engine/progress.h"

#include <cerrno>
#include <limits>

namespace ombrel::engine {
namespace {

thread_local const ProgressHook* t_hook = nullptr;

}  // namespace

const ProgressHook* set_progress_hook(const ProgressHook* hook) {
  const ProgressHook* previous = t_hook;
  t_hook = hook;
  return previous;
}

// Without a hook the next report lies beyond any count, so reach() never
// leaves its comparison.
ProgressMeter::ProgressMeter(uint64_t total_bytes)
    : hook_(t_hook),
      total_(total_bytes),
      next_report_(hook_ == nullptr ? std::numeric_limits<uint64_t>::max() : kProgressStepBytes) {}

bool ProgressMeter::report(uint64_t done_bytes) {
  if (stopped_) return false;
  if (hook_ == nullptr) return true;
  if (done_bytes > total_) done_bytes = total_;
  reported_total_ = done_bytes == total_;
  stopped_ = !hook_->report(hook_->context, done_bytes, total_);
  next_report_ = done_bytes >= std::numeric_limits<uint64_t>::max() - kProgressStepBytes
                     ? std::numeric_limits<uint64_t>::max()
                     : (done_bytes / kProgressStepBytes + 1) * kProgressStepBytes;
  return !stopped_;
}

IoError progress_stopped_error() { return IoError::from_errno(ECANCELED); }

}  // namespace ombrel::engine
