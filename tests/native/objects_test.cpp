// The object layer below the Python face: the process-wide read counters, the
// store's object counters, and the variants that work inside a caller's engine
// transaction. Built and run by `make test` (target native_tests).
#include "records/objects.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/store.h"
#include "engine/transaction.h"
#include "native_check.h"

using namespace ombrel;
using namespace ombrel::records;

namespace {

std::filesystem::path temp_dir() {
  return std::filesystem::temp_directory_path() / ("ombrel-objects-test-" + std::to_string(::getpid()));
}

std::unique_ptr<engine::Store> open_store(const char* name) {
  std::filesystem::create_directories(temp_dir());
  auto path = temp_dir() / name;
  std::filesystem::remove(path);
  auto store = engine::Store::open(path.string());
  if (!store) {
    std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), store.error().message().c_str());
    std::exit(EXIT_FAILURE);
  }
  return std::move(*store);
}

bool same(const ObjectReadCounters& a, uint64_t reads, uint64_t bytes) {
  return a.reads == reads && a.bytes_read == bytes;
}

void read_counters() {
  auto store = open_store("reads.omb");
  const std::string content(1000, 'x');
  auto id = put_object(*store, content);
  REQUIRE(id.has_value());
  const ObjectReadCounters start = object_read_counters();
  CHECK(get_object(*store, *id).has_value());                          // +1, +1000
  CHECK(get_object_chunk(*store, *id, 990, 100).has_value());          // +1, +10
  CHECK(required(get_object_chunk(*store, *id, 5000, 100))->empty());  // +1, +0
  CHECK(required(object_info(*store, *id))->size == 1000);             // +1, +1000
  CHECK(required(verify_object(*store, *id)));                         // +1, +1000
  CHECK(link_object(*store, "ns", "n", *id).has_value());              // +1, +1000
  CHECK(same(object_read_counters(), start.reads + 6, start.bytes_read + 4010));
  // Absent objects, refused links and the reference calls read no object.
  const ObjectId missing = object_id_of("missing");
  CHECK(!required(get_object(*store, missing)).has_value());
  CHECK(!required(verify_object(*store, missing)));
  CHECK(fails_with(link_object(*store, "ns", "n", missing), ObjectError::Kind::NotFound));
  CHECK(required(resolve_object_ref(*store, "ns", "n")) == std::optional<ObjectId>(*id));
  CHECK(required(list_object_refs(*store, "ns", "")).size() == 1);
  CHECK(same(object_read_counters(), start.reads + 6, start.bytes_read + 4010));
  // Reopening keeps them: they belong to the process, not the store.
  const ObjectReadCounters before_reopen = object_read_counters();
  store.reset();
  store = open_store("reads-again.omb");
  CHECK(same(object_read_counters(), before_reopen.reads, before_reopen.bytes_read));
}

void store_counters() {
  auto store = open_store("metrics.omb");
  const auto& m = store->domain_counters<ObjectCounters>();
  CHECK(put_object(*store, "abc").has_value());
  CHECK(put_object(*store, "abc", {{"k", "v"}}).has_value());  // stored already
  CHECK(put_object(*store, "", {}).has_value());
  CHECK(!put_object(*store, "new", {{"", "v"}}).has_value());  // refused metadata
  CHECK(m.puts == 2 && m.bytes_written == 3);
  CHECK(put_object(*store, std::string(10, 'y'), {{"expires_at_unix", "5"}}).has_value());
  CHECK(m.puts == 3 && m.bytes_written == 13);

  CHECK(required(gc_orphan_objects(*store, 0)).removed == 0);  // report only: not a run
  CHECK(m.gc_runs == 0 && m.gc_removed == 0);
  CHECK(required(purge_expired_objects(*store, 4, 0)).removed == 0);  // a run that removed nothing
  CHECK(m.gc_runs == 1 && m.gc_removed == 0);
  CHECK(required(purge_expired_objects(*store, 5, 0)).removed == 1);
  CHECK(m.gc_runs == 2 && m.gc_removed == 1);
  CHECK(required(gc_orphan_objects(*store, 1)).removed == 1);
  CHECK(required(gc_orphan_objects(*store, 100)).removed == 1);
  CHECK(required(gc_orphan_objects(*store, 100)).removed == 0);
  CHECK(m.gc_runs == 5 && m.gc_removed == 3);
  CHECK(m.puts == 3);
}

void inside_a_transaction() {
  auto store = open_store("tx.omb");
  {
    auto tx = store->begin();
    REQUIRE(tx.has_value());
    auto id = put_object_tx(*tx, "content");
    REQUIRE(id.has_value());
    CHECK(link_object_tx(*tx, "ns", "a", *id).has_value());  // sees the put before it
    CHECK(required(put_linked_object_tx(*tx, "content", "ns", "b")) == *id);
    CHECK(fails_with(link_object_tx(*tx, "ns", "", *id), ObjectError::Kind::EmptyReferenceName));
    CHECK(fails_with(link_object_tx(*tx, "ns", "c", object_id_of("absent")), ObjectError::Kind::NotFound));
    CHECK(required(unlink_object_tx(*tx, "ns", "a")));
    CHECK(!required(unlink_object_tx(*tx, "ns", "a")));
    CHECK(!store->contains_key(object_data_key(*id)));  // nothing visible before commit
    const size_t operations = tx->operations().size();
    CHECK(operations == 4);  // data, ref a, ref b, delete of ref a: the second put wrote nothing
    CHECK(tx->commit().has_value());
    CHECK(required(get_object(*store, *id)) == std::optional<BytesView>("content"));
    auto refs = required(list_object_refs(*store, "ns", ""));
    CHECK(refs.size() == 1 && refs[0].name == "b" && refs[0].id == *id);
  }
  {
    // Rolled back by dropping: nothing stays.
    auto tx = store->begin();
    REQUIRE(tx.has_value());
    CHECK(put_linked_object_tx(*tx, "dropped", "ns", "d").has_value());
  }
  CHECK(!required(resolve_object_ref(*store, "ns", "d")).has_value());
  CHECK(!store->contains_key(object_data_key(object_id_of("dropped"))));
  // The transactional put counts nothing: its caller commits, or not.
  CHECK(store->read_domain_counters<ObjectCounters>().puts == 0);
}

}  // namespace

int main() {
  read_counters();
  store_counters();
  inside_a_transaction();
  std::filesystem::remove_all(temp_dir());
  return native_check::finish("object tests");
}
