// Engine transactions below the Python face: read-your-writes lookups and
// scans, rollback by drop, commit order and the records a commit writes.
// Built and run by `make test` (target native_tests).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/change_feed.h"
#include "engine/store.h"
#include "engine/transaction.h"
#include "engine/verification.h"
#include "native_check.h"

using namespace ombrel::engine;

namespace {

std::string temp_store(const char* name) {
  auto dir = std::filesystem::temp_directory_path() / ("ombrel-engine-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  auto path = dir / name;
  std::filesystem::remove(path);
  return path.string();
}

std::string keys_of(const std::vector<KeyValue>& items) {
  std::string out;
  for (const auto& [k, v] : items) out += k + "=" + v + ";";
  return out;
}

void read_your_writes() {
  auto store = Store::open(temp_store("ryw.omb"));
  REQUIRE(store.has_value());
  Store& s = **store;
  CHECK(s.put("a1", "committed").has_value());
  CHECK(s.put("a3", "committed").has_value());
  CHECK(s.put("b", "other").has_value());

  auto tx = s.begin();
  REQUIRE(tx.has_value());
  CHECK(tx->put("a2", "new").has_value());
  CHECK(tx->put("a3", "first").has_value());
  CHECK(tx->put("a3", "second").has_value());
  CHECK(tx->delete_key("a1").has_value());
  CHECK(tx->put("a0", "x").has_value());
  CHECK(tx->delete_key("a0").has_value());

  CHECK(!tx->get_internal("a1").has_value());
  CHECK(tx->get_internal("a2") == std::optional<std::string>("new"));
  CHECK(tx->get_internal("a3") == std::optional<std::string>("second"));
  CHECK(!tx->get_internal("a0").has_value());
  CHECK(tx->get_internal("b") == std::optional<std::string>("other"));
  CHECK(keys_of(tx->scan_prefix_internal("a")) == "a2=new;a3=second;");
  CHECK(keys_of(tx->scan_prefix_internal("")).starts_with("a2=new;a3=second;b=other;"));
  // Nothing is visible outside the transaction before commit.
  CHECK(s.get("a1") == std::optional<std::string>("committed"));
  CHECK(!s.contains_key("a2"));

  CHECK(tx->commit().has_value());
  CHECK(!s.contains_key("a1") && !s.contains_key("a0"));
  CHECK(s.get("a3") == std::optional<std::string>("second"));
  // A finished transaction refuses writes and a second commit, but still reads.
  CHECK(fails_with(tx->put("c", "v"), EngineError::Kind::TransactionFinished));
  CHECK(fails_with(tx->commit(), EngineError::Kind::TransactionFinished));
  CHECK(tx->get_internal("a2") == std::optional<std::string>("new"));

  // One change per operation, the put and delete of a0 included.
  auto changes = changes_for_transaction(s, tx->tx_id());
  CHECK(changes.has_value() && changes->size() == 6);
}

void rollback_by_drop() {
  std::string path = temp_store("drop.omb");
  {
    auto store = Store::open(path);
    REQUIRE(store.has_value());
    Store& s = **store;
    {
      auto tx = s.begin();
      REQUIRE(tx.has_value());
      CHECK(tx->put("k", "v").has_value());
    }  // dropped: rolled back
    CHECK(!s.contains_key("k"));
    auto next = s.begin();
    CHECK(next.has_value() && next->tx_id() == 2);
  }
  auto report = verify_store(path);
  REQUIRE(report.has_value());
  CHECK(report->records == 1 && report->pending_transactions == 1 && report->keys == 0);
  auto reopened = Store::open(path);
  REQUIRE(reopened.has_value());
  CHECK(!(*reopened)->contains_key("k"));
  CHECK((*reopened)->next_tx_id() == 2);
}

void commit_writes_operations_changes_then_commit() {
  std::string path = temp_store("records.omb");
  uint64_t before = 0;
  {
    auto store = Store::open(path);
    REQUIRE(store.has_value());
    Store& s = **store;
    before = s.metrics().records_appended;
    auto tx = s.begin();
    REQUIRE(tx.has_value());
    CHECK(tx->put("k", "1").has_value());
    CHECK(tx->put("k", "2").has_value());
    CHECK(tx->delete_key("k").has_value());
    CHECK(!tx->get_internal("k").has_value());
    CHECK(tx->commit().has_value());
    CHECK(s.metrics().records_appended - before == 7);
    CHECK(s.metrics().commits == 1 && s.metrics().puts == 5 && s.metrics().deletes == 1);
    CHECK(!s.contains_key("k"));
    // Without capture, a commit writes the operation and the commit record only.
    auto quiet = s.begin_without_cdc();
    REQUIRE(quiet.has_value());
    CHECK(quiet->put("q", "v").has_value());
    CHECK(quiet->commit().has_value());
    CHECK(required(changes_for_transaction(s, quiet->tx_id())).empty());
  }
  auto report = verify_store(path);
  REQUIRE(report.has_value());
  CHECK(report->records == 9 && report->committed_transactions == 2);
}

void internal_writes_bypass_the_reserved_check() {
  auto store = Store::open(temp_store("internal.omb"));
  REQUIRE(store.has_value());
  Store& s = **store;
  const std::string key = std::string(kInternalPrefix) + "q:x";
  CHECK(fails_with(s.put(key, "v"), EngineError::Kind::ReservedKey));
  CHECK(s.put_internal(key, "v").has_value());
  CHECK(s.get(key) == std::optional<std::string>("v"));
  CHECK(fails_with(s.delete_key(key), EngineError::Kind::ReservedKey));
  CHECK(s.delete_internal(key).has_value());
  CHECK(!s.contains_key(key));
  CHECK(namespace_for_key(key) == "internal:q");
  CHECK(namespace_for_key(std::string(kInternalPrefix) + "\xff\xfe:z") == "internal:\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace

int main() {
  read_your_writes();
  rollback_by_drop();
  commit_writes_operations_changes_then_commit();
  internal_writes_bypass_the_reserved_check();
  std::filesystem::remove_all(std::filesystem::temp_directory_path() /
                              ("ombrel-engine-test-" + std::to_string(::getpid())));
  return native_check::finish("engine tests");
}
