#include "util/digest.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <cstdio>
#include <limits>

namespace ombrel {

uint32_t crc32_of(std::string_view bytes) {
  // zlib takes lengths as uInt; feed large inputs in slices.
  uLong crc = crc32(0L, Z_NULL, 0);
  const auto* p = reinterpret_cast<const Bytef*>(bytes.data());
  size_t left = bytes.size();
  constexpr size_t kSlice = std::numeric_limits<uInt>::max() / 2;
  while (left > 0) {
    size_t n = left < kSlice ? left : kSlice;
    crc = crc32(crc, p, static_cast<uInt>(n));
    p += n;
    left -= n;
  }
  return static_cast<uint32_t>(crc);
}

Sha256Digest sha256_of(std::string_view bytes) {
  Sha256Digest out{};
  unsigned int len = 0;
  // EVP_Digest with a fetched-once implementation; it cannot fail for SHA-256
  // short of memory exhaustion inside libcrypto.
  EVP_Digest(bytes.data(), bytes.size(), out.data(), &len, EVP_sha256(), nullptr);
  return out;
}

std::string format_checksum(uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", value);
  return buf;
}

}  // namespace ombrel
