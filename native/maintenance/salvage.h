// Salvage: the owner's knowing cut of a damaged log.
//
// Opening never cuts past a valid record: damage that a torn tail cannot
// explain makes the open fail with CorruptionError and leaves the file alone.
// salvage_store is the explicit way out. Under the writer lock (so no store
// has the file open), it replays the longest prefix of the log that obeys
// every replay rule, copies every byte after that prefix into a side file
// "<path>.salvage-<offset>" (or "-<offset>-<n>" when that name is taken),
// syncs the side file and its directory, and only then cuts the store file
// back to the prefix and syncs it. Nothing is lost: the cut bytes are in the
// side file before the store file changes. A log that ends cleanly is left
// as it is (and no side file is written); a torn tail is cut the same way,
// its bytes kept too.
//
// A damaged header cannot be salvaged: its error is returned unchanged.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "engine/errors.h"

namespace ombrel::maintenance {

struct SalvageReport {
  uint64_t file_bytes = 0;                    // the file's length before the cut
  uint64_t valid_bytes = 0;                   // its length after: the replayable prefix
  std::string side_file;                      // where the cut bytes went; empty when nothing was cut
  std::optional<engine::EngineError> damage;  // what stopped the replay; none for a torn tail
};

std::expected<SalvageReport, engine::EngineError> salvage_store(const std::string& path);

}  // namespace ombrel::maintenance
