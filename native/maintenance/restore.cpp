#include "maintenance/restore.h"

#include <cerrno>

#include "engine/file.h"
#include "engine/verification.h"
#include "maintenance/copy_support.h"

namespace ombrel::maintenance {
namespace {

using engine::EngineError;
using engine::File;
using engine::IoError;
using engine::VerificationReport;

EngineError restore_failure(const char* text) { return EngineError::io(IoError::described(text)); }

bool same_state(const VerificationReport& source, const VerificationReport& copy) {
  return copy.file_bytes == source.file_bytes && copy.valid_bytes == source.valid_bytes && !copy.has_torn_tail() &&
         copy.keys == source.keys && copy.header.format_major == source.header.format_major &&
         copy.header.format_minor == source.header.format_minor &&
         copy.header.created_at_ms == source.header.created_at_ms && copy.header.reserved == source.header.reserved &&
         copy.header.store_id == source.header.store_id;
}

}  // namespace

std::expected<RestoreReport, EngineError> restore_copy(const std::string& source, const std::string& destination) {
  if (lexically_same_path(source, destination))
    return std::unexpected(restore_failure("restore destination must differ from source store"));
  auto verified = engine::verify_store(source);
  if (!verified) return std::unexpected(verified.error());
  if (verified->has_torn_tail()) return std::unexpected(restore_failure("restore source has a torn tail"));
  // Refused before any byte is copied; the move at the end refuses a
  // destination that appears meanwhile with the same error.
  auto exists = File::exists(destination);
  if (!exists) return std::unexpected(EngineError::io(exists.error()));
  if (*exists) return std::unexpected(EngineError::io(IoError::from_errno(EEXIST)));

  auto from = File::open_read_only(source);
  if (!from) return std::unexpected(EngineError::io(from.error()));
  // Held shared for the copy, so that no writer can open the source and
  // append between its verification and the copy.
  if (auto locked = from->lock_shared_nonblocking(); !locked)
    return std::unexpected(engine::map_lock_error(locked.error()));
  auto staged = StagedDestination::reserve(destination, ".restore-", "restore");
  if (!staged) return std::unexpected(sibling_engine_error(staged.error(), "restore"));
  auto copied = copy_file_bytes(*from, staged->file());
  from->unlock();
  from->close();
  if (!copied) return std::unexpected(EngineError::io(copied.error()));

  auto check = engine::verify_store(staged->temporary());
  if (!check) return std::unexpected(check.error());
  if (!same_state(*verified, *check))
    return std::unexpected(restore_failure("restored store does not match verified source"));
  if (auto published = staged->publish(StagedDestination::Move::NoReplace); !published)
    return std::unexpected(EngineError::io(published.error()));
  RestoreReport report;
  report.store_id = check->header.store_id;
  report.bytes = *copied;
  report.keys = check->keys;
  return report;
}

}  // namespace ombrel::maintenance
