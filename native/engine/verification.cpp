#include "engine/verification.h"

#include "engine/blocking.h"
#include "engine/file.h"
#include "engine/recovery.h"

namespace ombrel::engine {

std::expected<VerificationReport, EngineError> verify_store(const std::string& path) {
  BlockingRegion blocking;
  auto file = File::open_read_only(path);
  if (!file) return std::unexpected(EngineError::io(file.error()));
  if (auto locked = file->lock_shared_nonblocking(); !locked) return std::unexpected(map_lock_error(locked.error()));

  char buf[kStoreHeaderSize];
  if (auto read = file->read_exact_at(0, buf, sizeof buf); !read) return std::unexpected(EngineError::io(read.error()));
  auto header = StoreHeader::decode(std::string_view(buf, sizeof buf));
  if (!header) return std::unexpected(EngineError::header(header.error()));
  auto size = file->size();
  if (!size) return std::unexpected(EngineError::io(size.error()));
  auto replayed = recover(*file);
  if (!replayed) return std::unexpected(replayed.error());

  VerificationReport report;
  report.header = *header;
  report.file_bytes = *size;
  report.valid_bytes = replayed->valid_bytes;
  report.records = replayed->records;
  report.committed_transactions = replayed->committed_transactions;
  report.pending_transactions = replayed->pending_transactions;
  report.keys = replayed->live.size();
  file->unlock();
  return report;
}

}  // namespace ombrel::engine
