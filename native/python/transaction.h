// The Python Transaction: staged operations applied at commit in one engine
// transaction.
//
// Contract:
// - Store.transaction() moves the engine store out of the slot (Borrowed) into
//   a new Transaction; commit (successful or not), rollback and destruction
//   give it back (Open). Only those three touch the binding lock.
// - Writes are staged, not sent: each staging method appends one
//   StagedOperation and validates nothing. Reads (get, contains, scan_prefix)
//   overlay the staged puts and deletes on the store's committed state, by the
//   same overlay as engine transactions (engine/write_overlay.h); other kinds
//   do not take part in reads.
// - Commit applies the operations in staging order to one engine transaction
//   and commits it. The first failure stops it: the engine transaction is
//   dropped, so nothing of it becomes visible, and the error is raised.
//
//   state   event                                  next
//   live    put/delete/upsert_record/...           live (one more operation)
//   live    commit ok / commit fails / rollback    finished, store given back
//   live    object destroyed                       (store given back quietly)
//   finished any method but __enter__/__exit__     TransactionFinishedError
//
// The staged kinds and their results are listed in staged_operations.h. The
// domain staging methods (transaction_domains.cpp) each return the position
// of the operation they staged; commit_with_results returns the results by
// position. A new kind adds its struct there, its staging method (a
// MethodBlock with TargetClass::Transaction calling stage_operation), its case
// in apply_staged_operation and, when it yields a result, its alternative of
// OperationResult and its case in operation_result_dict.
#pragma once

#include <Python.h>

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/errors.h"
#include "engine/transaction.h"
#include "python/staged_operations.h"

namespace ombrel::python {

// Why a staged operation failed: an engine error keeps its own exception
// class (a reserved key raises ReservedKeyError), a domain error is raised as
// OmbrelStoreError with its display text.
struct DomainFailure {
  std::string message;
};
using StagedFailure = std::variant<engine::EngineError, DomainFailure>;

// Applies one staged operation to the engine transaction; reads inside it see
// the operations applied before.
std::expected<std::optional<OperationResult>, StagedFailure> apply_staged_operation(engine::Transaction& tx,
                                                                                     const StagedOperation& operation);

// The check every Transaction method makes before it looks at its
// arguments: the process must be the one that began it, and the transaction
// must not be finished (except for __enter__ and __exit__). False with the
// exception set.
bool transaction_precheck(PyObject* self, std::string_view method_name);

// Appends `operation` to the live transaction `self` and returns its
// position as an int (or None when `return_position` is false); raises
// TransactionFinishedError on a finished transaction.
PyObject* stage_operation(PyObject* self, StagedOperation operation, bool return_position);

// The dict a result is returned as ({"kind": ..., ...}); new reference or nullptr.
PyObject* operation_result_dict(const OperationResult& result);

}  // namespace ombrel::python
