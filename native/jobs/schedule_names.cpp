#include "jobs/schedule_names.h"

#include "util/component_key.h"

namespace ombrel::jobs {
namespace {

constexpr uint8_t kFormatVersion = 1;
constexpr size_t kNameVersionOffset = 0;
constexpr size_t kNameIdOffset = 1;
constexpr size_t kNameBytes = 17;
static_assert(contiguous_fields({{kNameVersionOffset, 1}, {kNameIdOffset, kIdBytes}}, kNameBytes));

}  // namespace

std::optional<Bytes> schedule_name_key(std::string_view name_prefix, BytesView name) {
  return component_key(name_prefix, {name});
}

Bytes encode_schedule_name(const JobId& id) {
  Bytes out;
  out.reserve(kNameBytes);
  ByteWriter w(out);
  w.u8(kFormatVersion);
  w.bytes(id_view(id));
  return out;
}

std::optional<JobId> decode_schedule_name(BytesView value) {
  const auto fixed = FixedPart<kNameBytes>::of(value);
  if (!fixed || value.size() != kNameBytes || fixed->u8<kNameVersionOffset>() != kFormatVersion) return std::nullopt;
  return fixed->byte_array<kNameIdOffset, kIdBytes>();
}

}  // namespace ombrel::jobs
