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

#include <functional>
#include <string_view>

#include "engine/store.h"
#include "engine/write_overlay.h"
#include "python/module_state.h"
#include "python/store_slot.h"
#include "records/record_overlay.h"

namespace ombrel::python {

// What a read inside a live transaction sees: the committed state and the
// transaction's staged key writes and record changes. Staged domain
// operations (jobs, queues, workflows, ...) take effect at commit and are not
// part of it.
struct TransactionView {
  const engine::Store& store;
  const engine::WriteOverlay& keys;
  const records::RecordOverlay& records;
};

// Runs `read` on the view of the live transaction `self`, with its checks
// (TransactionFinishedError, re-entrant use); nullptr with the exception set.
PyObject* read_in_transaction(PyObject* self,
                              const std::function<PyObject*(const TransactionView&, const ModuleState&)>& read);

// The Store method of a read whose answer(const TransactionView&, ...) lays
// staged changes over the committed state: the same answer with none staged.
template <class Op>
PyObject* answer_on_store(PyObject* self, const Op& op) {
  return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
    const engine::WriteOverlay no_keys;
    const records::RecordOverlay no_records;
    return op.answer(TransactionView{store, no_keys, no_records}, state);
  });
}

// The Transaction method of a Store read Op: the same parameters and result,
// answered on the transaction's view. Op declares
//   PyObject* answer(const engine::Store&, const ModuleState&) const
// (the committed state: for reads of domain records that only staged domain
// operations change) and, when staged key writes or record changes bear on
// it, answer(const TransactionView&, const ModuleState&) const; and the
// method's docstring kTransactionDoc.
template <class Op>
struct TransactionRead : Op {
  static constexpr const char* kDoc = Op::kTransactionDoc;

  PyObject* call(PyObject* self) const {
    return read_in_transaction(self, [&](const TransactionView& view, const ModuleState& state) -> PyObject* {
      if constexpr (requires { this->answer(view, state); }) {
        return this->answer(view, state);
      } else {
        return this->answer(view.store, state);
      }
    });
  }
};

// The check every Transaction method makes before it looks at its
// arguments: the process must be the one that began it, and the transaction
// must not be finished (except for __enter__ and __exit__). False with the
// exception set.
bool transaction_precheck(PyObject* self, std::string_view method_name);

}  // namespace ombrel::python
