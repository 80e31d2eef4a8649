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
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "engine/domain_error.h"
#include "engine/errors.h"
#include "engine/file.h"
#include "engine/store.h"

namespace ombrel::maintenance {

struct GenerationErrorTexts {
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
  static constexpr auto kTexts = std::to_array<engine::ErrorText<Kind>>({
      {Kind::Engine, "store error: {}"},
      {Kind::Log, "log error: {}"},
      {Kind::Io, "I/O error: {}"},
      {Kind::DestinationExists, "generation destination already exists"},
      {Kind::SameAsSource, "generation destination must differ from source store"},
      {Kind::HighWaterExhausted, "generation high-water counter exhausted"},
      {Kind::VerificationFailed, "generated store failed identity/state verification"},
      {Kind::Entropy, "failed to obtain randomness for generation temporary file: {}"},
      {Kind::ReserveFailed, "could not reserve a generation temporary file"},
  });
};
using GenerationError = engine::DomainError<GenerationErrorTexts>;

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
