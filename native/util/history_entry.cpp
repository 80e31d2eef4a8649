#include "util/history_entry.h"

#include "util/invariant.h"

namespace ombrel {
namespace {

constexpr uint8_t kFormatVersion = 1;

}  // namespace

Bytes encode_history_entry(uint64_t sequence, int64_t at_ms, uint8_t kind, BytesView detail) {
  Bytes out;
  out.reserve(kHistoryFixedBytes + detail.size());
  ByteWriter w(out);
  w.u8(kFormatVersion);
  w.u64_le(sequence);
  w.i64_le(at_ms);
  w.u8(kind);
  OMBREL_ASSERT(out.size() == kHistoryDetailLengthOffset);
  w.field_le(detail);
  return out;
}

std::optional<HistoryEntryView> decode_history_entry(BytesView value, uint8_t max_kind) {
  const auto fixed = FixedPart<kHistoryFixedBytes>::of(value);
  if (!fixed) return std::nullopt;
  const uint8_t kind = fixed->u8<kHistoryKindOffset>();
  if (fixed->u8<kHistoryVersionOffset>() != kFormatVersion || kind > max_kind) return std::nullopt;
  ByteReader detail(value.substr(kHistoryDetailLengthOffset));
  auto text = detail.field_le();
  if (!text || !detail.at_end()) return std::nullopt;
  return HistoryEntryView{fixed->u64_le<kHistorySequenceOffset>(), fixed->i64_le<kHistoryAtOffset>(), kind, *text};
}

}  // namespace ombrel
