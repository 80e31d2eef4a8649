// Object methods of Store: content-addressed puts and reads, named
// references, orphan collection and expiry purge; and the object staging
// methods of Transaction (put, put and link, link, unlink), declared once
// with the Store's where both have them.
//
// Contract: ids are bytes of exactly 32 bytes, refused with OmbrelStoreError
// "object id must be exactly 32 bytes" before the store is locked. Metadata
// is a dict of str to str, passed as UTF-8. object_info returns {"id",
// "size", "metadata"} (metadata decoded from UTF-8 with U+FFFD for invalid
// sequences); gc_orphan_objects returns {"scanned", "referenced", "removed"};
// purge_expired_objects {"scanned", "expired", "referenced", "removed"}, in
// those orders. Every ObjectError, engine failures included, is raised as
// OmbrelStoreError with its own display text.
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/store.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/method_registry.h"
#include "python/operation.h"
#include "python/store_slot.h"
#include "python/transaction.h"
#include "records/objects.h"

namespace ombrel::python {
namespace {

using records::ObjectError;
using records::ObjectId;

constexpr char kIdLengthMessage[] = "object id must be exactly 32 bytes";
// TypeError for a non-bytes, OmbrelStoreError for a wrong length.
using ObjectIdArg = arg::FixedLengthId<&records::object_id_from, kIdLengthMessage>;

PyObject* map_object_error(const ModuleState& state, const ObjectError& error) {
  return raise_domain_error(state, error.message());
}

using engine::in_transactional_words;

std::optional<OperationResult> object_result(const ObjectId& id) {
  return OperationResult("object", {{"id", std::string(records::id_bytes(id))}});
}

PyObject* id_result(const ObjectId& id) { return bytes_result(records::id_bytes(id)); }

PyObject* optional_bytes_result(const std::optional<std::string_view>& bytes) {
  if (!bytes) return none_result();
  return bytes_result(*bytes);
}

// Keys may hold any byte, NUL included, so they cannot go through DictBuilder.
PyObject* metadata_dict(const records::ObjectMetadata& metadata) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : metadata) {
    PyRef py_key = PyRef::steal(text_result(key));
    if (!py_key) return nullptr;
    PyRef py_value = PyRef::steal(text_result(value));
    if (!py_value || PyDict_SetItem(dict.get(), py_key.get(), py_value.get()) < 0) return nullptr;
  }
  return dict.release();
}

template <class B>
struct PutObject {
  static constexpr const char* kName = "put_object";
  using Bytes = B;
  Bytes content;
  static constexpr auto kParams = params(param("content", &PutObject::content));
  static constexpr const char* kStoreDoc =
      "Store `content` as an object and return its id, the 32-byte SHA-256 of the content.\n\n"
      "Content already stored is not written again.";
  static constexpr const char* kStagedDoc =
      "Stage a put of `content` as a content-addressed object (without metadata) and return the\n"
      "operation's position. Its result is {\"kind\": \"object\", \"id\": <32-byte SHA-256>}.";

  auto run(engine::Store& store) const { return records::put_object(store, content, {}); }
  auto run(engine::Transaction& tx) const { return in_transactional_words(records::put_object_tx(tx, content)); }
  static PyObject* store_result(const ObjectId& id) { return id_result(id); }
  static std::optional<OperationResult> staged_result(const ObjectId& id) { return object_result(id); }
};

struct PutObjectWithMetadata {
  static constexpr const char* kName = "put_object_with_metadata";
  std::string_view content;
  std::vector<std::pair<std::string, std::string>> metadata;
  static constexpr auto kParams = params(param("content", &PutObjectWithMetadata::content),
                                         param<arg::TextDict>("metadata", &PutObjectWithMetadata::metadata));
  static constexpr const char* kDoc =
      "Store `content` with `metadata` (a dict of str to str) and return its 32-byte id.\n\n"
      "The metadata is checked even when the content is already stored, but an existing\n"
      "object keeps the metadata of its first put. Keys are 1 to 4096 UTF-8 bytes, values at\n"
      "most 65536, all keys and values together at most 262144.";

  PyObject* call(PyObject* self) {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto id = records::put_object(store, content, std::move(metadata));
      if (!id) return map_object_error(state, id.error());
      return id_result(*id);
    });
  }
};

struct PutLinkedObject {
  static constexpr const char* kName = "put_linked_object";
  std::string content;
  std::string ns;
  std::string name;
  static constexpr auto kParams =
      params(param("content", &PutLinkedObject::content), param("namespace", &PutLinkedObject::ns),
             param("name", &PutLinkedObject::name));
  static constexpr const char* kStagedDoc =
      "Stage a put of `content` and a reference (namespace, name) to it, replacing any earlier one;\n"
      "return the operation's position. Its result is {\"kind\": \"object\", \"id\": <32 bytes>}.";

  auto run(engine::Transaction& tx) const {
    return in_transactional_words(records::put_linked_object_tx(tx, content, ns, name));
  }
  static std::optional<OperationResult> staged_result(const ObjectId& id) { return object_result(id); }
};

struct GetObject {
  static constexpr const char* kName = "get_object";
  ObjectId id;
  static constexpr auto kParams = params(param<ObjectIdArg>("id", &GetObject::id));
  static constexpr const char* kDoc = "Return the content of object `id`, or None when no such object is stored.";
  static constexpr const char* kTransactionDoc =
      "Return the content of object `id` as committed, or None; objects staged in this transaction\n"
      "take effect at commit and are not seen before it.";

  PyObject* answer(const engine::Store& store, const ModuleState& state) const {
    auto content = records::get_object(store, id);
    if (!content) return map_object_error(state, content.error());
    return optional_bytes_result(*content);
  }

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) { return answer(store, state); });
  }
};

struct GetObjectChunk {
  static constexpr const char* kName = "get_object_chunk";
  ObjectId id;
  uint64_t offset;
  uint64_t limit;
  static constexpr auto kParams =
      params(param<ObjectIdArg>("id", &GetObjectChunk::id), param("offset", &GetObjectChunk::offset, 0),
             param("limit", &GetObjectChunk::limit, 65536));
  static constexpr const char* kDoc =
      "Return up to `limit` bytes of object `id` starting at byte `offset`, or None when no\n"
      "such object is stored. An offset at or past the end gives empty bytes.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto chunk = records::get_object_chunk(store, id, offset, limit);
      if (!chunk) return map_object_error(state, chunk.error());
      return optional_bytes_result(*chunk);
    });
  }
};

struct ObjectInfoMethod {
  static constexpr const char* kName = "object_info";
  ObjectId id;
  static constexpr auto kParams = params(param<ObjectIdArg>("id", &ObjectInfoMethod::id));
  static constexpr const char* kDoc =
      "Return {\"id\", \"size\", \"metadata\"} for object `id`, or None when no such object is stored.\n\n"
      "\"metadata\" is a dict of str to str, empty for an object stored without metadata.";
  static constexpr const char* kTransactionDoc =
      "Return {\"id\", \"size\", \"metadata\"} for object `id` as committed, or None; objects staged in\n"
      "this transaction take effect at commit and are not seen before it.";

  PyObject* answer(const engine::Store& store, const ModuleState& state) const {
    auto info = records::object_info(store, id);
    if (!info) return map_object_error(state, info.error());
    if (!*info) return none_result();
    DictBuilder dict;
    dict.set("id", id_result((*info)->id));
    dict.set("size", int_result((*info)->size));
    dict.set("metadata", metadata_dict((*info)->metadata));
    return dict.finish();
  }

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) { return answer(store, state); });
  }
};

struct VerifyObject {
  static constexpr const char* kName = "verify_object";
  ObjectId id;
  static constexpr auto kParams = params(param<ObjectIdArg>("id", &VerifyObject::id));
  static constexpr const char* kDoc =
      "Return True when object `id` is stored and its content still hashes to `id`;\n"
      "False when it is absent or its content has changed.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto intact = records::verify_object(store, id);
      if (!intact) return map_object_error(state, intact.error());
      return bool_result(*intact);
    });
  }
};

template <class B>
struct LinkObject {
  static constexpr const char* kName = "link_object";
  using Bytes = B;
  Bytes ns;
  Bytes name;
  ObjectId id;
  static constexpr auto kParams = params(param("namespace", &LinkObject::ns), param("name", &LinkObject::name),
                                         param<ObjectIdArg>("id", &LinkObject::id));
  static constexpr const char* kStoreDoc =
      "Point the reference (`namespace`, `name`) at the stored object `id`, replacing any\n"
      "earlier target of that name.";
  static constexpr const char* kStagedDoc =
      "Stage a reference (namespace, name) to the object `id` and return the operation's position.\n"
      "The object may be put earlier in the same transaction; at commit an absent object raises\n"
      "\"object does not exist\". No result. A wrong id length raises at once.";

  auto run(engine::Store& store) const { return records::link_object(store, ns, name, id); }
  auto run(engine::Transaction& tx) const { return in_transactional_words(records::link_object_tx(tx, ns, name, id)); }
};

struct ResolveObjectRef {
  static constexpr const char* kName = "resolve_object_ref";
  std::string_view ns;
  std::string_view name;
  static constexpr auto kParams =
      params(param("namespace", &ResolveObjectRef::ns), param("name", &ResolveObjectRef::name));
  static constexpr const char* kDoc =
      "Return the id that reference (`namespace`, `name`) points at, or None when there is no\n"
      "such reference. The object itself may have been collected since.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto id = records::resolve_object_ref(store, ns, name);
      if (!id) return map_object_error(state, id.error());
      if (!*id) return none_result();
      return id_result(**id);
    });
  }
};

template <class B>
struct UnlinkObject {
  static constexpr const char* kName = "unlink_object";
  using Bytes = B;
  Bytes ns;
  Bytes name;
  static constexpr auto kParams = params(param("namespace", &UnlinkObject::ns), param("name", &UnlinkObject::name));
  static constexpr const char* kStoreDoc =
      "Remove reference (`namespace`, `name`) and return True, or return False when it does not\n"
      "exist. The object stays until gc_orphan_objects collects it.";
  static constexpr const char* kStagedDoc =
      "Stage the removal of the reference (namespace, name) and return the operation's position.\n"
      "Its result is {\"kind\": \"object_unlink\", \"removed\": <bool>}.";

  auto run(engine::Store& store) const { return records::unlink_object(store, ns, name); }
  auto run(engine::Transaction& tx) const { return in_transactional_words(records::unlink_object_tx(tx, ns, name)); }
  static PyObject* store_result(bool removed) { return bool_result(removed); }
  static std::optional<OperationResult> staged_result(bool removed) {
    return OperationResult("object_unlink", {{"removed", removed}});
  }
};

struct ListObjectRefs {
  static constexpr const char* kName = "list_object_refs";
  std::string_view ns;
  std::optional<std::string> name_prefix;
  static constexpr auto kParams =
      params(param("namespace", &ListObjectRefs::ns), param("name_prefix", &ListObjectRefs::name_prefix, kNone));
  static constexpr const char* kDoc =
      "Return the (name, id) pairs of `namespace` whose name starts with `name_prefix`\n"
      "(every name when None), sorted by name.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto refs = records::list_object_refs(store, ns, name_prefix.value_or(std::string()));
      if (!refs) return map_object_error(state, refs.error());
      return list_result(*refs, [](const records::ObjectRef& ref) {
        return tuple_result({bytes_result(ref.name), id_result(ref.id)});
      });
    });
  }
};

struct GcOrphanObjects {
  static constexpr const char* kName = "gc_orphan_objects";
  uint64_t limit;
  static constexpr auto kParams = params(param("limit", &GcOrphanObjects::limit, 100));
  static constexpr const char* kDoc =
      "Delete up to `limit` objects that no reference names, in id order, and return\n"
      "{\"scanned\", \"referenced\", \"removed\"}. A limit of 0 only reports the counts.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto report = records::gc_orphan_objects(store, limit);
      if (!report) return map_object_error(state, report.error());
      DictBuilder dict;
      dict.set("scanned", int_result(report->scanned));
      dict.set("referenced", int_result(report->referenced));
      dict.set("removed", int_result(report->removed));
      return dict.finish();
    });
  }
};

struct PurgeExpiredObjects {
  static constexpr const char* kName = "purge_expired_objects";
  int64_t now_unix;
  uint64_t limit;
  static constexpr auto kParams =
      params(param("now_unix", &PurgeExpiredObjects::now_unix), param("limit", &PurgeExpiredObjects::limit, 100));
  static constexpr const char* kDoc =
      "Delete up to `limit` unreferenced objects whose \"expires_at_unix\" metadata is at or\n"
      "before `now_unix` and return {\"scanned\", \"expired\", \"referenced\", \"removed\"}.\n"
      "A limit of 0 removes every such object.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto report = records::purge_expired_objects(store, now_unix, limit);
      if (!report) return map_object_error(state, report.error());
      DictBuilder dict;
      dict.set("scanned", int_result(report->scanned));
      dict.set("expired", int_result(report->expired));
      dict.set("referenced", int_result(report->referenced));
      dict.set("removed", int_result(report->removed));
      return dict.finish();
    });
  }
};

constexpr MethodSpec kObjectMethods[] = {
    method_spec<OnStore<PutObject<Borrowed>>>(),
    method_spec<PutObjectWithMetadata>(),
    method_spec<GetObject>(),
    method_spec<GetObjectChunk>(),
    method_spec<ObjectInfoMethod>(),
    method_spec<VerifyObject>(),
    method_spec<OnStore<LinkObject<Borrowed>>>(),
    method_spec<ResolveObjectRef>(),
    method_spec<OnStore<UnlinkObject<Borrowed>>>(),
    method_spec<ListObjectRefs>(),
    method_spec<GcOrphanObjects>(),
    method_spec<PurgeExpiredObjects>(),
};
const MethodBlock kObjectBlock{TargetClass::Store, kObjectMethods};

constexpr MethodSpec kObjectTransactionReads[] = {
    method_spec<TransactionRead<GetObject>>(),
    method_spec<TransactionRead<ObjectInfoMethod>>(),
};
const MethodBlock kObjectTransactionReadsBlock{TargetClass::Transaction, kObjectTransactionReads};

constexpr MethodSpec kObjectStagingMethods[] = {
    method_spec<Staged<PutObject<Owned>>>(),
    method_spec<Staged<PutLinkedObject>>(),
    method_spec<Staged<LinkObject<Owned>>>(),
    method_spec<Staged<UnlinkObject<Owned>>>(),
};
const MethodBlock kObjectStagingBlock{TargetClass::Transaction, kObjectStagingMethods};

}  // namespace
}  // namespace ombrel::python
