// Enqueueing a job inside a caller's open engine transaction, as a Python
// Transaction and a trigger firing do: the job record and its "submitted"
// history entry (detail "transactional") are staged, never committed here.
//
// A job-layer failure is reported in the transactional words
// (engine/transaction_domains.h): the engine error beneath as itself; an
// empty handler, max attempts 0, a field too large, a record that does not
// decode and missing entropy in the job layer's own words; anything else as
// "job transaction error: " followed by them.
#pragma once

#include <cstdint>
#include <expected>

#include "engine/transaction.h"
#include "engine/transaction_domains.h"
#include "jobs/job_spec.h"
#include "jobs/jobs.h"

namespace ombrel::jobs {

using TransactionalError = engine::DomainTransactionError;

TransactionalError transactional_error(const JobError& error);

// The job's id: a new one, or that of the ready or leased job the
// transaction's view holds under the spec's idempotency key.
std::expected<JobId, TransactionalError> enqueue_job_transactional(engine::Transaction& tx, const JobSpec& spec,
                                                                   int64_t now_ms);

}  // namespace ombrel::jobs
