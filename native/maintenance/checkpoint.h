// Byte-for-byte copies of an open store's file, each built under a temporary
// sibling and moved into place only once complete (copy_support.h), so that
// a crash or failure never leaves a partial copy at the destination.
//
// backup_to replaces any destination other than the store's own file and
// checks nothing: the copy is written to ".<name>.backup-<16 hex>.tmp",
// synced and renamed over the destination, so an older backup stays whole
// until the new one is. A destination that is a link is followed: the file
// it names is replaced, keeping its permissions. checkpoint_to only ever
// creates its destination: the copy is written to
// ".<name>.checkpoint-<16 hex>.tmp", verified there against the store's
// identity and the number of bytes copied, and moved to a destination that
// must not exist. The temporary file is removed on every failure. A backup
// whose temporary cannot be reserved fails with an Io error carrying
// "failed to obtain randomness for backup temporary file: {}" or
// "could not reserve a backup temporary file".
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

struct CheckpointErrorTexts {
  enum class Kind : uint8_t {
    Engine,
    Io,
    DestinationExists,
    SameAsSource,
    IdentityMismatch,
    VerificationMismatch,
    Entropy,
    ReserveFailed,
  };
  static constexpr auto kTexts = std::to_array<engine::ErrorText<Kind>>({
      {Kind::Engine, "store error: {}"},
      {Kind::Io, "I/O error: {}"},
      {Kind::DestinationExists, "checkpoint destination already exists"},
      {Kind::SameAsSource, "checkpoint destination must differ from source store"},
      {Kind::IdentityMismatch, "checkpoint store identity does not match source"},
      {Kind::VerificationMismatch, "checkpoint verification does not match copied bytes"},
      {Kind::Entropy, "failed to obtain randomness for checkpoint temporary file: {}"},
      {Kind::ReserveFailed, "could not reserve a checkpoint temporary file"},
  });
};
using CheckpointError = engine::DomainError<CheckpointErrorTexts>;

struct CheckpointReport {
  std::array<uint8_t, 16> source_store_id{};
  std::array<uint8_t, 16> checkpoint_store_id{};
  uint64_t file_bytes = 0;
  uint64_t valid_bytes = 0;
  uint64_t keys = 0;
  uint64_t committed_transactions = 0;
  uint64_t pending_transactions = 0;
};

// Full sync of the store, then a copy of its file that replaces
// `destination`; returns the bytes copied. BackupDestinationSame when
// `destination` is the store's own file by any name; every other failure is
// Io and leaves the destination as it was.
std::expected<uint64_t, engine::EngineError> backup_to(engine::Store& store, const std::string& destination);

std::expected<CheckpointReport, CheckpointError> checkpoint_to(engine::Store& store, const std::string& destination);

// SameAsSource when the paths are one file, DestinationExists when the
// destination exists otherwise; a missing destination passes.
std::expected<void, CheckpointError> ensure_distinct_destination(const std::string& source,
                                                                 const std::string& destination);

}  // namespace ombrel::maintenance
