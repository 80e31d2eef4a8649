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
#include "records/query.h"

namespace ombrel::python {
namespace {

using Args = std::span<PyObject* const>;

// A bound value: bytes, or None for no bound.
std::optional<std::optional<std::string_view>> bound_arg(PyObject* object, const char* name) {
  if (object == nullptr || object == Py_None) return std::optional<std::string_view>{};
  auto value = bytes_arg(object, name);
  if (!value) return std::nullopt;
  return std::optional<std::string_view>(*value);
}

records::IndexBound make_bound(std::optional<std::string_view> value, bool inclusive) {
  if (!value) return records::IndexBound::unbounded();
  return inclusive ? records::IndexBound::inclusive(*value) : records::IndexBound::exclusive(*value);
}

struct QueryIndexExact {
  static constexpr const char* kName = "query_index_exact";
  static constexpr Param kParams[] = {{"collection"}, {"index"}, {"value"}};
  static constexpr const char* kDoc =
      "Return the records of `collection` that listed `value` for `index`, as (primary_key, value,\n"
      "indexes) tuples sorted by primary key. Raises OmbrelStoreError \"index does not exist\" for an\n"
      "undefined index.";

  static PyObject* call(PyObject* self, Args args) {
    auto collection = bytes_arg(args[0], "collection");
    if (!collection) return nullptr;
    auto index = bytes_arg(args[1], "index");
    if (!index) return nullptr;
    auto value = bytes_arg(args[2], "value");
    if (!value) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto found = records::query_index_exact(store, *collection, *index, *value);
      if (!found) return raise_domain_error(state, found.error().message());
      return list_result(*found, [](const records::CollectionRecord& r) { return collection_record_result(r); });
    });
  }
};

struct QueryIndexRange {
  static constexpr const char* kName = "query_index_range";
  static constexpr Param kParams[] = {
      {"collection"},
      {"index"},
      Param::keyword("start", "None"),
      Param::keyword("end", "None"),
      Param::keyword("start_inclusive", "True"),
      Param::keyword("end_inclusive", "True"),
      Param::keyword("descending", "False"),
      Param::keyword("limit", "None"),
  };
  static constexpr const char* kDoc =
      "Return the records whose `index` value lies between `start` and `end` (None: unbounded) as\n"
      "(index_value, (primary_key, value, indexes)) tuples, ordered bytewise by index value and then\n"
      "by primary key, the whole order reversed when `descending`. `limit` (None: no limit) keeps the\n"
      "first entries of that order. A record is returned once per matching value it lists.";

  static PyObject* call(PyObject* self, Args args) {
    auto collection = bytes_arg(args[0], "collection");
    if (!collection) return nullptr;
    auto index = bytes_arg(args[1], "index");
    if (!index) return nullptr;
    auto start = bound_arg(args[2], "start");
    if (!start) return nullptr;
    auto end = bound_arg(args[3], "end");
    if (!end) return nullptr;
    auto start_inclusive = bool_arg(args[4], "start_inclusive", true);
    if (!start_inclusive) return nullptr;
    auto end_inclusive = bool_arg(args[5], "end_inclusive", true);
    if (!end_inclusive) return nullptr;
    auto descending = bool_arg(args[6], "descending", false);
    if (!descending) return nullptr;
    auto limit = optional_u64_arg(args[7], "limit");
    if (!limit) return nullptr;

    records::IndexRangeQuery query;
    query.limit = *limit;
    query.start = make_bound(*start, *start_inclusive);
    query.end = make_bound(*end, *end_inclusive);
    query.descending = *descending;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto found = records::query_index_range(store, *collection, *index, query);
      if (!found) return raise_domain_error(state, found.error().message());
      return list_result(*found, [](const records::IndexedRecord& hit) {
        return tuple_result({bytes_result(hit.index_value), collection_record_result(hit.record)});
      });
    });
  }
};

constexpr MethodSpec kQueryMethods[] = {method_spec<QueryIndexExact>(), method_spec<QueryIndexRange>()};
const MethodBlock kQueryBlock{TargetClass::Store, kQueryMethods};

}  // namespace
}  // namespace ombrel::python
