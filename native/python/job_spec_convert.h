// The Python face of the job template, shared by every method that creates
// jobs or stores a template (jobs, interval schedules, cron schedules,
// triggers).
//
// Contract:
// - The template's six keyword-only parameters always come last, in this
//   order: available_at_ms=0, deadline_ms=None, priority=0, max_attempts=3,
//   retry_backoff_ms=1000, idempotency_key=None. with_job_spec_params(head)
//   appends them to a method's own parameters, and job_spec_from_args reads
//   them back from the last kJobSpecParamCount argument slots.
// - handler and payload are bytes; idempotency_key bytes, bytearray or a
//   sequence of ints; a deadline of -2**63 is the store's encoding of "no
//   deadline" and is taken as None everywhere.
// - job_template_dict builds the template dict: "handler", "payload",
//   "available_at_ms", "deadline_ms", "priority", "max_attempts",
//   "retry_backoff_ms", "idempotency_key", in that order.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "jobs/job_spec.h"
#include "jobs/jobs.h"
#include "python/arguments.h"

namespace ombrel::python {

inline constexpr Param kJobSpecParams[] = {
    Param::keyword("available_at_ms", "0"), Param::keyword("deadline_ms", "None"),
    Param::keyword("priority", "0"),        Param::keyword("max_attempts", "3"),
    Param::keyword("retry_backoff_ms", "1000"), Param::keyword("idempotency_key", "None"),
};
inline constexpr size_t kJobSpecParamCount = std::size(kJobSpecParams);

namespace detail {
template <size_t N, size_t... I>
constexpr std::array<Param, sizeof...(I)> append_job_spec_params(const Param (&head)[N], std::index_sequence<I...>) {
  return {{(I < N ? head[I] : kJobSpecParams[I - N])...}};
}
}  // namespace detail

template <size_t N>
constexpr std::array<Param, N + kJobSpecParamCount> with_job_spec_params(const Param (&head)[N]) {
  return detail::append_job_spec_params(head, std::make_index_sequence<N + kJobSpecParamCount>{});
}

// nullopt with a Python exception set.
std::optional<jobs::JobSpec> job_spec_from_args(PyObject* handler, PyObject* payload,
                                                std::span<PyObject* const> spec_args);

PyObject* job_template_dict(const jobs::JobSpec& spec);

}  // namespace ombrel::python
