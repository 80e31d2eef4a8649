// The error words of domain writes made inside a caller's engine transaction
// (queue push, stream and topic append, object put, link and unlink), shared
// so that a Python Transaction reports every such write alike.
//
// The operations themselves live with their domains (messaging::push_queue,
// messaging::append_stream, records::put_object_tx, ...), each reading
// through the transaction so that several of them in one transaction see one
// another: two pushes to one queue take consecutive ids, a link finds an
// object put earlier in the same transaction.
#pragma once

#include <array>
#include <cstdint>

#include "engine/domain_error.h"

namespace ombrel::engine {

struct DomainTransactionErrorTexts {
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
  static constexpr auto kTexts = std::to_array<ErrorText<Kind>>({
      {Kind::Engine, "store error: {}"},
      {Kind::EmptyName, "queue/stream/topic name cannot be empty"},
      {Kind::NameTooLong, "name is too long"},
      {Kind::PayloadTooLarge, "payload/object is too large"},
      {Kind::CorruptMetadata, "transactional metadata is corrupt"},
      {Kind::Exhausted, "transactional counter/offset is exhausted"},
      {Kind::ObjectMissing, "object does not exist"},
      {Kind::EmptyReferenceName, "object reference namespace/name must not be empty"},
      {Kind::ReferenceNameTooLong, "object reference namespace/name is too long"},
  });
};
using DomainTransactionError = DomainError<DomainTransactionErrorTexts>;

}  // namespace ombrel::engine
