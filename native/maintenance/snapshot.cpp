#include "maintenance/snapshot.h"

#include <cerrno>

#include "engine/file.h"
#include "engine/verification.h"
#include "maintenance/copy_support.h"

namespace ombrel::maintenance {
namespace {

using engine::EngineError;
using engine::File;
using engine::IoError;

EngineError compaction_failure(const char* text) { return EngineError::io(IoError::described(text)); }

// Writes every live pair of `source` into the new store at `destination`
// (which exists and is empty) and closes it.
std::expected<void, EngineError> write_compacted(const engine::Store& source, const std::string& destination) {
  auto target = engine::Store::open(destination);
  if (!target) return std::unexpected(target.error());
  if (auto written = put_live_pairs(source, **target); !written) return written;
  return (*target)->flush();
}

}  // namespace

std::string SnapshotError::message() const {
  switch (kind_) {
    case Kind::Engine:
      return "store error: " + engine_->message();
    case Kind::VerificationFailed:
      return "snapshot verification failed";
  }
  return {};
}

std::expected<CompactionReport, EngineError> compact_copy_to(engine::Store& store, const std::string& destination) {
  if (lexically_same_path(store.path(), destination))
    return std::unexpected(compaction_failure("compaction destination must differ from source store"));
  if (auto exists = File::exists(destination); exists && *exists)
    return std::unexpected(compaction_failure("compaction destination already exists"));
  auto source_bytes = store.file().size();
  if (!source_bytes) return std::unexpected(EngineError::io(source_bytes.error()));
  const uint64_t pairs = store.live().size();

  // Created exclusively rather than opened as a store straight away: a file
  // appearing after the existence test must not receive our records.
  {
    auto reserved = File::create_new(destination);
    if (!reserved) {
      if (reserved.error().code == EEXIST)
        return std::unexpected(compaction_failure("compaction destination already exists"));
      return std::unexpected(EngineError::io(reserved.error()));
    }
  }
  if (auto written = write_compacted(store, destination); !written) {
    discard_file(destination);
    return std::unexpected(written.error());
  }
  auto verified = engine::verify_store(destination);
  if (!verified) {
    discard_file(destination);
    return std::unexpected(verified.error());
  }
  if (verified->has_torn_tail() || verified->keys != pairs) {
    discard_file(destination);
    return std::unexpected(compaction_failure("compacted store failed verification"));
  }
  return CompactionReport{*source_bytes, verified->file_bytes, pairs};
}

std::expected<SnapshotReport, SnapshotError> snapshot_to(engine::Store& store, const std::string& destination) {
  auto compacted = compact_copy_to(store, destination);
  if (!compacted) return std::unexpected(SnapshotError::engine(compacted.error()));
  auto verified = engine::verify_store(destination);
  if (!verified) {
    discard_file(destination);
    return std::unexpected(SnapshotError::engine(verified.error()));
  }
  if (verified->keys != compacted->keys || verified->has_torn_tail()) {
    discard_file(destination);
    return std::unexpected(SnapshotError::of(SnapshotError::Kind::VerificationFailed));
  }
  SnapshotReport report;
  report.destination = destination;
  report.source_store_id = store.header().store_id;
  report.snapshot_store_id = verified->header.store_id;
  report.keys = compacted->keys;
  report.source_bytes = compacted->source_bytes;
  report.snapshot_bytes = verified->file_bytes;
  return report;
}

}  // namespace ombrel::maintenance
