#include "jobs/transactional.h"

namespace ombrel::jobs {

std::string TransactionalError::message() const {
  switch (job_.kind()) {
    case JobError::Kind::Engine:
    case JobError::Kind::EmptyHandler:
    case JobError::Kind::ZeroMaxAttempts:
    case JobError::Kind::FieldTooLarge:
    case JobError::Kind::Corrupt:
    case JobError::Kind::NoEntropy:
      return job_.message();
    default:
      return "job transaction error: " + job_.message();
  }
}

std::expected<JobId, TransactionalError> enqueue_job_transactional(engine::Transaction& tx, const JobSpec& spec,
                                                                   int64_t now_ms) {
  auto id = enqueue_job_tx(tx, spec, now_ms, "transactional");
  if (!id) return std::unexpected(TransactionalError(std::move(id.error())));
  return *id;
}

}  // namespace ombrel::jobs
