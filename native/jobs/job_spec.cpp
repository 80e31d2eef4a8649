#include "jobs/job_spec.h"

#include "util/component_key.h"

namespace ombrel::jobs {

std::optional<JobSpecFault> check_job_spec(const JobSpec& spec) {
  if (spec.handler.empty()) return JobSpecFault::EmptyHandler;
  if (spec.max_attempts == 0) return JobSpecFault::ZeroMaxAttempts;
  return std::nullopt;
}

bool job_spec_fields_fit(const JobSpec& spec) {
  return component_fits(spec.handler) && component_fits(spec.payload) &&
         (!spec.idempotency_key || component_fits(*spec.idempotency_key));
}

void encode_job_template(ByteWriter& writer, const JobSpec& spec) {
  writer.field_le(spec.handler);
  writer.field_le(spec.payload);
  writer.i64_le(spec.available_at_ms);
  writer.optional_i64_le(spec.deadline_ms);
  writer.u32_le(static_cast<uint32_t>(spec.priority));
  writer.u32_le(spec.max_attempts);
  writer.u64_le(spec.retry_backoff_ms);
  writer.optional_field_le(spec.idempotency_key);
}

std::optional<JobSpec> decode_job_template(ByteReader& reader) {
  JobSpec spec;
  auto handler = reader.field_le();
  auto payload = handler ? reader.field_le() : std::nullopt;
  auto available_at = payload ? reader.i64_le() : std::nullopt;
  auto deadline = available_at ? reader.optional_i64_le() : std::nullopt;
  if (!deadline) return std::nullopt;
  auto priority = reader.u32_le();
  auto max_attempts = priority ? reader.u32_le() : std::nullopt;
  auto backoff = max_attempts ? reader.u64_le() : std::nullopt;
  if (!backoff) return std::nullopt;
  auto key = reader.optional_field_le();
  if (!key) return std::nullopt;
  spec.handler.assign(*handler);
  spec.payload.assign(*payload);
  spec.available_at_ms = *available_at;
  spec.deadline_ms = *deadline;
  spec.priority = static_cast<int32_t>(*priority);
  spec.max_attempts = *max_attempts;
  spec.retry_backoff_ms = *backoff;
  if (*key) spec.idempotency_key = Bytes(**key);
  return spec;
}

}  // namespace ombrel::jobs
