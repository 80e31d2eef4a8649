// The change feed: one change record per captured put or delete, written by
// the committing transaction itself under
//   0xFF "omb:cdc:change:" | tx_id u64 BE | sequence u32 BE      (28 bytes)
// so that key order is (transaction, position) order.
//
// Change value (little-endian):
//   offset  width  field
//   0       1      format version, 1
//   1       8      tx_id
//   9       4      sequence (position among the transaction's changes)
//   13      1      kind: 0 put, 1 delete
//   14      4      key length K
//   18      K      key
//   18+K    1      value flag: 1 put, 0 delete
//   19+K    8      value length          (put only)
//   27+K    32     SHA-256 of the value  (put only)
// A put's value is 59 + K bytes, a delete's 19 + K; anything else is Corrupt.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/domain_error.h"
#include "engine/errors.h"
#include "engine/key_area.h"
#include "util/digest.h"

namespace ombrel::engine {

class Store;
class Transaction;

inline constexpr KeyArea kChangeFeedArea{"cdc", {"\xFFomb:cdc:", 9}};
inline constexpr std::string_view kChangePrefix{"\xFFomb:cdc:change:", 16};
static_assert(kChangeFeedArea.holds(kChangePrefix));

struct ChangeRecord {
  enum class Kind : uint8_t { Put = 0, Delete = 1 };
  uint64_t tx_id = 0;
  uint32_t sequence = 0;
  Kind kind = Kind::Put;
  std::string key;
  std::optional<uint64_t> value_len;
  std::optional<Sha256Digest> value_sha256;
};

struct ChangeFeedErrorTexts {
  enum class Kind : uint8_t { Engine, Corrupt, FieldTooLarge };
  static constexpr auto kTexts = std::to_array<engine::ErrorText<Kind>>({
      {Kind::Engine, "store error: {}"},
      {Kind::Corrupt, "CDC record is corrupt or unsupported"},
      {Kind::FieldTooLarge, "CDC field is too large"},
  });
};
using ChangeFeedError = engine::DomainError<ChangeFeedErrorTexts>;

std::string change_key(uint64_t tx_id, uint32_t sequence);
std::expected<std::string, ChangeFeedError> encode_change(const ChangeRecord& record);
std::expected<ChangeRecord, ChangeFeedError> decode_change(std::string_view bytes);

// Called by commit: writes change records for operations[0, operation_count).
std::expected<void, EngineError> stage_changes(Transaction& tx, size_t operation_count);

std::expected<std::vector<ChangeRecord>, ChangeFeedError> changes_after(const Store& store,
                                                                        std::optional<uint64_t> after_tx_id,
                                                                        uint64_t limit);
std::expected<std::vector<ChangeRecord>, ChangeFeedError> changes_for_transaction(const Store& store, uint64_t tx_id);
std::expected<uint64_t, ChangeFeedError> prune_changes_through(Store& store, uint64_t tx_id, uint64_t limit);

}  // namespace ombrel::engine
