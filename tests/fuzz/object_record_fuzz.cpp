// Any bytes as an object record: the first byte picks the layout (data value,
// metadata value, reference value, expiry text), the rest is the value.
// Decoders refuse it with their own error or decode it into a value that
// encodes back: exactly for data and references; for metadata, which is
// normalised on decoding, to a record of the same length that decodes to the
// same pairs. A parsed expiry prints back as the same number.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "records/object_codec.h"

using namespace ombrel::records;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0:
      check_round_trip(decode_object_data(bytes), encode_object_data, bytes, ObjectError::Kind::CorruptData);
      break;
    case 1:
      if (auto metadata = decode_object_metadata(bytes)) {
        const std::string encoded = encode_object_metadata(*metadata);
        FUZZ_CHECK(encoded.size() == bytes.size());
        auto again = decode_object_metadata(encoded);
        FUZZ_CHECK(again && *again == *metadata);
      } else {
        const auto kind = metadata.error().kind();
        FUZZ_CHECK(kind == ObjectError::Kind::CorruptMetadata || kind == ObjectError::Kind::MetadataTooLarge ||
                   kind == ObjectError::Kind::MetadataDuplicateKey);
      }
      break;
    case 2:
      check_round_trip(decode_object_ref(bytes), id_bytes, bytes, ObjectError::Kind::CorruptReference);
      break;
    default:
      if (auto expires_at = parse_expiry(bytes)) {
        std::string_view digits = bytes;
        if (digits.starts_with('+') || digits.starts_with('-')) digits.remove_prefix(1);
        while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
        std::string printed = std::to_string(*expires_at);
        if (printed.starts_with('-')) printed.erase(0, 1);
        FUZZ_CHECK(printed == digits);
        FUZZ_CHECK(*expires_at == 0 || (*expires_at < 0) == bytes.starts_with('-'));
      }
      break;
  }
  return 0;
}
