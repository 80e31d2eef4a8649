// Compacted copies of an open store: a brand-new store file (new store_id,
// new creation time, transaction ids from 1) holding only the live keys,
// internal keys included, written in key order as one transaction without
// change capture. An empty store compacts to its 64-byte header alone.
//
// The copy is written to a temporary sibling (copy_support.h),
// ".<name>.compact-<16 hex>.tmp" for compact_copy_to and
// ".<name>.snapshot-<16 hex>.tmp" for snapshot_to, verified there, and only
// then moved to the destination by a move that never replaces. An existing
// destination is refused, and never written to; a failure or crash at any
// point leaves no destination. compact_copy_to reports through EngineError,
// its own checks as Io errors with fixed texts:
//   "compaction destination must differ from source store"
//   "compaction destination already exists"
//   "compacted store failed verification"
//   "failed to obtain randomness for compaction temporary file: {}"
//   "could not reserve a compaction temporary file"
// snapshot_to wraps them ("snapshot" for "compaction" in the last two) in
// SnapshotError's Engine variant, and verifies the copy once more before
// moving it.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "engine/domain_error.h"
#include "engine/errors.h"
#include "engine/store.h"

namespace ombrel::maintenance {

struct CompactionReport {
  uint64_t source_bytes = 0;
  uint64_t compacted_bytes = 0;
  uint64_t keys = 0;
};

struct SnapshotErrorTexts {
  enum class Kind : uint8_t { Engine, VerificationFailed };
  static constexpr auto kTexts = std::to_array<engine::ErrorText<Kind>>({
      {Kind::Engine, "store error: {}"},
      {Kind::VerificationFailed, "snapshot verification failed"},
  });
};
using SnapshotError = engine::DomainError<SnapshotErrorTexts>;

struct SnapshotReport {
  std::string destination;  // as given
  std::array<uint8_t, 16> source_store_id{};
  std::array<uint8_t, 16> snapshot_store_id{};
  uint64_t keys = 0;
  uint64_t source_bytes = 0;
  uint64_t snapshot_bytes = 0;
};

std::expected<CompactionReport, engine::EngineError> compact_copy_to(engine::Store& store,
                                                                     const std::string& destination);
std::expected<SnapshotReport, SnapshotError> snapshot_to(engine::Store& store, const std::string& destination);

}  // namespace ombrel::maintenance
