// Content-addressed objects: immutable blobs stored once under the SHA-256 of
// their content, optional text metadata written with the first put, named
// references (namespace, name -> id), and explicit collection of unreferenced
// and expired objects. Record layouts: records/object_codec.h.
//
// Contract:
// - Store-level calls read the committed live table and write in committed
//   engine transactions (with change capture); each write is atomic. The
//   `_tx` variants do the same work inside a caller's engine transaction,
//   reading through it, and leave committing to the caller; the store-level
//   writers call them.
// - A put of content that is already stored writes nothing and keeps the
//   metadata of the first put. A new object's data and metadata are written
//   in one transaction, so an object never exists without the metadata it was
//   put with.
// - Reads validate the data value and count into the process-wide read
//   counters (a chunk read counts the chunk's length). Returned views point
//   into the live table and are valid until the store is next written.
// - gc_orphan_objects and purge_expired_objects check every record they rely
//   on before deleting anything, delete in one transaction, and count their
//   run in the store's ObjectCounters. They find their records through the object
//   index (records/object_index.h): a collection costs what it removes, a
//   purge what has expired. Their `limit` differs: 0 means "report only"
//   for the collection and "no limit" for the purge.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/store.h"
#include "engine/transaction.h"
#include "engine/transaction_domains.h"
#include "records/object_codec.h"
#include "records/object_error.h"

namespace ombrel::records {

// Shared by the whole process, never persisted; relaxed atomic updates.
struct ObjectReadCounters {
  uint64_t reads;
  uint64_t bytes_read;
};
ObjectReadCounters object_read_counters();

// What objects count per open store (engine/counter_sets.h): new objects
// stored and their content bytes; finished collections and purges, and the
// objects they removed.
struct ObjectCounters {
  uint64_t puts = 0;
  uint64_t bytes_written = 0;
  uint64_t gc_runs = 0;
  uint64_t gc_removed = 0;
  static constexpr std::array<engine::CounterName<ObjectCounters>, 4> kNames{{
      {"object_puts", &ObjectCounters::puts},
      {"object_bytes_written", &ObjectCounters::bytes_written},
      {"object_gc_runs", &ObjectCounters::gc_runs},
      {"object_gc_removed", &ObjectCounters::gc_removed},
  }};
};

struct ObjectInfo {
  ObjectId id;
  uint64_t size;
  ObjectMetadata metadata;  // normalised; empty when the object has none
};

struct ObjectRef {
  std::string name;
  ObjectId id;
};

struct ObjectGcReport {
  uint64_t scanned;     // every data record, including those past the limit
  uint64_t referenced;  // distinct ids named by references
  uint64_t removed;
};

struct ObjectPurgeReport {
  uint64_t scanned;
  uint64_t expired;     // expired objects seen, removed or not
  uint64_t referenced;  // expired objects kept because a reference names them
  uint64_t removed;
};

// ---- inside a caller's engine transaction ----

// Writes the data record unless the transaction already sees it.
std::expected<ObjectId, ObjectError> put_object_tx(engine::Transaction& tx, BytesView content);
// put_object_tx, then a reference (ns, name) to it, replacing any earlier one.
std::expected<ObjectId, ObjectError> put_linked_object_tx(engine::Transaction& tx, BytesView content, BytesView ns,
                                                          BytesView name);
// NotFound unless the transaction sees the data record (its value is not checked).
std::expected<void, ObjectError> link_object_tx(engine::Transaction& tx, BytesView ns, BytesView name,
                                                const ObjectId& id);
// False, writing nothing, when the transaction sees no such reference.
std::expected<bool, ObjectError> unlink_object_tx(engine::Transaction& tx, BytesView ns, BytesView name);

// An error of the `_tx` variants in the words of every transactional domain
// write (engine/transaction_domains.h); the texts coincide.
engine::DomainTransactionError transactional_error(const ObjectError& error);

// ---- store level ----

std::expected<ObjectId, ObjectError> put_object(engine::Store& store, BytesView content, ObjectMetadata metadata = {});
std::expected<std::optional<BytesView>, ObjectError> get_object(const engine::Store& store, const ObjectId& id);
// content[min(offset, L) : min(L, start + limit)], the sum saturating.
std::expected<std::optional<BytesView>, ObjectError> get_object_chunk(const engine::Store& store, const ObjectId& id,
                                                                      uint64_t offset, uint64_t limit);
std::expected<std::optional<ObjectInfo>, ObjectError> object_info(const engine::Store& store, const ObjectId& id);
// False for an absent object; CorruptData for a malformed data record.
std::expected<bool, ObjectError> verify_object(const engine::Store& store, const ObjectId& id);

std::expected<void, ObjectError> link_object(engine::Store& store, BytesView ns, BytesView name, const ObjectId& id);
std::expected<std::optional<ObjectId>, ObjectError> resolve_object_ref(const engine::Store& store, BytesView ns,
                                                                       BytesView name);
std::expected<bool, ObjectError> unlink_object(engine::Store& store, BytesView ns, BytesView name);
// Sorted by name (unsigned bytes); an empty or absent prefix keeps every name.
std::expected<std::vector<ObjectRef>, ObjectError> list_object_refs(const engine::Store& store, BytesView ns,
                                                                    BytesView name_prefix);

std::expected<ObjectGcReport, ObjectError> gc_orphan_objects(engine::Store& store, uint64_t limit);
std::expected<ObjectPurgeReport, ObjectError> purge_expired_objects(engine::Store& store, int64_t now_unix,
                                                                    uint64_t limit);

}  // namespace ombrel::records
