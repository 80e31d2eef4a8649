// Replay of logs made of well-framed records (valid magic and checksums), so
// that the fuzzer reaches the transaction rules instead of the checksum:
// interleaved transactions, sequence order, records after a commit, malformed
// operation payloads. Input: repeated [kind, tx_id, sequence step, payload
// length, payload...], then an optional torn tail of whatever bytes remain.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/log_record.h"
#include "engine/recovery.h"
#include "fuzz_check.h"
#include "util/byte_codec.h"

using namespace ombrel;
using namespace ombrel::engine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteReader in(std::string_view(reinterpret_cast<const char*>(data), size));
  std::string log;
  uint64_t sequence = 0;
  size_t whole_records = 0;
  while (in.remaining() >= 4) {
    uint8_t kind = *in.u8() % 4 + 1;  // 1..3 are real kinds, 4 is refused
    uint8_t tx_id = *in.u8() % 8;
    uint8_t step = *in.u8() % 3;  // 0 repeats a sequence number
    uint8_t length = *in.u8();
    auto payload = in.bytes(std::min<size_t>(length, in.remaining()));
    sequence += step;
    if (!encode_record_into(log, static_cast<RecordKind>(kind), tx_id, sequence, *payload)) return 0;
    ++whole_records;
  }
  const size_t framed = log.size();
  log.append(in.rest());
  auto state = recover_log(log);
  if (!state) return 0;
  FUZZ_CHECK(state->valid_bytes - kStoreHeaderSize <= framed);
  FUZZ_CHECK(state->records <= whole_records);
  FUZZ_CHECK(state->committed_transactions + state->pending_transactions <= state->records);
  return 0;
}
