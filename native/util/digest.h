// Checksums and digests: CRC-32 (IEEE 802.3, zlib's crc32) for the store file
// and SHA-256 (OpenSSL libcrypto) for content digests.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace ombrel {

using Sha256Digest = std::array<uint8_t, 32>;

uint32_t crc32_of(std::string_view bytes);
Sha256Digest sha256_of(std::string_view bytes);

// "0x" followed by eight zero-padded lower-case hexadecimal digits.
std::string format_checksum(uint32_t value);

}  // namespace ombrel
