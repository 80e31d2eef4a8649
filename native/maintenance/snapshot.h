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
// snapshot_to wraps them ("snapshot" for "compaction" in the last two), and
// verifies the copy once more before moving it:
//   SnapshotError::Engine              "store error: {engine text}"
//   SnapshotError::VerificationFailed  "snapshot verification failed"
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "engine/errors.h"
#include "engine/store.h"

namespace ombrel::maintenance {

struct CompactionReport {
  uint64_t source_bytes = 0;
  uint64_t compacted_bytes = 0;
  uint64_t keys = 0;
};

class SnapshotError {
 public:
  enum class Kind : uint8_t { Engine, VerificationFailed };
  static SnapshotError engine(engine::EngineError e) { return SnapshotError(Kind::Engine, std::move(e)); }
  static SnapshotError of(Kind kind) { return SnapshotError(kind, std::nullopt); }
  Kind kind() const { return kind_; }
  std::string message() const;

 private:
  SnapshotError(Kind kind, std::optional<engine::EngineError> e) : kind_(kind), engine_(std::move(e)) {}
  Kind kind_;
  std::optional<engine::EngineError> engine_;
};

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
