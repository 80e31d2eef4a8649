// Progress meters below the Python face: when a pass reports, that the last
// report comes once with done == total, that a stop sticks, and that no hook
// means no reports.
// Built with -DOMBREL_NATIVE_TESTS=ON (target native_tests).
#include "engine/progress.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "native_check.h"

using namespace ombrel::engine;

namespace {

struct Recorder {
  std::vector<std::pair<uint64_t, uint64_t>> calls;
  size_t stop_after = SIZE_MAX;

  static bool report(void* context, uint64_t done, uint64_t total) {
    auto* self = static_cast<Recorder*>(context);
    self->calls.emplace_back(done, total);
    return self->calls.size() < self->stop_after;
  }
};

// Advances a meter of `total` bytes in steps of `step` and finishes it, as a
// pass does; returns whether the pass ran to its end.
bool run_pass(uint64_t total, uint64_t step) {
  ProgressMeter meter(total);
  for (uint64_t done = step; done < total; done += step)
    if (!meter.reach(done)) return false;
  return meter.finish();
}

void reports_at_steps_and_once_at_the_end() {
  Recorder recorder;
  ProgressHook hook{&Recorder::report, &recorder};
  const ProgressHook* previous = set_progress_hook(&hook);
  const uint64_t total = 3 * kProgressStepBytes + 100;
  CHECK(run_pass(total, 1 << 20));
  set_progress_hook(previous);
  CHECK((recorder.calls == std::vector<std::pair<uint64_t, uint64_t>>{{kProgressStepBytes, total},
                                                                      {2 * kProgressStepBytes, total},
                                                                      {3 * kProgressStepBytes, total},
                                                                      {total, total}}));
}

void an_empty_pass_and_no_hook_report_nothing() {
  Recorder recorder;
  CHECK(run_pass(5 * kProgressStepBytes, kProgressStepBytes));  // no hook installed
  ProgressHook hook{&Recorder::report, &recorder};
  const ProgressHook* previous = set_progress_hook(&hook);
  CHECK(run_pass(0, 1));
  set_progress_hook(previous);
  CHECK(recorder.calls.empty());
}

void a_stop_sticks() {
  Recorder recorder;
  recorder.stop_after = 2;
  ProgressHook hook{&Recorder::report, &recorder};
  const ProgressHook* previous = set_progress_hook(&hook);
  CHECK(!run_pass(10 * kProgressStepBytes, kProgressStepBytes / 2));
  recorder.stop_after = SIZE_MAX;  // a new pass starts afresh
  ProgressMeter meter(kProgressStepBytes);
  CHECK(meter.finish());
  set_progress_hook(previous);
  CHECK(recorder.calls.size() == 3);  // two for the stopped pass, one for the next
}

}  // namespace

int main() {
  reports_at_steps_and_once_at_the_end();
  an_empty_pass_and_no_hook_report_nothing();
  a_stop_sticks();
  return native_check::finish("progress_test");
}
