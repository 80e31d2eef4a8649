#include "engine/store_header.h"

#include <cstring>

#include "util/byte_codec.h"
#include "util/digest.h"

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
  w.zeros(16);
  w.u32_le(crc32_of(out));
  return out;
}

std::expected<StoreHeader, HeaderError> StoreHeader::decode(std::string_view bytes) {
  if (bytes.size() < kStoreHeaderSize) return std::unexpected(HeaderError{HeaderError::Kind::Truncated});
  if (bytes.substr(0, 8) != kStoreHeaderMagic) return std::unexpected(HeaderError{HeaderError::Kind::BadMagic});
  uint32_t stored = load_u32_le(bytes.data() + 60);
  uint32_t computed = crc32_of(bytes.substr(0, 60));
  if (stored != computed) {
    HeaderError e{HeaderError::Kind::ChecksumMismatch};
    e.expected = stored;
    e.got = computed;
    return std::unexpected(e);
  }
  StoreHeader h;
  h.format_major = load_u16_le(bytes.data() + 8);
  h.format_minor = load_u16_le(bytes.data() + 10);
  if (h.format_major != kFormatMajor) {
    HeaderError e{HeaderError::Kind::UnsupportedVersion};
    e.found = h.format_major;
    e.supported = kFormatMajor;
    return std::unexpected(e);
  }
  std::memcpy(h.store_id.data(), bytes.data() + 12, 16);
  h.created_at_ms = load_u64_le(bytes.data() + 28);
  h.reserved = load_u64_le(bytes.data() + 36);
  return h;
}

}  // namespace ombrel::engine
