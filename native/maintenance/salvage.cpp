#include "maintenance/salvage.h"

#include <cerrno>

#include "engine/file.h"
#include "engine/recovery.h"
#include "engine/store.h"

namespace ombrel::maintenance {
namespace {

using engine::EngineError;
using engine::File;

// "<path>.salvage-<offset>", or with "-2", "-3", ... when taken.
std::expected<std::pair<std::string, File>, EngineError> create_side_file(const std::string& path, uint64_t offset) {
  const std::string base = path + ".salvage-" + std::to_string(offset);
  for (int attempt = 1; attempt <= 1000; ++attempt) {
    std::string name = attempt == 1 ? base : base + "-" + std::to_string(attempt);
    auto created = File::create_new(name);
    if (created) return std::pair<std::string, File>(std::move(name), std::move(*created));
    if (created.error().code != EEXIST) return std::unexpected(EngineError::io(created.error()));
  }
  return std::unexpected(EngineError::io(engine::IoError::described("no free name for the salvage side file")));
}

}  // namespace

std::expected<SalvageReport, EngineError> salvage_store(const std::string& path) {
  auto file = File::open_read_write(path);
  if (!file) return std::unexpected(EngineError::io(file.error()));
  auto guard = engine::ProcessWriterGuard::acquire(path);
  if (!guard) return std::unexpected(guard.error());
  if (auto locked = file->lock_exclusive_nonblocking(); !locked)
    return std::unexpected(engine::map_lock_error(locked.error()));
  struct Unlock {
    File& file;
    ~Unlock() { file.unlock(); }
  } unlock{*file};

  auto size = file->size();
  if (!size) return std::unexpected(EngineError::io(size.error()));
  // Read, never written: an empty file is not a store to salvage.
  if (*size < engine::kStoreHeaderSize)
    return std::unexpected(EngineError::header(engine::HeaderError{engine::HeaderError::Kind::Truncated}));
  if (auto header = engine::load_or_initialize_header(*file); !header) return std::unexpected(header.error());
  std::string log;
  if (*size > engine::kStoreHeaderSize) {
    log.resize(static_cast<size_t>(*size - engine::kStoreHeaderSize));
    if (auto read = file->read_exact_at(engine::kStoreHeaderSize, log.data(), log.size()); !read)
      return std::unexpected(EngineError::io(read.error()));
  }
  engine::ReplayOutcome replayed = engine::replay_log(log);

  SalvageReport report;
  report.file_bytes = *size;
  report.valid_bytes = replayed.failure ? replayed.failure->offset : replayed.state.valid_bytes;
  if (replayed.failure) report.damage = std::move(replayed.failure->error);
  if (report.valid_bytes >= *size) return report;

  auto side = create_side_file(path, report.valid_bytes);
  if (!side) return std::unexpected(side.error());
  auto& [side_name, side_file] = *side;
  const std::string_view cut =
      std::string_view(log).substr(static_cast<size_t>(report.valid_bytes - engine::kStoreHeaderSize));
  auto kept = side_file.write_all_at(0, cut);
  if (kept) kept = side_file.sync_all();
  if (kept) kept = File::sync_parent_directory(side_name);
  if (!kept) {
    side_file.close();
    (void)File::remove(side_name);
    return std::unexpected(engine::map_io_error(kept.error()));
  }
  if (auto truncated = file->truncate(report.valid_bytes); !truncated)
    return std::unexpected(EngineError::io(truncated.error()));
  if (auto synced = file->sync_all(); !synced) return std::unexpected(engine::map_io_error(synced.error()));
  report.side_file = std::move(side_name);
  return report;
}

}  // namespace ombrel::maintenance
