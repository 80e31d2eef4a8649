// The Python Transaction: staged operations applied at commit in one engine
// transaction.
//
// Contract:
// - Store.transaction() moves the engine store out of the slot (Borrowed) into
//   a new Transaction; commit (successful or not), rollback and destruction
//   give it back (Open). Only those three touch the binding lock.
// - Writes are staged, not sent: each staging method appends one
//   StagedOperation and validates nothing. Reads (get, contains, scan_prefix)
//   overlay the staged puts and deletes on the store's committed state; other
//   kinds do not take part in reads.
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
// Extension point for further staged kinds (queue pushes, job enqueues, ...):
// add the kind's struct to StagedOperation, its staging method on the
// Transaction class (a MethodBlock with TargetClass::Transaction, returning
// the operation's position), its case in apply_staged_operation and, when it
// yields a result, an alternative of OperationResult with its case in
// operation_result_dict.
#pragma once

#include <Python.h>

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "engine/errors.h"
#include "engine/transaction.h"
#include "records/collection.h"

namespace ombrel::python {

namespace staged {

struct Put {
  std::string key;
  std::string value;
};
struct Delete {
  std::string key;
};
struct UpsertRecord {
  std::string collection;
  std::string primary_key;
  std::string value;
  std::vector<records::IndexValue> indexes;
};
struct DeleteRecord {
  std::string collection;
  std::string primary_key;
};

}  // namespace staged

using StagedOperation = std::variant<staged::Put, staged::Delete, staged::UpsertRecord, staged::DeleteRecord>;

// What an applied operation yields, for the kinds that yield something; none
// of the current kinds does, so the only alternative is a placeholder that is
// never produced.
struct NoResultKind {};
using OperationResult = std::variant<NoResultKind>;

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

// The dict a result is returned as ({"kind": ..., ...}); new reference or nullptr.
PyObject* operation_result_dict(const OperationResult& result);

}  // namespace ombrel::python
