// The Python face of the job template, shared by every method that creates
// jobs or stores a template (jobs, interval schedules, cron schedules,
// triggers).
//
// Contract:
// - A method declares the template as one group parameter,
//   job_spec_params(&Method::spec): `handler` and `payload` where the group
//   is declared, and its six keyword-only parameters after every other one,
//   in this order: available_at_ms=0, deadline_ms=None, priority=0,
//   max_attempts=3, retry_backoff_ms=1000, idempotency_key=None. The eight
//   are converted together, where the group is declared.
// - handler and payload are bytes; idempotency_key bytes, bytearray or a
//   sequence of ints; a deadline of -2**63 is the store's encoding of "no
//   deadline" and is taken as None everywhere.
// - job_template_dict builds the template dict: "handler", "payload",
//   "available_at_ms", "deadline_ms", "priority", "max_attempts",
//   "retry_backoff_ms", "idempotency_key", in that order.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "jobs/job_spec.h"
#include "jobs/jobs.h"
#include "python/parameters.h"

namespace ombrel::python {

struct JobSpecArgs {
  std::string_view handler;
  std::string_view payload;
  int64_t available_at_ms;
  std::optional<int64_t> deadline_ms;
  int32_t priority;
  uint32_t max_attempts;
  uint64_t retry_backoff_ms;
  std::optional<std::string> idempotency_key;
  static constexpr auto kParams =
      params(param("handler", &JobSpecArgs::handler), param("payload", &JobSpecArgs::payload),
             keyword("available_at_ms", &JobSpecArgs::available_at_ms, 0),
             keyword("deadline_ms", &JobSpecArgs::deadline_ms, kNone), keyword("priority", &JobSpecArgs::priority, 0),
             keyword("max_attempts", &JobSpecArgs::max_attempts, 3),
             keyword("retry_backoff_ms", &JobSpecArgs::retry_backoff_ms, 1000),
             keyword("idempotency_key", &JobSpecArgs::idempotency_key, kNone));

  jobs::JobSpec to_value() &&;
};

template <class S>
constexpr auto job_spec_params(jobs::JobSpec S::* member) {
  return group<JobSpecArgs>(member);
}

PyObject* job_template_dict(const jobs::JobSpec& spec);

}  // namespace ombrel::python
