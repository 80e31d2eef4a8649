// The job template: what a producer, an interval schedule, a cron schedule or
// a trigger asks for when it wants a durable job created.
//
// Contract: a JobSpec is plain data; check_job_spec gives the one validation
// every creator applies (non-empty handler, at least one attempt), and
// job_spec_fields_fit tells whether every variable field has a 32-bit length.
//
// Stored templates (cron schedules, triggers) embed the JobSpec inline, without
// gaps, in this order (integers little-endian):
//   width        field
//   4 + H        handler length, handler bytes
//   4 + P        payload length, payload bytes
//   8            available_at_ms (signed)
//   1 (+8)       1 then deadline_ms (signed), or 0 for no deadline
//   4            priority (signed)
//   4            max_attempts
//   8            retry_backoff_ms
//   1 (+4 + K)   1 then idempotency key length and bytes, or 0 for no key
// Interval schedules embed a whole job record instead (see jobs.h).
#pragma once

#include <cstdint>
#include <optional>

#include "util/byte_codec.h"

namespace ombrel::jobs {

struct JobSpec {
  Bytes handler;
  Bytes payload;
  std::optional<Bytes> idempotency_key;
  std::optional<int64_t> deadline_ms;
  int64_t available_at_ms = 0;
  uint64_t retry_backoff_ms = 1000;
  int32_t priority = 0;
  uint32_t max_attempts = 3;
};

enum class JobSpecFault : uint8_t { EmptyHandler, ZeroMaxAttempts };

// The first rule a JobSpec breaks, in the order creators check them.
std::optional<JobSpecFault> check_job_spec(const JobSpec& spec);

// Whether handler, payload and key each have a length that fits 32 bits.
bool job_spec_fields_fit(const JobSpec& spec);

// The inline template layout above; the caller has checked job_spec_fields_fit.
void encode_job_template(ByteWriter& writer, const JobSpec& spec);

// Reads one template; nullopt on an overrun or a bad flag byte. The fields
// are not validated (each owner reports a broken template its own way).
std::optional<JobSpec> decode_job_template(ByteReader& reader);

}  // namespace ombrel::jobs
