#include "maintenance/checkpoint.h"

#include <cerrno>

#include "engine/file.h"
#include "engine/verification.h"
#include "maintenance/copy_support.h"

namespace ombrel::maintenance {

using engine::EngineError;
using engine::File;
using engine::IoError;

CheckpointError CheckpointError::engine(EngineError e) {
  CheckpointError out(Kind::Engine);
  out.engine_ = std::move(e);
  return out;
}

CheckpointError CheckpointError::io(IoError e) {
  CheckpointError out(Kind::Io);
  out.io_ = std::move(e);
  return out;
}

CheckpointError CheckpointError::entropy(std::string description) {
  CheckpointError out(Kind::Entropy);
  out.entropy_ = std::move(description);
  return out;
}

CheckpointError CheckpointError::of(Kind kind) { return CheckpointError(kind); }

std::string CheckpointError::message() const {
  switch (kind_) {
    case Kind::Engine:
      return "store error: " + engine_->message();
    case Kind::Io:
      return "I/O error: " + io_.describe();
    case Kind::DestinationExists:
      return "checkpoint destination already exists";
    case Kind::SameAsSource:
      return "checkpoint destination must differ from source store";
    case Kind::IdentityMismatch:
      return "checkpoint store identity does not match source";
    case Kind::VerificationMismatch:
      return "checkpoint verification does not match copied bytes";
    case Kind::Entropy:
      return "failed to obtain randomness for checkpoint temporary file: " + entropy_;
    case Kind::ReserveFailed:
      return "could not reserve a checkpoint temporary file";
  }
  return {};
}

// ---- backup ------------------------------------------------------------------

std::expected<uint64_t, EngineError> backup_to(engine::Store& store, const std::string& destination) {
  // Through the store, so that a failed sync refuses its later writes.
  if (auto synced = store.sync_all(); !synced) return std::unexpected(synced.error());
  auto same = paths_refer_to_same_file(store.path(), destination);
  if (!same) return std::unexpected(same.error());
  if (*same) return std::unexpected(EngineError::of(EngineError::Kind::BackupDestinationSame));

  auto target = File::open_write_truncate(destination);
  if (!target) return std::unexpected(EngineError::io(target.error()));
  // The store's own descriptor is read with positioned reads, which leave
  // the writer's position alone and cannot reach another file by its name.
  auto copied = copy_file_bytes(store.file(), *target);
  if (!copied) return std::unexpected(EngineError::io(copied.error()));
  if (auto synced = target->sync_all(); !synced) return std::unexpected(EngineError::io(synced.error()));
  return *copied;
}

// ---- checkpoint --------------------------------------------------------------

namespace {

// An I/O failure of the engine is the checkpoint's own Io.
CheckpointError checkpoint_error_of(const EngineError& error) {
  return error.kind() == EngineError::Kind::Io ? CheckpointError::io(error.io_error()) : CheckpointError::engine(error);
}

}  // namespace

std::expected<void, CheckpointError> ensure_distinct_destination(const std::string& source,
                                                                 const std::string& destination) {
  auto same = paths_refer_to_same_file(source, destination);
  if (!same) return std::unexpected(checkpoint_error_of(same.error()));
  if (*same) return std::unexpected(CheckpointError::of(CheckpointError::Kind::SameAsSource));
  auto exists = File::exists(destination);
  if (!exists) return std::unexpected(CheckpointError::io(exists.error()));
  if (*exists) return std::unexpected(CheckpointError::of(CheckpointError::Kind::DestinationExists));
  return {};
}

std::expected<std::string, CheckpointError> reserve_temporary_sibling(const std::string& destination) {
  return reserve_sibling_as<CheckpointError>(destination, ".checkpoint-", "checkpoint");
}

namespace {

// Store file -> temporary -> destination (created exclusively); returns the
// bytes copied into the destination. Once the destination exists, any
// failure removes it.
std::expected<uint64_t, CheckpointError> copy_through_temporary(engine::Store& store, const std::string& temporary,
                                                                const std::string& destination) {
  if (auto synced = store.sync_all(); !synced) return std::unexpected(checkpoint_error_of(synced.error()));
  {
    auto staging = File::open_write_truncate(temporary);
    if (!staging) return std::unexpected(CheckpointError::io(staging.error()));
    if (auto copied = copy_file_bytes(store.file(), *staging); !copied)
      return std::unexpected(CheckpointError::io(copied.error()));
    if (auto synced = staging->sync_all(); !synced) return std::unexpected(CheckpointError::io(synced.error()));
  }
  auto staged = File::open_read_only(temporary);
  if (!staged) return std::unexpected(CheckpointError::io(staged.error()));
  auto target = File::create_new(destination);
  if (!target) {
    if (target.error().code == EEXIST)
      return std::unexpected(CheckpointError::of(CheckpointError::Kind::DestinationExists));
    return std::unexpected(CheckpointError::io(target.error()));
  }
  auto copied = copy_file_bytes(*staged, *target);
  if (copied) {
    if (auto synced = target->sync_all(); !synced) copied = std::unexpected(synced.error());
  }
  if (!copied) {
    target->close();
    discard_file(destination);
    return std::unexpected(CheckpointError::io(copied.error()));
  }
  return *copied;
}

std::expected<CheckpointReport, CheckpointError> copy_and_verify(engine::Store& store, const std::string& temporary,
                                                                 const std::string& destination) {
  auto copied = copy_through_temporary(store, temporary, destination);
  if (!copied) return std::unexpected(copied.error());
  auto verified = engine::verify_store(destination);
  if (!verified) {
    discard_file(destination);
    return std::unexpected(CheckpointError::engine(verified.error()));
  }
  if (verified->header.store_id != store.header().store_id) {
    discard_file(destination);
    return std::unexpected(CheckpointError::of(CheckpointError::Kind::IdentityMismatch));
  }
  if (verified->file_bytes != *copied || verified->has_torn_tail()) {
    discard_file(destination);
    return std::unexpected(CheckpointError::of(CheckpointError::Kind::VerificationMismatch));
  }
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

std::expected<CheckpointReport, CheckpointError> checkpoint_to(engine::Store& store, const std::string& destination) {
  if (auto flushed = store.flush(); !flushed) return std::unexpected(CheckpointError::engine(flushed.error()));
  if (auto distinct = ensure_distinct_destination(store.path(), destination); !distinct)
    return std::unexpected(distinct.error());
  auto temporary = reserve_temporary_sibling(destination);
  if (!temporary) return std::unexpected(temporary.error());
  auto report = copy_and_verify(store, *temporary, destination);
  discard_file(*temporary);
  return report;
}

}  // namespace ombrel::maintenance
