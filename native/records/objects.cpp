#include "records/objects.h"

#include <algorithm>
#include <atomic>
#include <iterator>

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

// Sorted distinct ids named by every reference of every namespace.
std::expected<std::vector<ObjectId>, ObjectError> referenced_ids(const engine::Store& store) {
  std::vector<ObjectId> ids;
  for (const auto& [key, value] : store.prefix_range(kObjectRefPrefix)) {
    auto id = decode_object_ref(value);
    if (!id) return std::unexpected(id.error());
    ids.push_back(*id);
  }
  std::ranges::sort(ids);
  auto duplicates = std::ranges::unique(ids);
  ids.erase(duplicates.begin(), duplicates.end());
  return ids;
}

bool is_referenced(const std::vector<ObjectId>& referenced, const ObjectId& id) {
  return std::ranges::binary_search(referenced, id);
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
  saturating_add(store.metrics().object_gc_runs, 1);
  saturating_add(store.metrics().object_gc_removed, removed);
}

// When an object expires, from its metadata record: nullopt for never.
std::expected<std::optional<int64_t>, ObjectError> expiry_of(const engine::Store& store, const ObjectId& id) {
  const auto value = store.find(object_meta_key(id));
  if (!value) return std::optional<int64_t>{};
  auto metadata = decode_object_metadata(*value);
  if (!metadata) return std::unexpected(metadata.error());
  auto entry = std::ranges::find(*metadata, kExpiresAtKey, [](const auto& pair) { return BytesView(pair.first); });
  if (entry == metadata->end()) return std::optional<int64_t>{};
  auto expires_at = parse_expiry(entry->second);
  if (!expires_at) return std::unexpected(error(ObjectError::Kind::CorruptMetadata));
  return expires_at;
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
  switch (error.kind()) {
    case ObjectError::Kind::Engine:
      return engine::DomainTransactionError::engine(*error.engine_error());
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
  saturating_add(store.metrics().object_puts, 1);
  saturating_add(store.metrics().object_bytes_written, content.size());
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
  auto referenced = referenced_ids(store);
  if (!referenced) return std::unexpected(referenced.error());
  const auto data = store.prefix_range(kObjectDataPrefix);
  ObjectGcReport report{static_cast<uint64_t>(std::distance(data.begin(), data.end())), referenced->size(), 0};
  if (limit == 0) return report;
  std::vector<ObjectId> orphans;
  for (auto it = data.begin(); it != data.end() && orphans.size() < limit; ++it) {
    auto id = object_id_from_key(it->first, kObjectDataPrefix);
    if (!id) return std::unexpected(id.error());
    if (!is_referenced(*referenced, *id)) orphans.push_back(*id);
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
  auto referenced = referenced_ids(store);
  if (!referenced) return std::unexpected(referenced.error());
  ObjectPurgeReport report{0, 0, 0, 0};
  std::vector<ObjectId> selected;
  for (const auto& [key, value] : store.prefix_range(kObjectDataPrefix)) {
    ++report.scanned;
    auto id = object_id_from_key(key, kObjectDataPrefix);
    if (!id) return std::unexpected(id.error());
    auto expires_at = expiry_of(store, *id);
    if (!expires_at) return std::unexpected(expires_at.error());
    if (!*expires_at || **expires_at > now_unix) continue;
    ++report.expired;
    if (is_referenced(*referenced, *id)) {
      ++report.referenced;
    } else if (limit == 0 || selected.size() < limit) {
      selected.push_back(*id);
    }
  }
  if (!selected.empty()) {
    if (auto deleted = delete_objects(store, selected); !deleted) return std::unexpected(deleted.error());
  }
  report.removed = selected.size();
  count_collection(store, report.removed);
  return report;
}

}  // namespace ombrel::records
