// Restoring a closed store file to a new path.
//
// The source is verified first (a writer holding it gives AlreadyOpen) and
// refused when it has a torn tail; the destination is only ever created
// exclusively, so an existing file is never touched. The copy is verified
// and must match the source's verification field by field; a destination
// that fails is removed. Failures of this unit's own checks are Io errors
// carrying fixed texts:
//   "restore destination must differ from source store"
//   "restore source has a torn tail"
//   "restored store does not match verified source"
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>

#include "engine/errors.h"

namespace ombrel::maintenance {

struct RestoreReport {
  std::array<uint8_t, 16> store_id{};
  uint64_t bytes = 0;  // bytes copied
  uint64_t keys = 0;
};

std::expected<RestoreReport, engine::EngineError> restore_copy(const std::string& source,
                                                               const std::string& destination);

}  // namespace ombrel::maintenance
