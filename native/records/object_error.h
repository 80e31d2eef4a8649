// Errors of the object layer, one fixed display text per variant.
//
//   #  ObjectError::Kind       display text
//   0  Engine                  "store error: {engine text}"
//   1  NotFound                "object does not exist"
//   2  CorruptData             "object data is corrupt or unsupported"
//   3  CorruptReference        "object reference is corrupt"
//   4  EmptyReferenceName      "object reference namespace/name must not be empty"
//   5  ReferenceNameTooLong    "object reference namespace/name is too long"
//   6  MetadataTooLarge        "object metadata is too large or invalid"
//   7  MetadataDuplicateKey    "object metadata contains a duplicate key"
//   8  CorruptMetadata         "object metadata is corrupt or unsupported"
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "engine/errors.h"

namespace ombrel::records {

class ObjectError {
 public:
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

  static ObjectError engine(engine::EngineError e) { return ObjectError(Kind::Engine, std::move(e)); }
  static ObjectError of(Kind k) { return ObjectError(k, std::nullopt); }
  Kind kind() const { return kind_; }
  // The engine error underneath, for Kind::Engine.
  const std::optional<engine::EngineError>& engine_error() const { return engine_; }
  std::string message() const;

 private:
  ObjectError(Kind k, std::optional<engine::EngineError> e) : kind_(k), engine_(std::move(e)) {}
  Kind kind_;
  std::optional<engine::EngineError> engine_;
};

}  // namespace ombrel::records
