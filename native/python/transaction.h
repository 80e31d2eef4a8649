// The Python Transaction: staged operations applied at commit in one engine
// transaction.
//
// Contract:
// - Store.transaction() moves the engine store out of the slot (Borrowed) into
//   a new Transaction; commit (successful or not), rollback and destruction
//   give it back (Open). Only those three touch the binding lock.
// - Writes are staged, not sent: each staging method appends one operation
//   (operation.h) and validates nothing but id lengths. Reads (get, contains,
//   scan_prefix) overlay the staged puts and deletes on the store's committed
//   state, by the same overlay as engine transactions
//   (engine/write_overlay.h); other kinds do not take part in reads.
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
// The plain writes are declared here; every domain operation is declared
// once in its domain's unit, beside the Store method of the same name when
// there is one (operation.h). Domain staging methods return the position of
// the operation they staged; commit_with_results returns the results by
// position.
#pragma once

#include <Python.h>

#include <string_view>

namespace ombrel::python {

// The check every Transaction method makes before it looks at its
// arguments: the process must be the one that began it, and the transaction
// must not be finished (except for __enter__ and __exit__). False with the
// exception set.
bool transaction_precheck(PyObject* self, std::string_view method_name);

}  // namespace ombrel::python
