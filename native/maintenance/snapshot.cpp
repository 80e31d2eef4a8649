#include "maintenance/snapshot.h"

#include <cerrno>
#include <string_view>
#include <utility>

#include "engine/file.h"
#include "engine/verification.h"
#include "maintenance/copy_support.h"

namespace ombrel::maintenance {
namespace {

using engine::EngineError;
using engine::File;
using engine::IoError;

EngineError compaction_failure(const char* text) { return EngineError::io(IoError::described(text)); }

// Writes every live pair of `source` into a new store at `path` (which exists
// and is empty) and closes it.
std::expected<void, EngineError> write_compacted(const engine::Store& source, const std::string& path) {
  auto target = engine::Store::open(path);
  if (!target) return std::unexpected(target.error());
  if (auto written = put_live_pairs(source, **target); !written) return written;
  return (*target)->flush();
}

// A compacted copy, verified, waiting under its temporary name.
struct StagedCompaction {
  CompactionReport report;
  StagedDestination staged;
};

std::expected<StagedCompaction, EngineError> stage_compacted_copy(engine::Store& store, const std::string& destination,
                                                                  std::string_view label, std::string_view what) {
  if (lexically_same_path(store.path(), destination))
    return std::unexpected(compaction_failure("compaction destination must differ from source store"));
  if (auto exists = File::exists(destination); exists && *exists)
    return std::unexpected(compaction_failure("compaction destination already exists"));
  auto source_bytes = store.file().size();
  if (!source_bytes) return std::unexpected(EngineError::io(source_bytes.error()));
  const uint64_t pairs = store.live().size();

  auto staged = StagedDestination::reserve(destination, label, what);
  if (!staged) return std::unexpected(sibling_engine_error(staged.error(), what));
  if (auto written = write_compacted(store, staged->temporary()); !written) return std::unexpected(written.error());
  auto verified = engine::verify_store(staged->temporary());
  if (!verified) return std::unexpected(verified.error());
  if (verified->has_torn_tail() || verified->keys != pairs)
    return std::unexpected(compaction_failure("compacted store failed verification"));
  return StagedCompaction{CompactionReport{*source_bytes, verified->file_bytes, pairs}, std::move(*staged)};
}

// Moves the copy to a destination that must still not exist.
std::expected<void, EngineError> publish_compacted(StagedDestination& staged) {
  auto published = staged.publish(StagedDestination::Move::NoReplace);
  if (published) return {};
  if (published.error().code == EEXIST)
    return std::unexpected(compaction_failure("compaction destination already exists"));
  return std::unexpected(EngineError::io(published.error()));
}

}  // namespace

std::expected<CompactionReport, EngineError> compact_copy_to(engine::Store& store, const std::string& destination) {
  auto compacted = stage_compacted_copy(store, destination, ".compact-", "compaction");
  if (!compacted) return std::unexpected(compacted.error());
  if (auto published = publish_compacted(compacted->staged); !published) return std::unexpected(published.error());
  return compacted->report;
}

std::expected<SnapshotReport, SnapshotError> snapshot_to(engine::Store& store, const std::string& destination) {
  auto compacted = stage_compacted_copy(store, destination, ".snapshot-", "snapshot");
  if (!compacted) return std::unexpected(SnapshotError::engine(compacted.error()));
  auto verified = engine::verify_store(compacted->staged.temporary());
  if (!verified) return std::unexpected(SnapshotError::engine(verified.error()));
  if (verified->keys != compacted->report.keys || verified->has_torn_tail())
    return std::unexpected(SnapshotError::of(SnapshotError::Kind::VerificationFailed));
  if (auto published = publish_compacted(compacted->staged); !published)
    return std::unexpected(SnapshotError::engine(published.error()));
  SnapshotReport report;
  report.destination = destination;
  report.source_store_id = store.header().store_id;
  report.snapshot_store_id = verified->header.store_id;
  report.keys = compacted->report.keys;
  report.source_bytes = compacted->report.source_bytes;
  report.snapshot_bytes = verified->file_bytes;
  return report;
}

}  // namespace ombrel::maintenance
