// A read-only follower of a store file that another process writes: it
// replays the committed prefix of the log into a Store of its own and, on each
// refresh, replays only the bytes appended since.
//
// Contract:
// - open(path) opens the existing file read-only (nothing is created) and takes
//   no lock: the writer holds its exclusive flock, and the follower must not
//   stand in its way. The header is read as verification reads it (a file
//   shorter than 64 bytes fails with the end-of-file I/O error, a damaged one
//   with Header), then the log is replayed by the same rules as at open
//   (replay_log: damaged frames, sequence order, records after a commit). The
//   Store it returns refuses every write ("store is open read-only").
// - Nothing is ever written, truncated or synced. A torn tail (an append in
//   progress, or a crash's leftover) counts as not yet written: the follower
//   stops before it and reads it again at the next refresh.
// - A frame that runs past the end while a valid record seems to follow it is
//   damage to a replay at open (DamagedFrame), but to a follower it is also
//   what a large append in progress looks like when its payload holds bytes
//   that read as a record (a store file kept as an object, say). So the
//   follower stops there as at a torn tail, and reports the damage only when
//   it finds the same frame again with the file unchanged (no append was in
//   progress after all).
// - refresh(store) replays, into the store open() returned, the complete
//   records appended since the last replay, applying each transaction at its
//   commit record; it returns how many transactions it applied. Operations of
//   a transaction whose commit has not been written yet are kept until it is.
//   A replay error (corruption) is returned after the transactions before the
//   damaged record were applied; the follower stays at that record.
// - Replacement: the file is "replaced" when the path no longer names the
//   file that was opened (a rename of a compacted or restored copy over it,
//   removal), or the file is shorter than what was replayed, or its header or
//   the last replayed record's checksum changed (rewritten in place). refresh
//   then fails with Replaced and changes nothing; the caller opens it again.
//
// Durability: the follower sees a transaction as soon as its commit record is
// in the file, which under "data" and "strict" may be a moment before the
// writer's sync has made it durable.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/errors.h"
#include "engine/file.h"
#include "engine/recovery.h"
#include "engine/store.h"
#include "engine/store_header.h"

namespace ombrel::engine {

class FollowError {
 public:
  //   Kind      display text
  //   Engine    the engine error's own text
  //   Replaced  "store file was replaced; open it again"
  enum class Kind : uint8_t { Engine, Replaced };
  static FollowError engine(EngineError error) { return FollowError(Kind::Engine, std::move(error)); }
  static FollowError replaced() { return FollowError(Kind::Replaced, std::nullopt); }

  Kind kind() const { return kind_; }
  const std::optional<EngineError>& engine_error() const { return engine_; }
  std::string message() const;

 private:
  FollowError(Kind kind, std::optional<EngineError> error) : kind_(kind), engine_(std::move(error)) {}
  Kind kind_;
  std::optional<EngineError> engine_;
};

inline constexpr const char* kReplacedMessage = "store file was replaced; open it again";
inline constexpr const char* kReadOnlyMessage = "store is open read-only";

// Transaction ids as ranges of consecutive ids: a writer hands them out in
// order and nearly all commit, so a long log needs a handful of ranges.
class TransactionIdSet {
 public:
  bool contains(uint64_t id) const;
  void insert(uint64_t id);
  size_t ranges() const { return ranges_.size(); }

 private:
  std::map<uint64_t, uint64_t> ranges_;  // first id -> last id, inclusive, disjoint and not adjacent
};

class LogFollower {
 public:
  struct Opened;
  static std::expected<Opened, FollowError> open(const std::string& path);

  std::expected<uint64_t, FollowError> refresh(Store& store);

  // The file offset just after the last replayed record.
  uint64_t replayed_bytes() const { return replayed_bytes_; }

 private:
  struct Operation {
    bool is_delete;
    std::string key;
    std::string value;
  };

  LogFollower() = default;
  // What refresh checks before it reads on: Replaced, an I/O error, or nothing.
  std::optional<FollowError> check_same_file(Store& store, uint64_t file_size) const;
  std::expected<void, EngineError> remember_last_checksum(const File& file);
  // Whether a damaged frame at `offset` in a file of `file_size` bytes is
  // reported now (seen there before with the same size) or waited for.
  bool damage_is_settled(uint64_t offset, uint64_t file_size);

  std::string path_;
  File::Identity identity_;
  std::array<char, kStoreHeaderSize> header_bytes_{};
  uint64_t replayed_bytes_ = kStoreHeaderSize;
  uint32_t last_checksum_ = 0;  // of the record that ends at replayed_bytes_, when there is one
  uint64_t previous_sequence_ = 0;
  uint64_t records_ = 0;
  uint64_t max_tx_id_ = 0;
  TransactionIdSet committed_;
  struct DeferredDamage {
    uint64_t offset;
    uint64_t file_size;
    bool operator==(const DeferredDamage&) const = default;
  };
  std::optional<DeferredDamage> deferred_damage_;
  std::unordered_map<uint64_t, std::vector<Operation>> pending_;
};

struct LogFollower::Opened {
  std::unique_ptr<Store> store;
  LogFollower follower;
};

}  // namespace ombrel::engine
