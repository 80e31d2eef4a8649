#include "jobs/transactional.h"

namespace ombrel::jobs {

TransactionalError transactional_error(const JobError& error) {
  using Kind = TransactionalError::Kind;
  if (const auto& beneath = error.engine_error()) return TransactionalError::engine(*beneath);
  switch (error.kind()) {
    case JobError::Kind::EmptyHandler:
    case JobError::Kind::ZeroMaxAttempts:
    case JobError::Kind::FieldTooLarge:
    case JobError::Kind::Corrupt:
    case JobError::Kind::NoEntropy:
      return TransactionalError::of(Kind::Job, error);
    default:
      return TransactionalError::of(Kind::JobOther, error);
  }
}

std::expected<JobId, TransactionalError> enqueue_job_transactional(engine::Transaction& tx, const JobSpec& spec,
                                                                   int64_t now_ms) {
  return engine::in_transactional_words(enqueue_job_tx(tx, spec, now_ms, "transactional"));
}

}  // namespace ombrel::jobs
