// A new generation of an open store: a compacted file that keeps the
// store's identity and continues its numbering.
//
// compact_generation_to creates the destination exclusively, copies the
// store's file into a temporary source image ".<name>.source-<16 hex>.tmp"
// beside it (for its high-water marks), and builds the generation: the live
// keys in key order as one transaction without change capture, the header
// replaced by the source's (same store_id, created_at_ms, reserved, format
// numbers), and a final commit record of no operations whose tx_id and
// sequence are one past the largest of either file. Replay counts that
// record, so a generation opened in place of its source hands out ids past
// every id the source used. The image is removed on every path; the
// destination on every failure.
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

// Builds the generation into `destination` (existing and empty) from the
// live keys of `store` and the log of `source_image`.
std::expected<GenerationReport, GenerationError> build_generation(engine::Store& store,
                                                                  const std::string& destination,
                                                                  const std::string& source_image);

// Largest tx_id and sequence of the complete records of a store file; stops
// at a torn tail, fails with Log on bytes that are not a record.
std::expected<LogHighWater, GenerationError> log_high_water(const std::string& path);
// The same over the bytes that follow the header.
std::expected<LogHighWater, GenerationError> log_high_water_of_image(std::string_view log);

// Creates `path` exclusively (DestinationExists when it exists).
std::expected<void, GenerationError> reserve_destination(const std::string& path);

// A new empty temporary file beside `destination`; returns its path.
std::expected<std::string, GenerationError> reserve_source_image(const std::string& destination);

}  // namespace ombrel::maintenance
