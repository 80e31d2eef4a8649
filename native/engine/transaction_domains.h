// The error words of domain writes made inside a caller's engine transaction
// (queue push, stream and topic append, object put, link and unlink), shared
// so that a Python Transaction reports every such write alike.
//
//   #  DomainTransactionError::Kind  display text
//   0  Engine                        "store error: {engine text}"
//   1  EmptyName                     "queue/stream/topic name cannot be empty"
//   2  NameTooLong                   "name is too long"
//   3  PayloadTooLarge               "payload/object is too large"
//   4  CorruptMetadata               "transactional metadata is corrupt"
//   5  Exhausted                     "transactional counter/offset is exhausted"
//   6  ObjectMissing                 "object does not exist"
//   7  EmptyReferenceName            "object reference namespace/name must not be empty"
//   8  ReferenceNameTooLong          "object reference namespace/name is too long"
//
// The operations themselves live with their domains (messaging::push_queue,
// messaging::append_stream, records::put_object_tx, ...), each reading
// through the transaction so that several of them in one transaction see one
// another: two pushes to one queue take consecutive ids, a link finds an
// object put earlier in the same transaction.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "engine/errors.h"

namespace ombrel::engine {

class DomainTransactionError {
 public:
  enum class Kind : uint8_t {
    Engine,
    EmptyName,
    NameTooLong,
    PayloadTooLarge,
    CorruptMetadata,
    Exhausted,
    ObjectMissing,
    EmptyReferenceName,
    ReferenceNameTooLong,
  };

  static DomainTransactionError engine(EngineError e) { return DomainTransactionError(Kind::Engine, std::move(e)); }
  static DomainTransactionError of(Kind k) { return DomainTransactionError(k, std::nullopt); }

  Kind kind() const { return kind_; }
  const std::optional<EngineError>& engine_error() const { return engine_; }
  std::string message() const;

 private:
  DomainTransactionError(Kind k, std::optional<EngineError> e) : kind_(k), engine_(std::move(e)) {}
  Kind kind_;
  std::optional<EngineError> engine_;
};

}  // namespace ombrel::engine
