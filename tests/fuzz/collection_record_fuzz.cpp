// Any bytes as a collection value: the first byte picks the layout
// (definition, index definition, record, migration), the rest is the value.
// Each decoder refuses it as corrupt or decodes it into a value that encodes
// back to exactly those bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "records/collection.h"

using namespace ombrel::records;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  constexpr auto kMetadata = CollectionError::Kind::CorruptMetadata;
  switch (data[0] % 4) {
    case 0:
      check_round_trip(decode_collection_definition(bytes), encode_collection_definition, bytes, kMetadata);
      break;
    case 1:
      check_round_trip(decode_index_definition(bytes), encode_index_definition, bytes, kMetadata);
      break;
    case 2:
      check_round_trip(decode_record_value(bytes), encode_record_value, bytes, CollectionError::Kind::CorruptRecord);
      break;
    default: {
      auto migration = decode_collection_migration(bytes);
      FUZZ_CHECK(!migration || migration->to_version > migration->from_version);
      check_round_trip(migration, encode_collection_migration, bytes, kMetadata);
      break;
    }
  }
  return 0;
}
