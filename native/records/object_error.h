// Errors of the object layer, one fixed display text per variant.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "engine/domain_error.h"
#include "engine/errors.h"

namespace ombrel::records {

struct ObjectErrorTexts {
  enum class Kind : uint8_t {
    Engine,
    NotFound,
    CorruptData,
    CorruptReference,
    EmptyReferenceName,
    ReferenceNameTooLong,
    MetadataTooLarge,
    MetadataDuplicateKey,
    CorruptMetadata,
  };
  static constexpr auto kTexts = std::to_array<engine::ErrorText<Kind>>({
      {Kind::Engine, "store error: {}"},
      {Kind::NotFound, "object does not exist"},
      {Kind::CorruptData, "object data is corrupt or unsupported"},
      {Kind::CorruptReference, "object reference is corrupt"},
      {Kind::EmptyReferenceName, "object reference namespace/name must not be empty"},
      {Kind::ReferenceNameTooLong, "object reference namespace/name is too long"},
      {Kind::MetadataTooLarge, "object metadata is too large or invalid"},
      {Kind::MetadataDuplicateKey, "object metadata contains a duplicate key"},
      {Kind::CorruptMetadata, "object metadata is corrupt or unsupported"},
  });
};
using ObjectError = engine::DomainError<ObjectErrorTexts>;

}  // namespace ombrel::records
