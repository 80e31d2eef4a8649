// History entries of jobs and workflows: one value layout, whose kind codes
// each domain gives. Stored under the entity's history prefix and an 8-byte
// big-endian sequence (sequence_after in util/component_key.h).
//
//   offset  width  field
//   0       1      format version, 1
//   1       8      sequence (u64 LE)
//   9       8      at_ms (i64 LE)
//   17      1      kind code
//   18      4      detail length L (u32 LE)
//   22      L      detail
// The value ends exactly after the detail.
#pragma once

#include <cstdint>
#include <optional>

#include "util/byte_codec.h"

namespace ombrel {

inline constexpr size_t kHistoryVersionOffset = 0;
inline constexpr size_t kHistorySequenceOffset = 1;
inline constexpr size_t kHistoryAtOffset = 9;
inline constexpr size_t kHistoryKindOffset = 17;
inline constexpr size_t kHistoryDetailLengthOffset = 18;
inline constexpr size_t kHistoryFixedBytes = 22;
static_assert(contiguous_fields({{kHistoryVersionOffset, 1},
                                 {kHistorySequenceOffset, 8},
                                 {kHistoryAtOffset, 8},
                                 {kHistoryKindOffset, 1},
                                 {kHistoryDetailLengthOffset, 4}},
                                kHistoryFixedBytes));

struct HistoryEntryView {
  uint64_t sequence;
  int64_t at_ms;
  uint8_t kind;
  BytesView detail;  // points into the decoded value
};

// The caller has checked that the detail fits a 32-bit length.
Bytes encode_history_entry(uint64_t sequence, int64_t at_ms, uint8_t kind, BytesView detail);
// Nothing for another version, a kind code above `max_kind`, a short or
// overrunning value, or a byte after the detail.
std::optional<HistoryEntryView> decode_history_entry(BytesView value, uint8_t max_kind);

}  // namespace ombrel
