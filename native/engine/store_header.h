// The 64-byte store header at file offset 0.
//
//   offset width field            encoding
//   0      8     magic            "OSTORE01"
//   8      2     format_major     u16 LE; written and accepted: 1 only
//   10     2     format_minor     u16 LE; written 0, any value accepted
//   12     16    store_id         random bytes drawn at creation
//   28     8     created_at_ms    u64 LE; wall clock at creation (<= 2^63-1 written)
//   36     8     reserved         u64 LE; written 0, carried into new generations
//   44     16    padding          zero bytes when written; not checked
//   60     4     checksum         u32 LE CRC-32 of bytes 0..59
//
// Decoding checks, first failure reported: fewer than 64 bytes (Truncated),
// magic (BadMagic), checksum (ChecksumMismatch), major version
// (UnsupportedVersion). Only the first 64 bytes are examined.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "engine/errors.h"
#include "util/byte_codec.h"

namespace ombrel::engine {

inline constexpr size_t kStoreHeaderSize = 64;
inline constexpr size_t kHeaderFormatMajorOffset = 8;
inline constexpr size_t kHeaderFormatMinorOffset = 10;
inline constexpr size_t kHeaderStoreIdOffset = 12;
inline constexpr size_t kHeaderCreatedAtOffset = 28;
inline constexpr size_t kHeaderReservedOffset = 36;
inline constexpr size_t kHeaderPaddingOffset = 44;
inline constexpr size_t kHeaderChecksumOffset = 60;
inline constexpr uint16_t kFormatMajor = 1;
inline constexpr std::string_view kStoreHeaderMagic{"OSTORE01", 8};
static_assert(contiguous_fields({{0, kStoreHeaderMagic.size()},
                                 {kHeaderFormatMajorOffset, 2},
                                 {kHeaderFormatMinorOffset, 2},
                                 {kHeaderStoreIdOffset, 16},
                                 {kHeaderCreatedAtOffset, 8},
                                 {kHeaderReservedOffset, 8},
                                 {kHeaderPaddingOffset, 16},
                                 {kHeaderChecksumOffset, 4}},
                                kStoreHeaderSize));

struct StoreHeader {
  std::array<uint8_t, 16> store_id{};
  uint64_t created_at_ms = 0;
  uint64_t reserved = 0;
  uint16_t format_major = kFormatMajor;
  uint16_t format_minor = 0;

  std::string encode() const;
  static std::expected<StoreHeader, HeaderError> decode(std::string_view bytes);
};

}  // namespace ombrel::engine
