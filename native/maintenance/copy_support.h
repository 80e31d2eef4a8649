// What the whole-file copies (backup, checkpoint, restore, compaction,
// generations) share: how two paths are compared, how a destination is built
// under a temporary sibling and moved into place, and the byte copy itself.
//
// Path comparison is two-staged. Lexically, two paths are the same when their
// component lists agree after dropping empty components (repeated or trailing
// separators) and "." components; ".." is kept as written, so `a/../a/b` and
// `a/b` differ. By file, which needs the second path to exist: the canonical
// paths are equal, or both names lead to the same (device, inode), which also
// catches a hard link that no canonical path would reveal.
//
// Staging: every copy is written under "<dir>/.<name><label><16 hex>.tmp"
// beside its destination, synced, moved onto the destination in one rename
// and the directory synced; until then the destination is untouched, so a
// crash or failure at any point leaves no new destination or a complete one.
//   operation       label           fallback name    destination
//   backup          ".backup-"      "backup"         replaced
//   checkpoint      ".checkpoint-"  "checkpoint"     never replaced
//   restore         ".restore-"     "restore"        never replaced
//   compaction      ".compact-"     "compaction"     never replaced
//   snapshot        ".snapshot-"    "snapshot"       never replaced
//   generation      ".generation-"  "generation"     never replaced
// A crash may leave a temporary sibling behind, never a destination.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "engine/errors.h"
#include "engine/file.h"
#include "engine/store.h"

namespace ombrel::maintenance {

bool lexically_same_path(std::string_view a, std::string_view b);

// Lexically equal: true. `candidate` missing: false. Otherwise the by-file
// comparison; resolving either path may fail with Io.
std::expected<bool, engine::EngineError> paths_refer_to_same_file(const std::string& original,
                                                                  const std::string& candidate);

// Why a temporary sibling could not be reserved.
struct SiblingError {
  enum class Kind : uint8_t { Entropy, ReserveFailed, Io };
  Kind kind;
  std::string entropy_description;  // Entropy
  engine::IoError io;               // Io
};

// A SiblingError as an operation's own error type, through its Entropy
// (text), Io (IoError) and ReserveFailed variants.
template <class Error>
Error sibling_error_as(const SiblingError& error) {
  switch (error.kind) {
    case SiblingError::Kind::Entropy:
      return Error::of(Error::Kind::Entropy, error.entropy_description);
    case SiblingError::Kind::ReserveFailed:
      return Error::of(Error::Kind::ReserveFailed);
    case SiblingError::Kind::Io:
      break;
  }
  return Error::of(Error::Kind::Io, error.io);
}

// A SiblingError for the operations that report engine errors: Io errors
// with the texts "failed to obtain randomness for {what} temporary file: {}" and
// "could not reserve a {what} temporary file".
engine::EngineError sibling_engine_error(const SiblingError& error, std::string_view what);

// A destination under construction: a new empty temporary sibling, open for
// writing, that becomes the destination only through publish(). Dropped
// unpublished (any failure, any early return) it removes the temporary.
class StagedDestination {
 public:
  enum class Move : uint8_t {
    Replacing,  // an existing destination is replaced in the same step
    NoReplace,  // an existing destination fails the move with EEXIST
  };

  // Creates the sibling exclusively, retrying a taken name with new random
  // digits, 16 attempts in all. `fallback_name` stands in for a destination
  // without a usable (UTF-8) file name.
  static std::expected<StagedDestination, SiblingError> reserve(const std::string& destination, std::string_view label,
                                                                std::string_view fallback_name);

  StagedDestination(StagedDestination&& other) noexcept;
  StagedDestination& operator=(StagedDestination&&) = delete;
  StagedDestination(const StagedDestination&) = delete;
  StagedDestination& operator=(const StagedDestination&) = delete;
  ~StagedDestination();

  const std::string& temporary() const { return temporary_; }
  engine::File& file() { return file_; }

  // Fully syncs the temporary, moves it onto the destination and syncs the
  // directory, so that the name survives a power loss. A failed sync or move
  // leaves the destination as it was. A failed directory sync after the move
  // removes a destination that NoReplace created (a failure then leaves no
  // destination), and leaves a replaced one in place: it is complete, and
  // what it replaced is gone.
  std::expected<void, engine::IoError> publish(Move move);

 private:
  StagedDestination(std::string destination, std::string temporary, engine::File file)
      : destination_(std::move(destination)), temporary_(std::move(temporary)), file_(std::move(file)) {}
  std::string destination_;
  std::string temporary_;  // empty once published or moved from
  engine::File file_;
};

// Copies every byte of `from` (from offset 0 to its current length) to `to`
// starting at offset 0, and returns the number of bytes written.
std::expected<uint64_t, engine::IoError> copy_file_bytes(const engine::File& from, engine::File& to);

// Writes every live pair of `source` into `target` in key order as one
// transaction without change capture; an empty source writes nothing.
std::expected<void, engine::EngineError> put_live_pairs(const engine::Store& source, engine::Store& target);

}  // namespace ombrel::maintenance
