#include "engine/store_header.h"

#include "util/byte_codec.h"
#include "util/digest.h"
#include "util/invariant.h"

namespace ombrel::engine {

std::string StoreHeader::encode() const {
  std::string out;
  out.reserve(kStoreHeaderSize);
  ByteWriter w(out);
  w.bytes(kStoreHeaderMagic);
  w.u16_le(format_major);
  w.u16_le(format_minor);
  w.bytes(BytesView(reinterpret_cast<const char*>(store_id.data()), store_id.size()));
  w.u64_le(created_at_ms);
  w.u64_le(reserved);
  w.zeros(kHeaderChecksumOffset - kHeaderPaddingOffset);
  OMBREL_ASSERT(out.size() == kHeaderChecksumOffset);
  w.u32_le(crc32_of(out));
  return out;
}

std::expected<StoreHeader, HeaderError> StoreHeader::decode(std::string_view bytes) {
  const auto fixed = FixedPart<kStoreHeaderSize>::of(bytes);
  if (!fixed) return std::unexpected(HeaderError{HeaderError::Kind::Truncated});
  if (!bytes.starts_with(kStoreHeaderMagic)) return std::unexpected(HeaderError{HeaderError::Kind::BadMagic});
  uint32_t stored = fixed->u32_le<kHeaderChecksumOffset>();
  uint32_t computed = crc32_of(bytes.substr(0, kHeaderChecksumOffset));
  if (stored != computed) {
    HeaderError e{HeaderError::Kind::ChecksumMismatch};
    e.expected = stored;
    e.got = computed;
    return std::unexpected(e);
  }
  StoreHeader h;
  h.format_major = fixed->u16_le<kHeaderFormatMajorOffset>();
  h.format_minor = fixed->u16_le<kHeaderFormatMinorOffset>();
  if (h.format_major != kFormatMajor) {
    HeaderError e{HeaderError::Kind::UnsupportedVersion};
    e.found = h.format_major;
    e.supported = kFormatMajor;
    return std::unexpected(e);
  }
  h.store_id = fixed->byte_array<kHeaderStoreIdOffset, 16>();
  h.created_at_ms = fixed->u64_le<kHeaderCreatedAtOffset>();
  h.reserved = fixed->u64_le<kHeaderReservedOffset>();
  return h;
}

}  // namespace ombrel::engine
