#include "records/object_error.h"

namespace ombrel::records {

std::string ObjectError::message() const {
  switch (kind_) {
    case Kind::Engine:
      return "store error: " + engine_->message();
    case Kind::NotFound:
      return "object does not exist";
    case Kind::CorruptData:
      return "object data is corrupt or unsupported";
    case Kind::CorruptReference:
      return "object reference is corrupt";
    case Kind::EmptyReferenceName:
      return "object reference namespace/name must not be empty";
    case Kind::ReferenceNameTooLong:
      return "object reference namespace/name is too long";
    case Kind::MetadataTooLarge:
      return "object metadata is too large or invalid";
    case Kind::MetadataDuplicateKey:
      return "object metadata contains a duplicate key";
    case Kind::CorruptMetadata:
      return "object metadata is corrupt or unsupported";
  }
  return {};
}

}  // namespace ombrel::records
