// A new generation of an open store: a compacted file that keeps the
// store's identity and continues its numbering.
//
// compact_generation_to refuses an existing destination, fully syncs the
// store and builds the generation in a temporary sibling
// ".<name>.generation-<16 hex>.tmp" (copy_support.h): the live keys in key
// order as one transaction without change capture, the header replaced by
// the source's (same store_id, created_at_ms, reserved, format numbers), and
// a final commit record of no operations whose tx_id and sequence are one
// past the largest of either file, the store's file read through its own
// descriptor. Replay counts that record, so a generation opened in place of
// its source hands out ids past every id the source used. Verified, the
// generation is moved to the destination by a move that never replaces; a
// failure or crash at any point leaves no destination, and nothing but that
// one temporary sibling is ever written beside it.
//
// GenerationError, variants in order, display texts:
//   Engine              "store error: {engine text}"
//   Log                 "log error: {record error text}"
//   Io                  "I/O error: {io description}"
//   DestinationExists   "generation destination already exists"
//   SameAsSource        "generation destination must differ from source store"
//   HighWaterExhausted  "generation high-water counter exhausted"
//   VerificationFailed  "generated store failed identity/state verification"
//   Entropy             "failed to obtain randomness for generation temporary file: {}"
//   ReserveFailed       "could not reserve a generation temporary file"
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "engine/errors.h"
#include "engine/file.h"
#include "engine/store.h"

namespace ombrel::maintenance {

class GenerationError {
 public:
  enum class Kind : uint8_t {
    Engine,
    Log,
    Io,
    DestinationExists,
    SameAsSource,
    HighWaterExhausted,
    VerificationFailed,
    Entropy,
    ReserveFailed,
  };
  static GenerationError engine(engine::EngineError e);
  static GenerationError log(engine::StoreError e);
  static GenerationError io(engine::IoError e);
  static GenerationError entropy(std::string description);
  static GenerationError of(Kind kind);
  Kind kind() const { return kind_; }
  std::string message() const;

 private:
  explicit GenerationError(Kind kind) : kind_(kind) {}
  Kind kind_;
  std::optional<engine::EngineError> engine_;
  engine::StoreError log_{engine::StoreError::Kind::BadMagic};
  engine::IoError io_;
  std::string entropy_;
};

struct GenerationReport {
  std::array<uint8_t, 16> store_id{};
  uint64_t source_bytes = 0;
  uint64_t generation_bytes = 0;
  uint64_t keys = 0;
  uint64_t high_water_tx_id = 0;
  uint64_t high_water_sequence = 0;
};

struct LogHighWater {
  uint64_t max_tx_id = 0;
  uint64_t max_sequence = 0;
};

std::expected<GenerationReport, GenerationError> compact_generation_to(engine::Store& store,
                                                                       const std::string& destination);

// Builds the generation into `path` (existing and empty) from the live keys
// and the file of `store`.
std::expected<GenerationReport, GenerationError> build_generation(engine::Store& store, const std::string& path);

// Largest tx_id and sequence of the complete records of a store file; stops
// at a torn tail, fails with Log on bytes that are not a record.
std::expected<LogHighWater, GenerationError> log_high_water(const engine::File& file);
// The same over the bytes that follow the header.
std::expected<LogHighWater, GenerationError> log_high_water_of_image(std::string_view log);

}  // namespace ombrel::maintenance
