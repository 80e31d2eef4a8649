// The derived index of objects (engine/derived_index.h): which stored
// objects are referenced and which are not, and when expiring ones expire,
// so that orphan collection and the expiry purge cost what they remove
// rather than what is stored.
//
// Contract, per watched record:
// - data: counted. The id of a 46-byte key is kept in `unreferenced` (32
//   bytes) or, while references name it, marked in `referenced`; any other
//   key under the data prefix is an odd data key, which a collection or
//   purge that reaches it fails on.
// - reference: the id it names is kept in `referenced` with how many
//   references name it and whether its data record exists (40 bytes); a
//   value that is not 32 bytes is counted as a bad reference, on which every
//   collection and purge fails before anything else.
// - metadata (46-byte keys; no read ever looks at others): the expiry from
//   decode_expiry as (expires_at_unix, id) in `expiries` (40 bytes), or,
//   when decoding fails, the id in `unreadable_metadata`. Both are kept
//   whether or not the data record exists; the queries ask has_data.
//
// Queries:
// - orphan_walk(limit): the data keys a collection walks, in key order, up
//   to and including the `limit`-th unreferenced one, skipping referenced
//   ones (which the walk passes over): every unreferenced id and odd key in
//   that stretch.
// - purge_failures(): the data keys on which a purge fails, in key order:
//   odd data keys, and data keys whose metadata does not decode.
#pragma once

#include <absl/container/btree_map.h>
#include <absl/container/btree_set.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/object_codec.h"
#include "util/record_index.h"

namespace ombrel::records {

class ObjectIndex {
 public:
  static constexpr std::array<std::string_view, 3> kPrefixes{kObjectDataPrefix, kObjectMetaPrefix, kObjectRefPrefix};
  void apply(std::string_view key, std::optional<std::string_view> before, std::optional<std::string_view> after);
  bool operator==(const ObjectIndex&) const = default;

  uint64_t data_records() const { return data_records_; }
  uint64_t bad_references() const { return bad_references_; }
  // Distinct ids named by references.
  uint64_t referenced_ids() const { return referenced_.size(); }
  bool is_referenced(const ObjectId& id) const { return referenced_.contains(id); }
  bool has_data(const ObjectId& id) const;
  const absl::btree_set<ObjectId>& unreferenced() const { return unreferenced_; }
  const UnindexedKeys& odd_data_keys() const { return odd_data_keys_; }
  const absl::btree_set<TimedId<kObjectIdSize>>& expiries() const { return expiries_; }
  const absl::btree_set<ObjectId>& unreadable_metadata() const { return unreadable_metadata_; }

 private:
  // references << 1 | 1 when the data record exists
  using ReferenceState = uint64_t;

  void data_change(std::string_view key, int step);
  void reference_change(std::string_view value, int step);
  void metadata_change(const ObjectId& id, std::string_view value, int step);

  uint64_t data_records_ = 0;
  uint64_t bad_references_ = 0;
  UnindexedKeys odd_data_keys_;
  absl::btree_set<ObjectId> unreferenced_;
  absl::btree_map<ObjectId, ReferenceState> referenced_;
  absl::btree_set<TimedId<kObjectIdSize>> expiries_;
  absl::btree_set<ObjectId> unreadable_metadata_;
};

std::vector<std::string> orphan_walk(const ObjectIndex& index, uint64_t limit);
std::vector<std::string> purge_failures(const ObjectIndex& index);

}  // namespace ombrel::records
