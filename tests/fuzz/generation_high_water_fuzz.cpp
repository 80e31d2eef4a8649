// Any bytes as the log of a generation's source image: the high-water walk
// refuses them or returns marks, and wherever replay accepts the log the
// marks are replay's own largest transaction id and last sequence.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/recovery.h"
#include "fuzz_check.h"
#include "maintenance/generation.h"

using namespace ombrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view log(reinterpret_cast<const char*>(data), size);
  auto marks = maintenance::log_high_water_of_image(log);
  auto replayed = engine::recover_log(log);
  if (!replayed) return 0;
  FUZZ_CHECK(marks.has_value());
  FUZZ_CHECK(marks->max_tx_id == replayed->max_tx_id && marks->max_sequence == replayed->last_sequence);
  return 0;
}
