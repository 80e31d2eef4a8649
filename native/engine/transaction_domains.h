// The words of domain writes made inside a caller's engine transaction
// (queue push, stream and topic append, object put, link and unlink, job
// enqueue): one table, so that a Python Transaction and a trigger firing
// report every such write alike.
//
// The operations themselves live with their domains (messaging::push_queue,
// messaging::append_stream, records::put_object_tx, jobs::
// enqueue_job_transactional, ...), each reading through the transaction so
// that several of them in one transaction see one another: two pushes to one
// queue take consecutive ids, a link finds an object put earlier in the same
// transaction. A domain whose `_tx` operation fails in its own words gives
// them here through its transactional_error(its error).
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <type_traits>
#include <utility>

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
    Job,       // a refused job, in the job layer's own words
    JobOther,  // any other failure of the job layer
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
      {Kind::Job, "{}"},
      {Kind::JobOther, "job transaction error: {}"},
  });
};
using DomainTransactionError = DomainError<DomainTransactionErrorTexts>;

// A domain `_tx` operation's outcome in the transactional words; its error
// type's transactional_error is found beside it.
template <class T, class E>
std::expected<T, DomainTransactionError> in_transactional_words(std::expected<T, E>&& done) {
  if (!done) return std::unexpected(transactional_error(done.error()));
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return std::move(*done);
  }
}

}  // namespace ombrel::engine
