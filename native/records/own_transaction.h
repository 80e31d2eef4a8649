// Running a record-layer write in a transaction of its own.
//
// Contract: `body` gets a fresh engine transaction (with change capture) and
// returns std::expected<T, E> for an error type E offering E::engine(EngineError).
// The transaction commits only when the body succeeds; a failed body's writes
// are dropped uncommitted. Failures to begin or commit come back as E::engine.
// With EmptyTransaction::Drop a body that wrote nothing is not committed
// either (an answer of "nothing to do" then costs no log record and no sync);
// by default it is, so that every such call still takes a transaction id.
#pragma once

#include <expected>
#include <type_traits>

#include "engine/store.h"
#include "engine/transaction.h"

namespace ombrel::records {

enum class EmptyTransaction : bool { Commit, Drop };

template <class Body>
auto in_own_transaction(engine::Store& store, Body&& body, EmptyTransaction empty = EmptyTransaction::Commit)
    -> std::invoke_result_t<Body&, engine::Transaction&> {
  using Error = typename std::invoke_result_t<Body&, engine::Transaction&>::error_type;
  auto tx = store.begin();
  if (!tx) return std::unexpected(Error::engine(tx.error()));
  auto result = body(*tx);
  if (!result || (empty == EmptyTransaction::Drop && tx->operations().empty())) return result;
  if (auto committed = tx->commit(); !committed) return std::unexpected(Error::engine(committed.error()));
  return result;
}

}  // namespace ombrel::records
