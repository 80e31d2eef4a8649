#include "python/job_spec_convert.h"

#include <limits>

#include "python/convert.h"

namespace ombrel::python {

std::optional<jobs::JobSpec> job_spec_from_args(PyObject* handler, PyObject* payload,
                                                std::span<PyObject* const> spec_args) {
  auto handler_bytes = bytes_arg(handler, "handler");
  if (!handler_bytes) return std::nullopt;
  auto payload_bytes = bytes_arg(payload, "payload");
  if (!payload_bytes) return std::nullopt;
  auto available_at = i64_arg(spec_args[0], "available_at_ms", 0);
  if (!available_at) return std::nullopt;
  auto deadline = optional_i64_arg(spec_args[1], "deadline_ms");
  if (!deadline) return std::nullopt;
  auto priority = i32_arg(spec_args[2], "priority", 0);
  if (!priority) return std::nullopt;
  auto max_attempts = u32_arg(spec_args[3], "max_attempts", 3);
  if (!max_attempts) return std::nullopt;
  auto backoff = u64_arg(spec_args[4], "retry_backoff_ms", 1000);
  if (!backoff) return std::nullopt;
  auto key = optional_byte_vec_arg(spec_args[5], "idempotency_key");
  if (!key) return std::nullopt;

  jobs::JobSpec spec;
  spec.handler.assign(*handler_bytes);
  spec.payload.assign(*payload_bytes);
  spec.idempotency_key = std::move(*key);
  // Job records spell "no deadline" as the smallest time; a template that
  // stored it as a real deadline would show one that its jobs do not have.
  if (*deadline && **deadline != std::numeric_limits<int64_t>::min()) spec.deadline_ms = *deadline;
  spec.available_at_ms = *available_at;
  spec.retry_backoff_ms = *backoff;
  spec.priority = *priority;
  spec.max_attempts = *max_attempts;
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
