#include "engine/transaction_domains.h"

namespace ombrel::engine {

std::string DomainTransactionError::message() const {
  switch (kind_) {
    case Kind::Engine:
      return "store error: " + engine_->message();
    case Kind::EmptyName:
      return "queue/stream/topic name cannot be empty";
    case Kind::NameTooLong:
      return "name is too long";
    case Kind::PayloadTooLarge:
      return "payload/object is too large";
    case Kind::CorruptMetadata:
      return "transactional metadata is corrupt";
    case Kind::Exhausted:
      return "transactional counter/offset is exhausted";
    case Kind::ObjectMissing:
      return "object does not exist";
    case Kind::EmptyReferenceName:
      return "object reference namespace/name must not be empty";
    case Kind::ReferenceNameTooLong:
      return "object reference namespace/name is too long";
  }
  return {};
}

}  // namespace ombrel::engine
