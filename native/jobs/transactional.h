// Enqueueing a job inside a caller's open engine transaction, as a Python
// Transaction and a trigger firing do: the job record and its "submitted"
// history entry (detail "transactional") are staged, never committed here.
//
// A job-layer failure is reported in the words of the transactional layer:
//
//   JobError kind          TransactionalError display text
//   Engine                 "store error: {engine text}"
//   EmptyHandler           "job handler cannot be empty"
//   ZeroMaxAttempts        "max attempts must be at least one"
//   FieldTooLarge          "job field is too large"
//   Corrupt                "job record is corrupt or unsupported"
//   NoEntropy              "operating-system entropy is unavailable"
//   any other              "job transaction error: {job text}"
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

#include "engine/transaction.h"
#include "jobs/job_spec.h"
#include "jobs/jobs.h"

namespace ombrel::jobs {

class TransactionalError {
 public:
  explicit TransactionalError(JobError job) : job_(std::move(job)) {}
  const JobError& job_error() const { return job_; }
  std::string message() const;

 private:
  JobError job_;
};

// The job's id: a new one, or that of the ready or leased job the
// transaction's view holds under the spec's idempotency key.
std::expected<JobId, TransactionalError> enqueue_job_transactional(engine::Transaction& tx, const JobSpec& spec,
                                                                   int64_t now_ms);

}  // namespace ombrel::jobs
