// Progress of long whole-file work (copies, replays of a file being verified,
// the live pairs written into a compacted copy).
//
// The engine knows nothing of who watches. An embedding installs, per thread,
// a hook around one operation; the work calls it through a ProgressMeter as
// it crosses every kProgressStepBytes and once at its end, with the bytes done
// so far and the pass's total. An operation may make several passes (a copy,
// then the verification of the copy), each counting again from 0.
//
// The hook answers whether the work may go on. A meter whose hook said stop
// stays stopped, and the work returns progress_stopped_error() from the next
// point where it can leave nothing behind: every caller of a meter writes
// only into staged temporaries (maintenance/copy_support.h) or nothing at
// all. The hook runs inside blocking regions (engine/blocking.h): it must
// take back whatever lock it needs itself.
//
// With no hook installed a meter costs one comparison per advance.
#pragma once

#include <cstdint>

#include "engine/io_error.h"

namespace ombrel::engine {

struct ProgressHook {
  bool (*report)(void* context, uint64_t done_bytes, uint64_t total_bytes);  // false: stop
  void* context;
};

// Installs `hook` for the calling thread (nullptr removes it); returns the
// previous one, so that scopes can nest.
const ProgressHook* set_progress_hook(const ProgressHook* hook);

inline constexpr uint64_t kProgressStepBytes = uint64_t{4} << 20;

class ProgressMeter {
 public:
  explicit ProgressMeter(uint64_t total_bytes);
  ProgressMeter(const ProgressMeter&) = delete;
  ProgressMeter& operator=(const ProgressMeter&) = delete;

  // Records that `done_bytes` of the total are done; false once the hook has
  // asked to stop (now or earlier).
  bool reach(uint64_t done_bytes) {
    if (done_bytes < next_report_) return !stopped_;
    return report(done_bytes);
  }
  // The last report of a pass, done == total (a pass that ends early, such as
  // a replay that stops at a torn tail, still ends here); an empty pass
  // reports nothing.
  bool finish() { return reported_total_ || total_ == 0 ? !stopped_ : report(total_); }
  bool stopped() const { return stopped_; }

 private:
  bool report(uint64_t done_bytes);
  const ProgressHook* hook_;
  uint64_t total_;
  uint64_t next_report_;
  bool stopped_ = false;
  bool reported_total_ = false;
};

// What a pass returns when its hook asked it to stop: ECANCELED.
IoError progress_stopped_error();

}  // namespace ombrel::engine
