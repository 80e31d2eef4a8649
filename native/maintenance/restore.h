// Restoring a closed store file to a new path.
//
// The source is verified first (a writer holding it gives AlreadyOpen) and
// refused when it has a torn tail; an existing destination is refused with
// the platform's already-exists error and never touched. The copy is
// written to the temporary sibling ".<name>.restore-<16 hex>.tmp", verified
// there (it must match the source's verification field by field) and only
// then moved to the destination, by a move that never replaces; so neither a
// failed check nor a crash leaves a destination behind. Failures of this
// unit's own checks are Io errors carrying fixed texts:
//   "restore destination must differ from source store"
//   "restore source has a torn tail"
//   "restored store does not match verified source"
//   "failed to obtain randomness for restore temporary file: {}"
//   "could not reserve a restore temporary file"
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
