#include "maintenance/generation.h"

#include <algorithm>
#include <cerrno>

#include "engine/file.h"
#include "engine/log_record.h"
#include "engine/store_header.h"
#include "engine/verification.h"
#include "maintenance/copy_support.h"
#include "util/byte_codec.h"

namespace ombrel::maintenance {

using engine::EngineError;
using engine::File;
using engine::IoError;

std::expected<LogHighWater, GenerationError> log_high_water_of_image(std::string_view log) {
  // The walk of replay without its bookkeeping; the last sequence seen is
  // handed on as replay hands it on, so that both judge a short frame alike.
  LogHighWater marks;
  uint64_t previous_sequence = 0;
  for (size_t p = 0;;) {
    auto framed = engine::next_log_record(log, p, previous_sequence);
    if (!framed) return std::unexpected(GenerationError::of(GenerationError::Kind::Log, framed.error()));
    if (!*framed) break;
    marks.max_tx_id = std::max(marks.max_tx_id, (*framed)->record.tx_id);
    marks.max_sequence = std::max(marks.max_sequence, (*framed)->record.sequence);
    previous_sequence = (*framed)->record.sequence;
    p += (*framed)->size;
  }
  return marks;
}

std::expected<LogHighWater, GenerationError> log_high_water(const File& file) {
  auto size = file.size();
  if (!size) return std::unexpected(GenerationError::of(GenerationError::Kind::Io, size.error()));
  if (*size <= engine::kStoreHeaderSize) return LogHighWater{};
  std::string log(static_cast<size_t>(*size - engine::kStoreHeaderSize), '\0');
  if (auto read = file.read_exact_at(engine::kStoreHeaderSize, log.data(), log.size()); !read)
    return std::unexpected(GenerationError::of(GenerationError::Kind::Io, read.error()));
  return log_high_water_of_image(log);
}

namespace {

// Writes the live pairs into the generation, held open as a store (writer
// registry and exclusive lock) until its header and final commit record are
// in place; returns the high-water marks written.
std::expected<LogHighWater, GenerationError> write_generation(const engine::Store& store, const std::string& path,
                                                              const LogHighWater& source_marks) {
  engine::StoreOptions options;
  options.durability = engine::Durability::Data;
  options.repair_torn_tail = true;
  auto opened = engine::Store::open_with_options(path, options);
  if (!opened) return std::unexpected(GenerationError::engine(opened.error()));
  engine::Store& generation = **opened;
  if (auto written = put_live_pairs(store, generation); !written)
    return std::unexpected(GenerationError::engine(written.error()));
  if (!store.live().empty()) {
    if (auto synced = generation.file().sync_all(); !synced)
      return std::unexpected(GenerationError::of(GenerationError::Kind::Io, synced.error()));
  }

  // Through the generation's own descriptor: the lock stays held throughout.
  File& file = generation.file();
  auto own_marks = log_high_water(file);
  if (!own_marks) return std::unexpected(own_marks.error());
  const uint64_t top_tx = std::max(source_marks.max_tx_id, own_marks->max_tx_id);
  const uint64_t top_sequence = std::max(source_marks.max_sequence, own_marks->max_sequence);
  if (top_tx == UINT64_MAX || top_sequence == UINT64_MAX)
    return std::unexpected(GenerationError::of(GenerationError::Kind::HighWaterExhausted));
  const LogHighWater marks{top_tx + 1, top_sequence + 1};

  std::string commit;
  if (auto encoded =
          engine::encode_record_into(commit, engine::RecordKind::Commit, marks.max_tx_id, marks.max_sequence, {});
      !encoded)
    return std::unexpected(GenerationError::of(GenerationError::Kind::Log, encoded.error()));
  auto end = file.size();
  if (!end) return std::unexpected(GenerationError::of(GenerationError::Kind::Io, end.error()));
  if (auto written = file.write_all_at(0, store.header().encode()); !written)
    return std::unexpected(GenerationError::of(GenerationError::Kind::Io, written.error()));
  if (auto written = file.write_all_at(*end, commit); !written)
    return std::unexpected(GenerationError::of(GenerationError::Kind::Io, written.error()));
  if (auto synced = file.sync_all(); !synced)
    return std::unexpected(GenerationError::of(GenerationError::Kind::Io, synced.error()));
  return marks;
}

}  // namespace

std::expected<GenerationReport, GenerationError> build_generation(engine::Store& store, const std::string& path) {
  // Read through the store's own descriptor, which reaches the very file the
  // store writes, whatever has become of its name.
  auto source_marks = log_high_water(store.file());
  if (!source_marks) return std::unexpected(source_marks.error());
  auto source_bytes = store.file().size();
  if (!source_bytes) return std::unexpected(GenerationError::of(GenerationError::Kind::Io, source_bytes.error()));
  const uint64_t pairs = store.live().size();

  auto marks = write_generation(store, path, *source_marks);
  if (!marks) return std::unexpected(marks.error());

  auto verified = engine::verify_store(path);
  if (!verified) return std::unexpected(GenerationError::engine(verified.error()));
  if (verified->has_torn_tail() || verified->keys != pairs || verified->header.store_id != store.header().store_id)
    return std::unexpected(GenerationError::of(GenerationError::Kind::VerificationFailed));

  GenerationReport report;
  report.store_id = store.header().store_id;
  report.source_bytes = *source_bytes;
  report.generation_bytes = verified->file_bytes;
  report.keys = pairs;
  report.high_water_tx_id = marks->max_tx_id;
  report.high_water_sequence = marks->max_sequence;
  return report;
}

std::expected<GenerationReport, GenerationError> compact_generation_to(engine::Store& store,
                                                                       const std::string& destination) {
  if (auto flushed = store.flush(); !flushed) return std::unexpected(GenerationError::engine(flushed.error()));
  if (lexically_same_path(store.path(), destination))
    return std::unexpected(GenerationError::of(GenerationError::Kind::SameAsSource));
  // Another name of the store's own file is refused here too: it exists.
  auto exists = File::exists(destination);
  if (!exists) return std::unexpected(GenerationError::of(GenerationError::Kind::Io, exists.error()));
  if (*exists) return std::unexpected(GenerationError::of(GenerationError::Kind::DestinationExists));
  // Whatever the durability, the store's records are on disk before a
  // generation built from them can be: a crash never leaves the store behind
  // its generation. Through the store, so that a failed sync refuses its
  // later writes.
  if (auto synced = store.sync_all(); !synced) return std::unexpected(GenerationError::engine(synced.error()));

  auto staged = StagedDestination::reserve(destination, ".generation-", "generation");
  if (!staged) return std::unexpected(sibling_error_as<GenerationError>(staged.error()));
  auto report = build_generation(store, staged->temporary());
  if (!report) return report;
  if (auto published = staged->publish(StagedDestination::Move::NoReplace); !published) {
    if (published.error().code == EEXIST)
      return std::unexpected(GenerationError::of(GenerationError::Kind::DestinationExists));
    return std::unexpected(GenerationError::of(GenerationError::Kind::Io, published.error()));
  }
  return report;
}

}  // namespace ombrel::maintenance
