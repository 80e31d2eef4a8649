#include "maintenance/checkpoint.h"

#include <cerrno>
#include <optional>

#include "engine/file.h"
#include "engine/verification.h"
#include "maintenance/copy_support.h"

namespace ombrel::maintenance {

using engine::EngineError;
using engine::File;
using engine::IoError;

// ---- backup ------------------------------------------------------------------

namespace {

// The name a backup is renamed onto: through a link to the file it names,
// as a write through the link would, so that the link survives. An existing
// file's permissions are kept for its replacement.
struct BackupTarget {
  std::string path;
  std::optional<uint32_t> permissions;
};

std::expected<BackupTarget, IoError> backup_target(const std::string& destination) {
  auto exists = File::exists(destination);
  if (!exists) return std::unexpected(exists.error());
  if (!*exists) return BackupTarget{destination, std::nullopt};
  auto canonical = File::canonical_path(destination);
  if (!canonical) return std::unexpected(canonical.error());
  auto permissions = File::permissions_of(*canonical);
  if (!permissions) return std::unexpected(permissions.error());
  return BackupTarget{std::move(*canonical), *permissions};
}

}  // namespace

std::expected<uint64_t, EngineError> backup_to(engine::Store& store, const std::string& destination) {
  // Through the store, so that a failed sync refuses its later writes.
  if (auto synced = store.sync_all(); !synced) return std::unexpected(synced.error());
  auto same = paths_refer_to_same_file(store.path(), destination);
  if (!same) return std::unexpected(same.error());
  if (*same) return std::unexpected(EngineError::of(EngineError::Kind::BackupDestinationSame));

  auto target = backup_target(destination);
  if (!target) return std::unexpected(EngineError::io(target.error()));
  auto staged = StagedDestination::reserve(target->path, ".backup-", "backup");
  if (!staged) return std::unexpected(sibling_engine_error(staged.error(), "backup"));
  if (target->permissions) {
    if (auto set = staged->file().set_permissions(*target->permissions); !set)
      return std::unexpected(EngineError::io(set.error()));
  }
  // The store's own descriptor is read with positioned reads, which leave
  // the writer's position alone and cannot reach another file by its name.
  auto copied = copy_file_bytes(store.file(), staged->file());
  if (!copied) return std::unexpected(EngineError::io(copied.error()));
  if (auto published = staged->publish(StagedDestination::Move::Replacing); !published)
    return std::unexpected(EngineError::io(published.error()));
  return *copied;
}

// ---- checkpoint --------------------------------------------------------------

namespace {

// An I/O failure of the engine is the checkpoint's own Io.
CheckpointError checkpoint_error_of(const EngineError& error) {
  return error.kind() == EngineError::Kind::Io ? CheckpointError::of(CheckpointError::Kind::Io, error.io_error())
                                               : CheckpointError::engine(error);
}

// The store's file copied into the temporary and verified there against the
// store's identity and the bytes copied.
std::expected<CheckpointReport, CheckpointError> copy_and_verify(engine::Store& store, StagedDestination& staged) {
  if (auto synced = store.sync_all(); !synced) return std::unexpected(checkpoint_error_of(synced.error()));
  auto copied = copy_file_bytes(store.file(), staged.file());
  if (!copied) return std::unexpected(CheckpointError::of(CheckpointError::Kind::Io, copied.error()));
  auto verified = engine::verify_store(staged.temporary());
  if (!verified) return std::unexpected(CheckpointError::engine(verified.error()));
  if (verified->header.store_id != store.header().store_id)
    return std::unexpected(CheckpointError::of(CheckpointError::Kind::IdentityMismatch));
  if (verified->file_bytes != *copied || verified->has_torn_tail())
    return std::unexpected(CheckpointError::of(CheckpointError::Kind::VerificationMismatch));
  CheckpointReport report;
  report.source_store_id = store.header().store_id;
  report.checkpoint_store_id = verified->header.store_id;
  report.file_bytes = verified->file_bytes;
  report.valid_bytes = verified->valid_bytes;
  report.keys = verified->keys;
  report.committed_transactions = verified->committed_transactions;
  report.pending_transactions = verified->pending_transactions;
  return report;
}

}  // namespace

std::expected<void, CheckpointError> ensure_distinct_destination(const std::string& source,
                                                                 const std::string& destination) {
  auto same = paths_refer_to_same_file(source, destination);
  if (!same) return std::unexpected(checkpoint_error_of(same.error()));
  if (*same) return std::unexpected(CheckpointError::of(CheckpointError::Kind::SameAsSource));
  auto exists = File::exists(destination);
  if (!exists) return std::unexpected(CheckpointError::of(CheckpointError::Kind::Io, exists.error()));
  if (*exists) return std::unexpected(CheckpointError::of(CheckpointError::Kind::DestinationExists));
  return {};
}

std::expected<CheckpointReport, CheckpointError> checkpoint_to(engine::Store& store, const std::string& destination) {
  if (auto flushed = store.flush(); !flushed) return std::unexpected(CheckpointError::engine(flushed.error()));
  if (auto distinct = ensure_distinct_destination(store.path(), destination); !distinct)
    return std::unexpected(distinct.error());
  auto staged = StagedDestination::reserve(destination, ".checkpoint-", "checkpoint");
  if (!staged) return std::unexpected(sibling_error_as<CheckpointError>(staged.error()));
  auto report = copy_and_verify(store, *staged);
  if (!report) return report;
  if (auto published = staged->publish(StagedDestination::Move::NoReplace); !published) {
    if (published.error().code == EEXIST)
      return std::unexpected(CheckpointError::of(CheckpointError::Kind::DestinationExists));
    return std::unexpected(CheckpointError::of(CheckpointError::Kind::Io, published.error()));
  }
  return report;
}

}  // namespace ombrel::maintenance
