#include "records/objects.h"

#include <algorithm>
#include <atomic>

#include "records/object_index.h"
#include "records/own_transaction.h"

namespace ombrel::records {
namespace {

std::atomic<uint64_t> g_object_reads{0};
std::atomic<uint64_t> g_object_bytes_read{0};

// Statistics saturate rather than wrap, also when several threads add.
void saturating_atomic_add(std::atomic<uint64_t>& counter, uint64_t amount) {
  uint64_t current = counter.load(std::memory_order_relaxed);
  uint64_t next;
  do {
    next = current > UINT64_MAX - amount ? UINT64_MAX : current + amount;
  } while (!counter.compare_exchange_weak(current, next, std::memory_order_relaxed));
}

void count_read(uint64_t bytes) {
  saturating_atomic_add(g_object_reads, 1);
  saturating_atomic_add(g_object_bytes_read, bytes);
}

ObjectError error(ObjectError::Kind kind) { return ObjectError::of(kind); }
ObjectError engine_error(const engine::EngineError& e) { return ObjectError::engine(e); }

// The validated content of a stored object, not yet counted as a read.
std::expected<std::optional<BytesView>, ObjectError> stored_content(const engine::Store& store, const ObjectId& id) {
  const auto value = store.find(object_data_key(id));
  if (!value) return std::optional<BytesView>{};
  auto content = decode_object_data(*value);
  if (!content) return std::unexpected(content.error());
  return std::optional<BytesView>{*content};
}

// The object index, after the check every collection makes first: a
// reference whose value is not an id fails it.
std::expected<const ObjectIndex*, ObjectError> checked_index(const engine::Store& store) {
  const ObjectIndex& index = store.derived_index<ObjectIndex>();
  if (index.bad_references() > 0) return std::unexpected(error(ObjectError::Kind::CorruptReference));
  return &index;
}

// Deletes the data and metadata records of each id in one committed transaction.
std::expected<void, ObjectError> delete_objects(engine::Store& store, const std::vector<ObjectId>& ids) {
  return in_own_transaction(store, [&](engine::Transaction& tx) -> std::expected<void, ObjectError> {
    for (const ObjectId& id : ids) {
      for (const std::string& key : {object_data_key(id), object_meta_key(id)}) {
        if (auto done = tx.delete_internal(key); !done) return std::unexpected(engine_error(done.error()));
      }
    }
    return {};
  });
}

void count_collection(engine::Store& store, uint64_t removed) {
  ObjectCounters& counters = store.domain_counters<ObjectCounters>();
  saturating_add(counters.gc_runs, 1);
  saturating_add(counters.gc_removed, removed);
}

// When the object of a data key expires, from its metadata record: nullopt
// for never. CorruptData for a key that is not a data key.
std::expected<std::optional<int64_t>, ObjectError> expiry_of(const engine::Store& store, BytesView data_key) {
  auto id = object_id_from_key(data_key, kObjectDataPrefix);
  if (!id) return std::unexpected(id.error());
  const auto value = store.find(object_meta_key(*id));
  if (!value) return std::optional<int64_t>{};
  return decode_expiry(*value);
}

std::expected<void, ObjectError> put_reference(engine::Transaction& tx, BytesView ns, BytesView name,
                                               const ObjectId& id) {
  auto key = object_ref_key(ns, name);
  if (!key) return std::unexpected(key.error());
  if (auto put = tx.put_internal(*key, id_bytes(id)); !put) return std::unexpected(engine_error(put.error()));
  return {};
}

}  // namespace

ObjectReadCounters object_read_counters() {
  return ObjectReadCounters{g_object_reads.load(std::memory_order_relaxed),
                            g_object_bytes_read.load(std::memory_order_relaxed)};
}

// ---- inside a caller's engine transaction ----

std::expected<ObjectId, ObjectError> put_object_tx(engine::Transaction& tx, BytesView content) {
  const ObjectId id = object_id_of(content);
  const std::string key = object_data_key(id);
  if (tx.get_internal(key)) return id;
  if (auto put = tx.put_internal(key, encode_object_data(content)); !put)
    return std::unexpected(engine_error(put.error()));
  return id;
}

std::expected<ObjectId, ObjectError> put_linked_object_tx(engine::Transaction& tx, BytesView content, BytesView ns,
                                                          BytesView name) {
  auto id = put_object_tx(tx, content);
  if (!id) return id;
  if (auto linked = put_reference(tx, ns, name, *id); !linked) return std::unexpected(linked.error());
  return id;
}

std::expected<void, ObjectError> link_object_tx(engine::Transaction& tx, BytesView ns, BytesView name,
                                                const ObjectId& id) {
  if (!tx.get_internal(object_data_key(id))) return std::unexpected(error(ObjectError::Kind::NotFound));
  return put_reference(tx, ns, name, id);
}

std::expected<bool, ObjectError> unlink_object_tx(engine::Transaction& tx, BytesView ns, BytesView name) {
  auto key = object_ref_key(ns, name);
  if (!key) return std::unexpected(key.error());
  if (!tx.get_internal(*key)) return false;
  if (auto deleted = tx.delete_internal(*key); !deleted) return std::unexpected(engine_error(deleted.error()));
  return true;
}

engine::DomainTransactionError transactional_error(const ObjectError& error) {
  using Kind = engine::DomainTransactionError::Kind;
  if (const auto& beneath = error.engine_error()) return engine::DomainTransactionError::engine(*beneath);
  switch (error.kind()) {
    case ObjectError::Kind::NotFound:
      return engine::DomainTransactionError::of(Kind::ObjectMissing);
    case ObjectError::Kind::EmptyReferenceName:
      return engine::DomainTransactionError::of(Kind::EmptyReferenceName);
    case ObjectError::Kind::ReferenceNameTooLong:
      return engine::DomainTransactionError::of(Kind::ReferenceNameTooLong);
    default:  // the `_tx` variants decode no record, so nothing else arises
      return engine::DomainTransactionError::of(Kind::CorruptMetadata);
  }
}

// ---- store level ----

std::expected<ObjectId, ObjectError> put_object(engine::Store& store, BytesView content, ObjectMetadata metadata) {
  auto normalized = normalize_metadata(std::move(metadata));
  if (!normalized) return std::unexpected(normalized.error());
  const ObjectId id = object_id_of(content);
  // Stored already: the first put's metadata stays, and nothing is written.
  if (store.contains_key(object_data_key(id))) return id;
  auto written = in_own_transaction(store, [&](engine::Transaction& tx) -> std::expected<ObjectId, ObjectError> {
    auto put = put_object_tx(tx, content);
    if (!put || normalized->empty()) return put;
    if (auto meta = tx.put_internal(object_meta_key(id), encode_object_metadata(*normalized)); !meta)
      return std::unexpected(engine_error(meta.error()));
    return put;
  });
  if (!written) return written;
  ObjectCounters& counters = store.domain_counters<ObjectCounters>();
  saturating_add(counters.puts, 1);
  saturating_add(counters.bytes_written, content.size());
  return id;
}

std::expected<std::optional<BytesView>, ObjectError> get_object(const engine::Store& store, const ObjectId& id) {
  auto content = stored_content(store, id);
  if (content && *content) count_read((*content)->size());
  return content;
}

std::expected<std::optional<BytesView>, ObjectError> get_object_chunk(const engine::Store& store, const ObjectId& id,
                                                                      uint64_t offset, uint64_t limit) {
  auto content = stored_content(store, id);
  if (!content || !*content) return content;
  const BytesView all = **content;
  const uint64_t length = all.size();
  const uint64_t start = std::min(offset, length);
  const uint64_t end = std::min(length, start > UINT64_MAX - limit ? UINT64_MAX : start + limit);
  const BytesView chunk = all.substr(start, end - start);
  count_read(chunk.size());
  return std::optional<BytesView>{chunk};
}

std::expected<std::optional<ObjectInfo>, ObjectError> object_info(const engine::Store& store, const ObjectId& id) {
  auto content = get_object(store, id);
  if (!content) return std::unexpected(content.error());
  if (!*content) return std::optional<ObjectInfo>{};
  ObjectInfo info{id, (*content)->size(), {}};
  if (const auto value = store.find(object_meta_key(id))) {
    auto metadata = decode_object_metadata(*value);
    if (!metadata) return std::unexpected(metadata.error());
    info.metadata = std::move(*metadata);
  }
  return std::optional<ObjectInfo>{std::move(info)};
}

std::expected<bool, ObjectError> verify_object(const engine::Store& store, const ObjectId& id) {
  auto content = get_object(store, id);
  if (!content) return std::unexpected(content.error());
  if (!*content) return false;
  return object_id_of(**content) == id;
}

std::expected<void, ObjectError> link_object(engine::Store& store, BytesView ns, BytesView name, const ObjectId& id) {
  auto content = get_object(store, id);
  if (!content) return std::unexpected(content.error());
  if (!*content) return std::unexpected(error(ObjectError::Kind::NotFound));
  // Refuse a bad name before a transaction id is spent on it.
  if (auto key = object_ref_key(ns, name); !key) return std::unexpected(key.error());
  return in_own_transaction(store, [&](engine::Transaction& tx) { return put_reference(tx, ns, name, id); });
}

std::expected<std::optional<ObjectId>, ObjectError> resolve_object_ref(const engine::Store& store, BytesView ns,
                                                                       BytesView name) {
  auto key = object_ref_key(ns, name);
  if (!key) return std::unexpected(key.error());
  const auto value = store.find(*key);
  if (!value) return std::optional<ObjectId>{};
  auto id = decode_object_ref(*value);
  if (!id) return std::unexpected(id.error());
  return std::optional<ObjectId>{*id};
}

std::expected<bool, ObjectError> unlink_object(engine::Store& store, BytesView ns, BytesView name) {
  auto key = object_ref_key(ns, name);
  if (!key) return std::unexpected(key.error());
  // An absent reference costs no transaction.
  if (!store.contains_key(*key)) return false;
  return in_own_transaction(store, [&](engine::Transaction& tx) { return unlink_object_tx(tx, ns, name); });
}

std::expected<std::vector<ObjectRef>, ObjectError> list_object_refs(const engine::Store& store, BytesView ns,
                                                                    BytesView name_prefix) {
  auto prefix = object_ref_namespace_prefix(ns);
  if (!prefix) return std::unexpected(prefix.error());
  std::vector<ObjectRef> refs;
  for (const auto& [key, value] : store.prefix_range(*prefix)) {
    ByteReader reader(BytesView(key).substr(prefix->size()));
    auto name = reader.component();
    if (!name || !reader.at_end()) return std::unexpected(error(ObjectError::Kind::CorruptReference));
    if (!name->starts_with(name_prefix)) continue;
    auto id = decode_object_ref(value);
    if (!id) return std::unexpected(id.error());
    refs.push_back(ObjectRef{std::string(*name), *id});
  }
  // Keys order names by length first; callers get plain bytewise name order.
  std::ranges::sort(refs, {}, &ObjectRef::name);
  return refs;
}

std::expected<ObjectGcReport, ObjectError> gc_orphan_objects(engine::Store& store, uint64_t limit) {
  auto index = checked_index(store);
  if (!index) return std::unexpected(index.error());
  ObjectGcReport report{(*index)->data_records(), (*index)->referenced_ids(), 0};
  if (limit == 0) return report;
  std::vector<ObjectId> orphans;
  for (const std::string& key : orphan_walk(**index, limit)) {
    auto id = object_id_from_key(key, kObjectDataPrefix);
    if (!id) return std::unexpected(id.error());
    orphans.push_back(*id);
  }
  if (!orphans.empty()) {
    if (auto deleted = delete_objects(store, orphans); !deleted) return std::unexpected(deleted.error());
  }
  report.removed = orphans.size();
  count_collection(store, report.removed);
  return report;
}

std::expected<ObjectPurgeReport, ObjectError> purge_expired_objects(engine::Store& store, int64_t now_unix,
                                                                    uint64_t limit) {
  auto checked = checked_index(store);
  if (!checked) return std::unexpected(checked.error());
  const ObjectIndex& index = **checked;
  // A walk over every data key fails at the first of these.
  for (const std::string& key : purge_failures(index)) {
    if (auto expires_at = expiry_of(store, key); !expires_at) return std::unexpected(expires_at.error());
  }
  ObjectPurgeReport report{index.data_records(), 0, 0, 0};
  std::vector<ObjectId> unreferenced;
  for (const TimedId<kObjectIdSize>& entry : index.expiries()) {
    if (entry.at > now_unix) break;
    if (!index.has_data(entry.id)) continue;
    ++report.expired;
    if (index.is_referenced(entry.id)) {
      ++report.referenced;
    } else {
      unreferenced.push_back(entry.id);
    }
  }
  // The walk over data keys selected in id order.
  std::ranges::sort(unreferenced);
  if (limit != 0 && unreferenced.size() > limit) unreferenced.resize(limit);
  if (!unreferenced.empty()) {
    if (auto deleted = delete_objects(store, unreferenced); !deleted) return std::unexpected(deleted.error());
  }
  report.removed = unreferenced.size();
  count_collection(store, report.removed);
  return report;
}

}  // namespace ombrel::records
