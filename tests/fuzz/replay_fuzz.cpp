// Any bytes as a log after the header: replay either refuses them or stops at
// a record boundary inside them, and replaying just the valid part gives the
// same state with nothing torn. Whatever stops a replay, the prefix before it
// (what a salvage keeps) replays cleanly to its end.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/recovery.h"
#include "fuzz_check.h"

using namespace ombrel::engine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view log(reinterpret_cast<const char*>(data), size);
  ReplayOutcome outcome = replay_log(log);
  const uint64_t kept = outcome.failure ? outcome.failure->offset : outcome.state.valid_bytes;
  FUZZ_CHECK(kept >= kStoreHeaderSize && kept - kStoreHeaderSize <= size);
  auto salvaged = recover_log(log.substr(0, kept - kStoreHeaderSize));
  FUZZ_CHECK(salvaged.has_value() && salvaged->valid_bytes == kept);
  auto state = recover_log(log);
  if (!state) return 0;
  FUZZ_CHECK(state->valid_bytes >= kStoreHeaderSize && state->valid_bytes - kStoreHeaderSize <= size);
  auto valid = recover_log(log.substr(0, state->valid_bytes - kStoreHeaderSize));
  FUZZ_CHECK(valid.has_value());
  FUZZ_CHECK(valid->valid_bytes == state->valid_bytes && valid->records == state->records &&
             valid->committed_transactions == state->committed_transactions && valid->live == state->live);
  return 0;
}
