#include "python/job_spec_convert.h"

#include <limits>
#include <utility>

#include "python/convert.h"

namespace ombrel::python {

jobs::JobSpec JobSpecArgs::to_value() && {
  jobs::JobSpec spec;
  spec.handler.assign(handler);
  spec.payload.assign(payload);
  spec.idempotency_key = std::move(idempotency_key);
  // Job records spell "no deadline" as the smallest time; a template that
  // stored it as a real deadline would show one that its jobs do not have.
  if (deadline_ms && *deadline_ms != std::numeric_limits<int64_t>::min()) spec.deadline_ms = deadline_ms;
  spec.available_at_ms = available_at_ms;
  spec.retry_backoff_ms = retry_backoff_ms;
  spec.priority = priority;
  spec.max_attempts = max_attempts;
  return spec;
}

PyObject* job_template_dict(const jobs::JobSpec& spec) {
  DictBuilder dict;
  dict.set("handler", bytes_result(spec.handler));
  dict.set("payload", bytes_result(spec.payload));
  dict.set("available_at_ms", int_result(spec.available_at_ms));
  dict.set("deadline_ms", spec.deadline_ms ? int_result(*spec.deadline_ms) : none_result());
  dict.set("priority", int_result(int64_t{spec.priority}));
  dict.set("max_attempts", int_result(uint64_t{spec.max_attempts}));
  dict.set("retry_backoff_ms", int_result(spec.retry_backoff_ms));
  dict.set("idempotency_key", spec.idempotency_key ? bytes_result(*spec.idempotency_key) : none_result());
  return dict.finish();
}

}  // namespace ombrel::python
