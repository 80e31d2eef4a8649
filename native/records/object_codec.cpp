#include "records/object_codec.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "util/component_key.h"
#include "util/invariant.h"

namespace ombrel::records {
namespace {

constexpr uint8_t kObjectFormatVersion = 1;
constexpr size_t kDataHeaderSize = 1 + 8;  // before the content (object_codec.h)

ObjectError error(ObjectError::Kind kind) { return ObjectError::of(kind); }

std::string id_key(BytesView prefix, const ObjectId& id) {
  std::string key;
  key.reserve(prefix.size() + id.size());
  ByteWriter w(key);
  w.bytes(prefix);
  w.bytes(id_bytes(id));
  return key;
}

std::expected<void, ObjectError> check_reference_part(BytesView part) {
  if (part.empty()) return std::unexpected(error(ObjectError::Kind::EmptyReferenceName));
  if (!component_fits(part)) return std::unexpected(error(ObjectError::Kind::ReferenceNameTooLong));
  return {};
}

}  // namespace

ObjectId object_id_of(BytesView content) { return sha256_of(content); }

std::optional<ObjectId> object_id_from(BytesView bytes) {
  if (bytes.size() != kObjectIdSize) return std::nullopt;
  ObjectId id{};
  std::memcpy(id.data(), bytes.data(), id.size());
  return id;
}

std::string object_data_key(const ObjectId& id) { return id_key(kObjectDataPrefix, id); }
std::string object_meta_key(const ObjectId& id) { return id_key(kObjectMetaPrefix, id); }

std::expected<ObjectId, ObjectError> object_id_from_key(BytesView key, BytesView prefix) {
  auto id = key.starts_with(prefix) ? object_id_from(key.substr(prefix.size())) : std::nullopt;
  if (!id) return std::unexpected(error(ObjectError::Kind::CorruptData));
  return *id;
}

std::expected<std::string, ObjectError> object_ref_key(BytesView ns, BytesView name) {
  if (auto ok = check_reference_part(ns); !ok) return std::unexpected(ok.error());
  if (auto ok = check_reference_part(name); !ok) return std::unexpected(ok.error());
  auto key = component_key(kObjectRefPrefix, {ns, name});
  if (!OMBREL_HOLDS(key)) return std::unexpected(error(ObjectError::Kind::ReferenceNameTooLong));
  return std::move(*key);
}

std::expected<std::string, ObjectError> object_ref_namespace_prefix(BytesView ns) {
  if (auto ok = check_reference_part(ns); !ok) return std::unexpected(ok.error());
  auto prefix = component_key(kObjectRefPrefix, {ns});
  if (!OMBREL_HOLDS(prefix)) return std::unexpected(error(ObjectError::Kind::ReferenceNameTooLong));
  return std::move(*prefix);
}

std::expected<ObjectId, ObjectError> decode_object_ref(BytesView value) {
  auto id = object_id_from(value);
  if (!id) return std::unexpected(error(ObjectError::Kind::CorruptReference));
  return *id;
}

std::string encode_object_data(BytesView content) {
  std::string out;
  out.reserve(kDataHeaderSize + content.size());
  ByteWriter w(out);
  w.u8(kObjectFormatVersion);
  w.u64_le(content.size());
  w.bytes(content);
  return out;
}

std::expected<BytesView, ObjectError> decode_object_data(BytesView value) {
  ByteReader r(value);
  auto version = r.u8();
  auto length = r.u64_le();
  if (!version || *version != kObjectFormatVersion || !length || r.remaining() != *length)
    return std::unexpected(error(ObjectError::Kind::CorruptData));
  return r.rest();
}

std::expected<ObjectMetadata, ObjectError> normalize_metadata(ObjectMetadata metadata) {
  std::stable_sort(metadata.begin(), metadata.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  uint64_t total = 0;
  for (size_t i = 0; i < metadata.size(); ++i) {
    const auto& [key, value] = metadata[i];
    if (key.empty() || key.size() > kMaxMetadataKeyBytes || value.size() > kMaxMetadataValueBytes)
      return std::unexpected(error(ObjectError::Kind::MetadataTooLarge));
    if (i > 0 && metadata[i - 1].first == key) return std::unexpected(error(ObjectError::Kind::MetadataDuplicateKey));
    total += key.size() + value.size();  // each entry is bounded, so no overflow
    if (total > kMaxMetadataTotalBytes) return std::unexpected(error(ObjectError::Kind::MetadataTooLarge));
  }
  return metadata;
}

std::string encode_object_metadata(const ObjectMetadata& metadata) {
  std::string out;
  ByteWriter w(out);
  w.u8(kObjectFormatVersion);
  w.u32_le(static_cast<uint32_t>(metadata.size()));
  for (const auto& [key, value] : metadata) {
    w.u32_le(static_cast<uint32_t>(key.size()));
    w.u32_le(static_cast<uint32_t>(value.size()));
    w.bytes(key);
    w.bytes(value);
  }
  return out;
}

std::expected<ObjectMetadata, ObjectError> decode_object_metadata(BytesView value) {
  const auto corrupt = [] { return std::unexpected(error(ObjectError::Kind::CorruptMetadata)); };
  ByteReader r(value);
  auto version = r.u8();
  auto count = r.u32_le();
  if (!version || *version != kObjectFormatVersion || !count) return corrupt();
  ObjectMetadata metadata;
  // Each entry takes at least 8 bytes: a forged count cannot make us reserve more than the value holds.
  metadata.reserve(std::min<size_t>(*count, r.remaining() / 8));
  for (uint32_t i = 0; i < *count; ++i) {
    auto key_length = r.u32_le();
    auto value_length = r.u32_le();
    if (!key_length || !value_length) return corrupt();
    auto key = r.bytes(*key_length);
    auto entry_value = key ? r.bytes(*value_length) : std::nullopt;
    if (!entry_value) return corrupt();
    metadata.emplace_back(std::string(*key), std::string(*entry_value));
  }
  if (!r.at_end()) return corrupt();
  return normalize_metadata(std::move(metadata));
}

std::expected<std::optional<int64_t>, ObjectError> decode_expiry(BytesView metadata_value) {
  auto metadata = decode_object_metadata(metadata_value);
  if (!metadata) return std::unexpected(metadata.error());
  auto entry = std::ranges::find(*metadata, kExpiresAtKey, [](const auto& pair) { return BytesView(pair.first); });
  if (entry == metadata->end()) return std::optional<int64_t>{};
  auto expires_at = parse_expiry(entry->second);
  if (!expires_at) return std::unexpected(error(ObjectError::Kind::CorruptMetadata));
  return expires_at;
}

std::optional<int64_t> parse_expiry(BytesView text) {
  BytesView digits = text;
  const bool negative = digits.starts_with('-');
  if (negative || digits.starts_with('+')) digits.remove_prefix(1);
  if (digits.empty() || !std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
  // from_chars takes the '-' itself, so the negative bound is checked exactly.
  std::string number;
  if (negative) number.push_back('-');
  number.append(digits);
  int64_t value = 0;
  auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (ec != std::errc{} || end != number.data() + number.size()) return std::nullopt;
  return value;
}

}  // namespace ombrel::records
