// Index query methods of Store: the records of one exact index value, and the
// records whose index value lies in a range.
//
// Contract: the exact query returns (primary_key, value, indexes) tuples
// sorted by primary key and raises CollectionError texts; the range query
// returns (index_value, (primary_key, value, indexes)) tuples in bytewise value
// order (reversed when descending) and raises QueryError texts. Both as
// OmbrelStoreError; neither writes.
#include <span>
#include <string_view>

#include "engine/store.h"
#include "python/collection_methods.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/method_registry.h"
#include "python/store_slot.h"
#include "python/transaction.h"
#include "records/query.h"

namespace ombrel::python {
namespace {

records::IndexBound make_bound(std::optional<std::string_view> value, bool inclusive) {
  if (!value) return records::IndexBound::unbounded();
  return inclusive ? records::IndexBound::inclusive(*value) : records::IndexBound::exclusive(*value);
}

struct QueryIndexExact {
  static constexpr const char* kName = "query_index_exact";
  std::string_view collection;
  std::string_view index;
  std::string_view value;
  static constexpr auto kParams =
      params(param("collection", &QueryIndexExact::collection), param("index", &QueryIndexExact::index),
             param("value", &QueryIndexExact::value));
  static constexpr const char* kDoc =
      "Return the records of `collection` that listed `value` for `index`, as (primary_key, value,\n"
      "indexes) tuples sorted by primary key. Raises OmbrelStoreError \"index does not exist\" for an\n"
      "undefined index.";
  static constexpr const char* kTransactionDoc =
      "Answer as Store.query_index_exact does, as this transaction sees the records: its staged\n"
      "upsert_record and delete_record over the committed ones (a staged change is shown even if it\n"
      "would fail at commit). Staged domain operations take effect at commit and are not seen here.";

  PyObject* answer(const TransactionView& view, const ModuleState& state) const {
    auto found = view.records.query_index_exact(view.store, collection, index, value);
    if (!found) return raise_domain_error(state, found.error().message());
    return list_result(*found, [](const records::CollectionRecord& r) { return collection_record_result(r); });
  }

  PyObject* call(PyObject* self) const { return answer_on_store(self, *this); }
};

struct QueryIndexRange {
  static constexpr const char* kName = "query_index_range";
  std::string_view collection;
  std::string_view index;
  std::optional<std::string_view> start;  // None: unbounded
  std::optional<std::string_view> end;
  bool start_inclusive;
  bool end_inclusive;
  bool descending;
  std::optional<uint64_t> limit;
  static constexpr auto kParams = params(
      param("collection", &QueryIndexRange::collection), param("index", &QueryIndexRange::index),
      keyword("start", &QueryIndexRange::start, kNone), keyword("end", &QueryIndexRange::end, kNone),
      keyword("start_inclusive", &QueryIndexRange::start_inclusive, true),
      keyword("end_inclusive", &QueryIndexRange::end_inclusive, true),
      keyword("descending", &QueryIndexRange::descending, false), keyword("limit", &QueryIndexRange::limit, kNone));
  static constexpr const char* kDoc =
      "Return the records whose `index` value lies between `start` and `end` (None: unbounded) as\n"
      "(index_value, (primary_key, value, indexes)) tuples, ordered bytewise by index value and then\n"
      "by primary key, the whole order reversed when `descending`. `limit` (None: no limit) keeps the\n"
      "first entries of that order. A record is returned once per matching value it lists.";

  static constexpr const char* kTransactionDoc =
      "Answer as Store.query_index_range does, as this transaction sees the records: its staged\n"
      "upsert_record and delete_record over the committed ones (a staged change is shown even if it\n"
      "would fail at commit). Staged domain operations take effect at commit and are not seen here.";

  PyObject* answer(const TransactionView& view, const ModuleState& state) const {
    records::IndexRangeQuery query;
    query.limit = limit;
    query.start = make_bound(start, start_inclusive);
    query.end = make_bound(end, end_inclusive);
    query.descending = descending;
    auto found = view.records.query_index_range(view.store, collection, index, query);
    if (!found) return raise_domain_error(state, found.error().message());
    return list_result(*found, [](const records::IndexedRecord& hit) {
      return tuple_result({bytes_result(hit.index_value), collection_record_result(hit.record)});
    });
  }

  PyObject* call(PyObject* self) const { return answer_on_store(self, *this); }
};

constexpr MethodSpec kQueryMethods[] = {method_spec<QueryIndexExact>(), method_spec<QueryIndexRange>()};
const MethodBlock kQueryBlock{TargetClass::Store, kQueryMethods};

constexpr MethodSpec kQueryTransactionReads[] = {method_spec<TransactionRead<QueryIndexExact>>(),
                                                 method_spec<TransactionRead<QueryIndexRange>>()};
const MethodBlock kQueryTransactionReadBlock{TargetClass::Transaction, kQueryTransactionReads};

}  // namespace
}  // namespace ombrel::python
