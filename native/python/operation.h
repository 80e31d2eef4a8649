// Operations declared once for the Store method that runs them at once and
// the Transaction method that stages them until commit.
//
// Contract: an operation is a struct of its converted arguments with
//   static constexpr const char* kName;       // the name of its method(s)
//   static constexpr auto kParams = params(...);   // their parameters (parameters.h)
//   run(engine::Transaction&) const           // the domain call at commit
//   run(engine::Store&) const                 // the domain call of the Store method
// each run returning std::expected<T, E>, E an engine::EngineError or a
// domain error with message(). One template `auto run(auto& target) const`
// serves both when the domain overloads its call on the store and the
// transaction. Then, per method:
//   Store method, OnStore<Op>:      kStoreDoc; store_result(T) -> PyObject*
//                                   (omitted when T is void: None)
//   Transaction method, Staged<Op>: kStagedDoc; staged_result(T) ->
//                                   OperationResult (omitted: no result);
//                                   kReturnsPosition = false for the plain
//                                   writes, which return None; add_to_reads(
//                                   engine::WriteOverlay&) const for the writes
//                                   that the transaction's reads see, and
//                                   add_to_record_reads(records::RecordOverlay&)
//                                   const for the record changes its record
//                                   reads see; after_commit(engine::Store&)
//                                   const for what it counts once committed.
// A staged operation outlives the call, so its byte strings are owned; an
// operation with both methods is a template on its byte-string type `Bytes`
// (`using Bytes = B;`), Borrowed for the Store method and Owned when staged:
//   OnStore<UpsertRecord<Borrowed>>, Staged<UpsertRecord<Owned>>.
// A Store method runs `run(store)` inside with_open_store and raises its
// error by kind (an engine error by its own class, a domain error as
// OmbrelStoreError with its display text). A Transaction method stages the
// operation, whose ids conversion has already checked, and returns its
// position; commit runs `run(tx)` for each in staging order and keeps the
// results that commit_with_results returns ({"kind": kind, name: value...}).
// The operation's unit registers method_spec<OnStore<Op>>() in its Store
// block and method_spec<Staged<Op>>() in its Transaction block.
#pragma once

#include <Python.h>

#include <cstdint>
#include <expected>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "engine/errors.h"
#include "engine/store.h"
#include "engine/transaction.h"
#include "engine/write_overlay.h"
#include "python/errors.h"
#include "python/module_state.h"
#include "python/store_slot.h"
#include "records/record_overlay.h"

namespace ombrel::python {

using Borrowed = std::string_view;
using Owned = std::string;

// A result value returned as str rather than bytes.
struct ResultText {
  std::string text;
};

// What an applied operation yields: the dict {"kind": kind, name: value, ...}
// with values bytes, int, bool or str.
struct OperationResult {
  using Value = std::variant<std::string, uint64_t, bool, ResultText>;
  std::string_view kind;
  std::vector<std::pair<const char*, Value>> fields;

  OperationResult(std::string_view result_kind, std::initializer_list<std::pair<const char*, Value>> values)
      : kind(result_kind), fields(values) {}
};

// Why a staged operation failed: an engine error keeps its own exception
// class (a reserved key raises ReservedKeyError), a domain error is raised as
// OmbrelStoreError with its display text.
struct DomainFailure {
  std::string message;
};
using StagedFailure = std::variant<engine::EngineError, DomainFailure>;

using Applied = std::expected<std::optional<OperationResult>, StagedFailure>;

// A staged operation as the Transaction keeps it.
class StagedOperation {
 public:
  virtual ~StagedOperation() = default;
  // Applies it to the engine transaction; reads inside it see the operations
  // applied before.
  virtual Applied apply(engine::Transaction& tx) const = 0;
  // Records its part in the transaction's reads, if it has one. Called once
  // the operation has its final address.
  virtual void add_to_reads(engine::WriteOverlay&) const {}
  // The same for the record reads (get_record and the index queries).
  virtual void add_to_record_reads(records::RecordOverlay&) const {}
  // Counts what it did in the store's in-memory counters, once its commit has
  // succeeded (a failed commit did nothing to count).
  virtual void after_commit(engine::Store&) const {}
};

// Appends `operation` to the live transaction `self` (transaction.cpp) and
// returns its position as an int, or None when `return_position` is false;
// raises TransactionFinishedError on a finished transaction.
PyObject* stage_operation(PyObject* self, std::unique_ptr<StagedOperation> operation, bool return_position);

// The dict a result is returned as; new reference or nullptr.
PyObject* operation_result_dict(const OperationResult& result);

namespace detail {

template <class E>
constexpr bool is_engine_error = std::is_same_v<E, engine::EngineError>;

template <class Op>
constexpr bool returns_position() {
  if constexpr (requires { Op::kReturnsPosition; }) {
    return Op::kReturnsPosition;
  } else {
    return true;
  }
}

template <class Op>
constexpr bool owns_its_bytes() {
  if constexpr (requires { typename Op::Bytes; }) {
    return std::is_same_v<typename Op::Bytes, Owned>;
  } else {
    return true;
  }
}

// Declared or not; a declared one that does not fit does not compile.
template <class Op>
constexpr bool has_staged_result = requires { &Op::staged_result; };

}  // namespace detail

template <class Op>
class StagedAs final : public StagedOperation {
 public:
  explicit StagedAs(Op op) : op_(std::move(op)) {}

  Applied apply(engine::Transaction& tx) const override {
    auto done = op_.run(tx);
    using Error = typename decltype(done)::error_type;
    if (!done) {
      if constexpr (detail::is_engine_error<Error>) {
        return std::unexpected(StagedFailure(done.error()));
      } else {
        return std::unexpected(StagedFailure(DomainFailure{done.error().message()}));
      }
    }
    if constexpr (!detail::has_staged_result<Op>) {
      return std::nullopt;
    } else if constexpr (std::is_void_v<typename decltype(done)::value_type>) {
      return Op::staged_result();
    } else {
      return Op::staged_result(std::move(*done));
    }
  }

  void add_to_reads(engine::WriteOverlay& overlay) const override {
    if constexpr (requires { op_.add_to_reads(overlay); }) op_.add_to_reads(overlay);
  }

  void add_to_record_reads(records::RecordOverlay& overlay) const override {
    if constexpr (requires { op_.add_to_record_reads(overlay); }) op_.add_to_record_reads(overlay);
  }

  void after_commit(engine::Store& store) const override {
    if constexpr (requires { op_.after_commit(store); }) op_.after_commit(store);
  }

 private:
  Op op_;
};

// The Transaction method of Op.
template <class Op>
struct Staged : Op {
  static_assert(detail::owns_its_bytes<Op>(), "a staged operation owns its bytes");
  static constexpr const char* kDoc = Op::kStagedDoc;

  PyObject* call(PyObject* self) {
    return stage_operation(self, std::make_unique<StagedAs<Op>>(std::move(static_cast<Op&>(*this))),
                           detail::returns_position<Op>());
  }
};

// The Store method of Op.
template <class Op>
struct OnStore : Op {
  static constexpr const char* kDoc = Op::kStoreDoc;

  PyObject* call(PyObject* self) const {
    using Done = decltype(std::declval<const Op&>().run(std::declval<engine::Store&>()));
    using Error = typename Done::error_type;
    constexpr SyncErrors kSyncErrors = detail::is_engine_error<Error> ? SyncErrors::Engine : SyncErrors::Domain;
    return with_open_store<kSyncErrors>(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      Done done = this->run(store);
      if (!done) {
        if constexpr (detail::is_engine_error<Error>) {
          return raise_engine_error(state, done.error());
        } else {
          return raise_domain_error(state, done.error().message());
        }
      }
      if constexpr (std::is_void_v<typename Done::value_type>) {
        return none_result();
      } else {
        return Op::store_result(std::move(*done));
      }
    });
  }
};

}  // namespace ombrel::python
