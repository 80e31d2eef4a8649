// What the whole-file copies (backup, checkpoint, restore, compaction,
// generations) share: how two paths are compared, how a temporary sibling of
// a destination is reserved, and the byte copy itself.
//
// Path comparison is two-staged. Lexically, two paths are the same when their
// component lists agree after dropping empty components (repeated or trailing
// separators) and "." components; ".." is kept as written, so `a/../a/b` and
// `a/b` differ. By file, which needs the second path to exist: the canonical
// paths are equal, or both names lead to the same (device, inode), which also
// catches a hard link that no canonical path would reveal.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "engine/errors.h"
#include "engine/file.h"
#include "engine/store.h"

namespace ombrel::maintenance {

bool lexically_same_path(std::string_view a, std::string_view b);

// Lexically equal: true. `candidate` missing: false. Otherwise the by-file
// comparison; resolving either path may fail with Io.
std::expected<bool, engine::EngineError> paths_refer_to_same_file(const std::string& original,
                                                                  const std::string& candidate);

// Reserving "<dir>/.<name><label><16 hex digits>.tmp" next to `destination`.
struct SiblingError {
  enum class Kind : uint8_t { Entropy, ReserveFailed, Io };
  Kind kind;
  std::string entropy_description;  // Entropy
  engine::IoError io;               // Io
};

// Creates the sibling exclusively and empty, retrying a taken name with new
// random digits, 16 attempts in all. `fallback_name` stands in for a
// destination without a usable (UTF-8) file name.
std::expected<std::string, SiblingError> reserve_sibling(const std::string& destination, std::string_view label,
                                                         std::string_view fallback_name);

// The same, reported as an operation's own error type, which offers
// entropy(text), io(IoError) and of(Kind::ReserveFailed).
template <class Error>
std::expected<std::string, Error> reserve_sibling_as(const std::string& destination, std::string_view label,
                                                     std::string_view fallback_name) {
  auto reserved = reserve_sibling(destination, label, fallback_name);
  if (reserved) return std::move(*reserved);
  const SiblingError& error = reserved.error();
  switch (error.kind) {
    case SiblingError::Kind::Entropy:
      return std::unexpected(Error::entropy(error.entropy_description));
    case SiblingError::Kind::ReserveFailed:
      return std::unexpected(Error::of(Error::Kind::ReserveFailed));
    case SiblingError::Kind::Io:
      break;
  }
  return std::unexpected(Error::io(error.io));
}

// Copies every byte of `from` (from offset 0 to its current length) to `to`
// starting at offset 0, and returns the number of bytes written.
std::expected<uint64_t, engine::IoError> copy_file_bytes(const engine::File& from, engine::File& to);

// Writes every live pair of `source` into `target` in key order as one
// transaction without change capture; an empty source writes nothing.
std::expected<void, engine::EngineError> put_live_pairs(const engine::Store& source, engine::Store& target);

// Removes a file that an operation created and must not leave behind;
// a failure to remove it is ignored.
void discard_file(const std::string& path);

}  // namespace ombrel::maintenance
