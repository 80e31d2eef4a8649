// Any bytes as the index entries of one index and a range query over them.
// The query seeks inside the index instead of reading it whole, so it is
// checked against a model that reads every entry: with well-formed entries
// only, the two agree exactly (the missing-record failure included); with
// malformed ones the query may refuse them as corrupt, and whatever it
// returns is what the model gives over the well-formed ones.
//
// Input: flags (bit 0 descending, bits 1-2 start bound, bits 3-4 end bound:
// 0 none, 1 inclusive, 2 exclusive), limit byte (0 none, else limit - 1),
// start and end bounds (u8 length + bytes), then entries until the end:
// tag u8 (bit 0 raw key, bit 1 record missing), then for a well-formed entry
// value and primary key (u8 length + bytes each), for a raw one the key tail
// after the index prefix and the stored value (u8 length + bytes each).
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/store.h"
#include "engine/transaction.h"
#include "fuzz_check.h"
#include "records/collection.h"
#include "records/query.h"

using namespace ombrel;
using namespace ombrel::records;

namespace {

constexpr int kIterationsPerFile = 2000;

struct Fixture {
  std::string path;
  std::unique_ptr<engine::Store> store;
  int uses = 0;

  engine::Store& fresh() {
    if (store && uses < kIterationsPerFile) {
      ++uses;
      return *store;
    }
    store.reset();
    if (path.empty()) path = "/tmp/ombrel-index-range-fuzz-" + std::to_string(getpid()) + ".omb";
    unlink(path.c_str());
    engine::StoreOptions options;
    options.durability = engine::Durability::Relaxed;
    auto opened = engine::Store::open_with_options(path, options);
    FUZZ_CHECK(opened.has_value());
    store = std::move(*opened);
    FUZZ_CHECK(create_collection(*store, "c", CollectionDefinition{"bytes", 1}).has_value());
    FUZZ_CHECK(define_index(*store, "c", IndexDefinition{"i", false}).has_value());
    uses = 1;
    return *store;
  }
};

std::optional<std::string_view> field(std::string_view& in) {
  if (in.empty()) return std::nullopt;
  const size_t n = static_cast<uint8_t>(in[0]);
  if (in.size() < 1 + n) return std::nullopt;
  std::string_view out = in.substr(1, n);
  in.remove_prefix(1 + n);
  return out;
}

IndexBound bound(unsigned kind, std::string_view value) {
  if (kind == 1) return IndexBound::inclusive(value);
  if (kind == 2) return IndexBound::exclusive(value);
  return IndexBound::unbounded();
}

// The (value, primary key) of a well-formed entry key tail holding `stored`.
std::optional<std::pair<Bytes, Bytes>> well_formed(std::string_view tail, std::string_view stored) {
  ByteReader r(tail);
  auto value = r.component();
  auto primary_key = value ? r.component() : std::nullopt;
  if (!primary_key || !r.at_end() || *primary_key != stored) return std::nullopt;
  return std::pair<Bytes, Bytes>(Bytes(*value), Bytes(*primary_key));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Never destroyed: the store must not close after the process-wide writer
  // registry has gone at exit.
  static Fixture& fixture = *new Fixture;
  std::string_view in(reinterpret_cast<const char*>(data), size);
  if (in.size() < 2) return 0;
  const unsigned flags = static_cast<uint8_t>(in[0]);
  const unsigned limit_byte = static_cast<uint8_t>(in[1]);
  in.remove_prefix(2);
  auto start = field(in);
  auto end = field(in);
  if (!start || !end) return 0;

  IndexRangeQuery query;
  query.descending = (flags & 1) != 0;
  query.start = bound((flags >> 1) & 3, *start);
  query.end = bound((flags >> 3) & 3, *end);
  if (limit_byte != 0) query.limit = limit_byte - 1;

  engine::Store& store = fixture.fresh();
  const Bytes prefix = *index_prefix("c", "i");
  auto tx = store.begin_without_cdc();
  FUZZ_CHECK(tx.has_value());
  // Start from an empty index and no records.
  for (const auto& [key, value] : tx->scan_prefix_internal(prefix)) FUZZ_CHECK(tx->delete_internal(key).has_value());
  for (const auto& [key, value] : tx->scan_prefix_internal(*record_prefix("c")))
    FUZZ_CHECK(tx->delete_internal(key).has_value());

  std::set<std::pair<Bytes, Bytes>> model;
  std::set<Bytes> present;  // primary keys with a record
  bool malformed = false;
  while (!in.empty()) {
    const unsigned tag = static_cast<uint8_t>(in[0]);
    in.remove_prefix(1);
    auto first = field(in);
    auto second = field(in);
    if (!first || !second) break;
    Bytes key, stored;
    if (tag & 1) {
      key = prefix + Bytes(*first);
      stored = Bytes(*second);
    } else {
      key = *index_entry_key("c", "i", *first, *second);
      stored = Bytes(*second);
    }
    FUZZ_CHECK(tx->put_internal(key, stored).has_value());
    if (!(tag & 2)) {
      FUZZ_CHECK(tx->put_internal(*record_key("c", stored), *encode_record_value(StoredRecord{"v", {}})).has_value());
      present.insert(stored);
    }
  }
  FUZZ_CHECK(tx->commit().has_value());

  // Read back what the index holds now: later puts of one key replace earlier ones.
  for (const auto& [key, stored] : store.prefix_range(prefix)) {
    auto entry = well_formed(BytesView(key).substr(prefix.size()), stored);
    if (!entry) {
      malformed = true;
      continue;
    }
    if (within_bounds(entry->first, query.start, query.end)) model.insert(*entry);
  }
  std::vector<std::pair<Bytes, Bytes>> expected(model.begin(), model.end());
  if (query.descending) std::ranges::reverse(expected);
  if (query.limit && expected.size() > *query.limit) expected.resize(*query.limit);
  const bool expect_missing =
      std::ranges::any_of(expected, [&](const auto& entry) { return !present.contains(entry.second); });

  auto result = query_index_range(store, "c", "i", query);
  if (!result) {
    const auto kind = result.error().kind();
    FUZZ_CHECK(kind == QueryError::Kind::CorruptIndexEntry ? malformed
                                                           : kind == QueryError::Kind::MissingRecord && expect_missing);
    return 0;
  }
  std::vector<std::pair<Bytes, Bytes>> got;
  for (const IndexedRecord& hit : *result) got.emplace_back(hit.index_value, hit.record.primary_key);
  FUZZ_CHECK(got == expected && !expect_missing);
  return 0;
}
