#include "maintenance/copy_support.h"

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "engine/blocking.h"
#include "engine/keyspace.h"
#include "engine/progress.h"
#include "engine/transaction.h"
#include "util/entropy.h"

namespace ombrel::maintenance {
namespace {

using engine::EngineError;
using engine::File;
using engine::IoError;

struct PathParts {
  bool absolute = false;
  std::vector<std::string_view> components;  // no empty and no "." entries
};

PathParts split_path(std::string_view path) {
  PathParts parts;
  parts.absolute = path.starts_with('/');
  size_t i = 0;
  while (i <= path.size()) {
    size_t slash = path.find('/', i);
    if (slash == std::string_view::npos) slash = path.size();
    std::string_view component = path.substr(i, slash - i);
    if (!component.empty() && component != ".") parts.components.push_back(component);
    i = slash + 1;
  }
  return parts;
}

constexpr size_t kCopyChunk = size_t{1} << 20;
constexpr int kReserveAttempts = 16;

std::string hex16(uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i) {
    out[static_cast<size_t>(i)] = kDigits[value & 0xF];
    value >>= 4;
  }
  return out;
}

// Removes a file that an operation created and must not leave behind; a
// failure to remove it is ignored: the failure being reported matters more.
void discard_file(const std::string& path) { (void)File::remove(path); }

}  // namespace

bool lexically_same_path(std::string_view a, std::string_view b) {
  PathParts left = split_path(a);
  PathParts right = split_path(b);
  return left.absolute == right.absolute && left.components == right.components;
}

std::expected<bool, EngineError> paths_refer_to_same_file(const std::string& original, const std::string& candidate) {
  if (lexically_same_path(original, candidate)) return true;
  auto exists = File::exists(candidate);
  if (!exists) return std::unexpected(EngineError::io(exists.error()));
  if (!*exists) return false;
  auto original_canonical = File::canonical_path(original);
  if (!original_canonical) return std::unexpected(EngineError::io(original_canonical.error()));
  auto candidate_canonical = File::canonical_path(candidate);
  if (!candidate_canonical) return std::unexpected(EngineError::io(candidate_canonical.error()));
  if (*original_canonical == *candidate_canonical) return true;
  // Distinct canonical paths can still be one file: a hard link.
  auto original_identity = File::identity_of(*original_canonical);
  if (!original_identity) return std::unexpected(EngineError::io(original_identity.error()));
  auto candidate_identity = File::identity_of(*candidate_canonical);
  if (!candidate_identity) return std::unexpected(EngineError::io(candidate_identity.error()));
  return *original_identity == *candidate_identity;
}

EngineError sibling_engine_error(const SiblingError& error, std::string_view what) {
  switch (error.kind) {
    case SiblingError::Kind::Entropy:
      return EngineError::io(IoError::described("failed to obtain randomness for " + std::string(what) +
                                                " temporary file: " + error.entropy_description));
    case SiblingError::Kind::ReserveFailed:
      return EngineError::io(IoError::described("could not reserve a " + std::string(what) + " temporary file"));
    case SiblingError::Kind::Io:
      break;
  }
  return EngineError::io(error.io);
}

std::expected<StagedDestination, SiblingError> StagedDestination::reserve(const std::string& destination,
                                                                          std::string_view label,
                                                                          std::string_view fallback_name) {
  PathParts parts = split_path(destination);
  std::string directory;
  std::string_view name;
  if (!parts.components.empty() && parts.components.back() != "..") {
    name = parts.components.back();
    parts.components.pop_back();
  }
  if (parts.absolute) directory.push_back('/');
  for (std::string_view component : parts.components) {
    if (!directory.empty() && !directory.ends_with('/')) directory.push_back('/');
    directory.append(component);
  }
  if (directory.empty()) directory.push_back('.');
  if (!directory.ends_with('/')) directory.push_back('/');
  std::string base(name);
  if (base.empty() || engine::utf8_lossy(base) != base) base.assign(fallback_name);

  for (int attempt = 0; attempt < kReserveAttempts; ++attempt) {
    unsigned char random[8];
    if (auto filled = fill_random(random); !filled)
      return std::unexpected(SiblingError{SiblingError::Kind::Entropy, filled.error(), {}});
    uint64_t number = 0;
    for (unsigned char byte : random) number = (number << 8) | byte;
    std::string candidate;
    candidate.reserve(directory.size() + base.size() + label.size() + 22);
    candidate.append(directory).append(".").append(base).append(label).append(hex16(number)).append(".tmp");
    auto created = File::create_new(candidate);
    if (created) return StagedDestination(destination, std::move(candidate), std::move(*created));
    if (created.error().code != EEXIST)
      return std::unexpected(SiblingError{SiblingError::Kind::Io, {}, created.error()});
  }
  return std::unexpected(SiblingError{SiblingError::Kind::ReserveFailed, {}, {}});
}

StagedDestination::StagedDestination(StagedDestination&& other) noexcept
    : destination_(std::move(other.destination_)),
      temporary_(std::exchange(other.temporary_, {})),
      file_(std::move(other.file_)) {}

StagedDestination::~StagedDestination() {
  file_.close();
  if (!temporary_.empty()) discard_file(temporary_);
}

std::expected<void, IoError> StagedDestination::publish(Move move) {
  if (auto synced = file_.sync_all(); !synced) return synced;
  file_.close();
  auto moved = move == Move::Replacing ? File::rename_replacing(temporary_, destination_)
                                       : File::rename_no_replace(temporary_, destination_);
  if (!moved) return moved;
  temporary_.clear();
  auto synced = File::sync_parent_directory(destination_);
  if (!synced && move == Move::NoReplace) discard_file(destination_);
  return synced;
}

std::expected<uint64_t, IoError> copy_file_bytes(const File& from, File& to) {
  engine::BlockingRegion blocking;
  auto length = from.size();
  if (!length) return std::unexpected(length.error());
  std::string buffer(static_cast<size_t>(std::min<uint64_t>(*length, kCopyChunk)), '\0');
  engine::ProgressMeter progress(*length);
  uint64_t offset = 0;
  while (offset < *length) {
    size_t chunk = static_cast<size_t>(std::min<uint64_t>(*length - offset, kCopyChunk));
    if (auto read = from.read_exact_at(offset, buffer.data(), chunk); !read) return std::unexpected(read.error());
    if (auto written = to.write_all_at(offset, std::string_view(buffer.data(), chunk)); !written)
      return std::unexpected(written.error());
    offset += chunk;
    if (!progress.reach(offset)) return std::unexpected(engine::progress_stopped_error());
  }
  if (!progress.finish()) return std::unexpected(engine::progress_stopped_error());
  return offset;
}

std::expected<void, EngineError> put_live_pairs(const engine::Store& source, engine::Store& target) {
  engine::BlockingRegion blocking;
  if (source.live().empty()) return {};
  auto tx = target.begin_without_cdc();
  if (!tx) return std::unexpected(tx.error());
  for (const auto& [key, value] : source.live()) {
    if (auto put = tx->put_internal(key, value); !put) return std::unexpected(put.error());
  }
  return tx->commit();
}

}  // namespace ombrel::maintenance
