// Keys and record values of the object layer.
//
// Internal keys (every object record counts under namespace "internal:obj"):
//   data       0xFF "omb:obj:data:" | id (32 bytes)                        46 bytes
//   metadata   0xFF "omb:obj:meta:" | id (32 bytes)                        46 bytes
//   reference  0xFF "omb:obj:ref:"  | ns len u32 BE | ns | name len u32 BE | name
//   namespace  0xFF "omb:obj:ref:"  | ns len u32 BE | ns     (listing prefix)
// The namespace is length-prefixed so that one namespace's references form a
// key range no other namespace shares. Key order inside a namespace is
// therefore by name length first; listings sort by name themselves.
//
// Data value:
//   offset  width  field
//   0       1      format version, 1
//   1       8      content length L, u64 LE
//   9       L      content
// Valid only when it is exactly 9 + L bytes with version 1.
//
// Metadata value (entries in normalised order):
//   offset  width  field
//   0       1      format version, 1
//   1       4      entry count N, u32 LE
//   5       ...    N entries: key length u32 LE | value length u32 LE | key | value
// Every entry must be complete and nothing may follow the last one; the
// decoded pairs are normalised again, so a stored record that breaks the
// limits or repeats a key is refused with the normalisation error.
//
// Reference value: exactly the 32-byte object id.
//
// Normalisation (before every write and after every decode): sort by key
// (unsigned bytes); then, entry by entry, key 1..4096 bytes and value at most
// 65536 bytes (MetadataTooLarge), key differs from the previous one
// (MetadataDuplicateKey), running total of key and value bytes at most
// 262144 (MetadataTooLarge). The first failure wins; no entries is valid.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/key_area.h"
#include "records/object_error.h"
#include "util/byte_codec.h"
#include "util/digest.h"

namespace ombrel::records {

// The SHA-256 of an object's content, nothing else mixed in.
using ObjectId = Sha256Digest;
inline constexpr size_t kObjectIdSize = 32;

using ObjectMetadata = std::vector<std::pair<std::string, std::string>>;

inline constexpr engine::KeyArea kObjectArea{"objects", {"\xFFomb:obj:", 9}};
inline constexpr std::string_view kObjectDataPrefix{"\xFFomb:obj:data:", 14};
inline constexpr std::string_view kObjectMetaPrefix{"\xFFomb:obj:meta:", 14};
inline constexpr std::string_view kObjectRefPrefix{"\xFFomb:obj:ref:", 13};
static_assert(kObjectArea.holds(kObjectDataPrefix) && kObjectArea.holds(kObjectMetaPrefix) &&
              kObjectArea.holds(kObjectRefPrefix));
inline constexpr size_t kObjectRecordKeySize = kObjectDataPrefix.size() + kObjectIdSize;

inline constexpr size_t kMaxMetadataKeyBytes = 4096;
inline constexpr size_t kMaxMetadataValueBytes = 65536;
inline constexpr uint64_t kMaxMetadataTotalBytes = 262144;
inline constexpr std::string_view kExpiresAtKey = "expires_at_unix";

ObjectId object_id_of(BytesView content);
inline BytesView id_bytes(const ObjectId& id) { return BytesView(reinterpret_cast<const char*>(id.data()), id.size()); }
// Nullopt unless `bytes` is exactly 32 bytes long.
std::optional<ObjectId> object_id_from(BytesView bytes);

std::string object_data_key(const ObjectId& id);
std::string object_meta_key(const ObjectId& id);
// The id carried by a data (or metadata) key of the given prefix; CorruptData
// unless the key is 46 bytes long and begins with that prefix.
std::expected<ObjectId, ObjectError> object_id_from_key(BytesView key, BytesView prefix);

// EmptyReferenceName / ReferenceNameTooLong, checked namespace first.
std::expected<std::string, ObjectError> object_ref_key(BytesView ns, BytesView name);
std::expected<std::string, ObjectError> object_ref_namespace_prefix(BytesView ns);
// The reference's id; CorruptReference unless the value is 32 bytes.
std::expected<ObjectId, ObjectError> decode_object_ref(BytesView value);

std::string encode_object_data(BytesView content);
// A view of the content inside `value`; CorruptData when malformed.
std::expected<BytesView, ObjectError> decode_object_data(BytesView value);

std::expected<ObjectMetadata, ObjectError> normalize_metadata(ObjectMetadata metadata);
// `metadata` must be normalised (which bounds every length).
std::string encode_object_metadata(const ObjectMetadata& metadata);
std::expected<ObjectMetadata, ObjectError> decode_object_metadata(BytesView value);

// When the object of this metadata value expires: nullopt for never (no
// "expires_at_unix" entry). The value's decoding errors, and CorruptMetadata
// for an expiry text that parse_expiry refuses.
std::expected<std::optional<int64_t>, ObjectError> decode_expiry(BytesView metadata_value);

// The "expires_at_unix" text: an optional '+' or '-' and at least one ASCII
// digit, nothing else, within the signed 64-bit range. Nullopt otherwise.
std::optional<int64_t> parse_expiry(BytesView text);

}  // namespace ombrel::records
