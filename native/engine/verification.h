// Read-only verification of a store file: header, then a full replay under a
// shared flock. Never writes; a torn tail is reported, not repaired.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "engine/errors.h"
#include "engine/store_header.h"

namespace ombrel::engine {

struct VerificationReport {
  StoreHeader header;
  uint64_t file_bytes = 0;
  uint64_t valid_bytes = 0;
  uint64_t records = 0;
  uint64_t committed_transactions = 0;
  uint64_t pending_transactions = 0;
  uint64_t keys = 0;

  bool has_torn_tail() const { return valid_bytes < file_bytes; }
};

std::expected<VerificationReport, EngineError> verify_store(const std::string& path);

}  // namespace ombrel::engine
