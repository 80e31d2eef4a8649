// Object methods of Store: content-addressed puts and reads, named
// references, orphan collection and expiry purge.
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
#include <span>
#include <string_view>

#include "engine/store.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/method_registry.h"
#include "python/store_slot.h"
#include "records/objects.h"

namespace ombrel::python {
namespace {

using Args = std::span<PyObject* const>;
using records::ObjectError;
using records::ObjectId;

constexpr const char* kIdLengthMessage = "object id must be exactly 32 bytes";

PyObject* map_object_error(const ModuleState& state, const ObjectError& error) {
  return raise_domain_error(state, error.message());
}

// The id argument: TypeError for a non-bytes, OmbrelStoreError for a wrong length.
std::optional<ObjectId> object_id_arg(PyObject* self, PyObject* object) {
  return fixed_length_arg(self, object, "id", kIdLengthMessage, records::object_id_from);
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

PyObject* put_with(PyObject* self, std::string_view content, records::ObjectMetadata metadata) {
  return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
    auto id = records::put_object(store, content, std::move(metadata));
    if (!id) return map_object_error(state, id.error());
    return id_result(*id);
  });
}

struct PutObject {
  static constexpr const char* kName = "put_object";
  static constexpr Param kParams[] = {{"content"}};
  static constexpr const char* kDoc =
      "Store `content` as an object and return its id, the 32-byte SHA-256 of the content.\n\n"
      "Content already stored is not written again.";

  static PyObject* call(PyObject* self, Args args) {
    auto content = bytes_arg(args[0], "content");
    if (!content) return nullptr;
    return put_with(self, *content, {});
  }
};

struct PutObjectWithMetadata {
  static constexpr const char* kName = "put_object_with_metadata";
  static constexpr Param kParams[] = {{"content"}, {"metadata"}};
  static constexpr const char* kDoc =
      "Store `content` with `metadata` (a dict of str to str) and return its 32-byte id.\n\n"
      "The metadata is checked even when the content is already stored, but an existing\n"
      "object keeps the metadata of its first put. Keys are 1 to 4096 UTF-8 bytes, values at\n"
      "most 65536, all keys and values together at most 262144.";

  static PyObject* call(PyObject* self, Args args) {
    auto content = bytes_arg(args[0], "content");
    if (!content) return nullptr;
    auto metadata = text_dict_arg(args[1], "metadata");
    if (!metadata) return nullptr;
    return put_with(self, *content, std::move(*metadata));
  }
};

struct GetObject {
  static constexpr const char* kName = "get_object";
  static constexpr Param kParams[] = {{"id"}};
  static constexpr const char* kDoc = "Return the content of object `id`, or None when no such object is stored.";

  static PyObject* call(PyObject* self, Args args) {
    auto id = object_id_arg(self, args[0]);
    if (!id) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto content = records::get_object(store, *id);
      if (!content) return map_object_error(state, content.error());
      return optional_bytes_result(*content);
    });
  }
};

struct GetObjectChunk {
  static constexpr const char* kName = "get_object_chunk";
  static constexpr Param kParams[] = {{"id"}, {"offset", "0"}, {"limit", "65536"}};
  static constexpr const char* kDoc =
      "Return up to `limit` bytes of object `id` starting at byte `offset`, or None when no\n"
      "such object is stored. An offset at or past the end gives empty bytes.";

  static PyObject* call(PyObject* self, Args args) {
    auto id = object_id_arg(self, args[0]);
    if (!id) return nullptr;
    auto offset = u64_arg(args[1], "offset", 0);
    if (!offset) return nullptr;
    auto limit = u64_arg(args[2], "limit", 65536);
    if (!limit) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto chunk = records::get_object_chunk(store, *id, *offset, *limit);
      if (!chunk) return map_object_error(state, chunk.error());
      return optional_bytes_result(*chunk);
    });
  }
};

struct ObjectInfoMethod {
  static constexpr const char* kName = "object_info";
  static constexpr Param kParams[] = {{"id"}};
  static constexpr const char* kDoc =
      "Return {\"id\", \"size\", \"metadata\"} for object `id`, or None when no such object is stored.\n\n"
      "\"metadata\" is a dict of str to str, empty for an object stored without metadata.";

  static PyObject* call(PyObject* self, Args args) {
    auto id = object_id_arg(self, args[0]);
    if (!id) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto info = records::object_info(store, *id);
      if (!info) return map_object_error(state, info.error());
      if (!*info) return none_result();
      DictBuilder dict;
      dict.set("id", id_result((*info)->id));
      dict.set("size", int_result((*info)->size));
      dict.set("metadata", metadata_dict((*info)->metadata));
      return dict.finish();
    });
  }
};

struct VerifyObject {
  static constexpr const char* kName = "verify_object";
  static constexpr Param kParams[] = {{"id"}};
  static constexpr const char* kDoc =
      "Return True when object `id` is stored and its content still hashes to `id`;\n"
      "False when it is absent or its content has changed.";

  static PyObject* call(PyObject* self, Args args) {
    auto id = object_id_arg(self, args[0]);
    if (!id) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto intact = records::verify_object(store, *id);
      if (!intact) return map_object_error(state, intact.error());
      return bool_result(*intact);
    });
  }
};

struct LinkObject {
  static constexpr const char* kName = "link_object";
  static constexpr Param kParams[] = {{"namespace"}, {"name"}, {"id"}};
  static constexpr const char* kDoc =
      "Point the reference (`namespace`, `name`) at the stored object `id`, replacing any\n"
      "earlier target of that name.";

  static PyObject* call(PyObject* self, Args args) {
    auto ns = bytes_arg(args[0], "namespace");
    if (!ns) return nullptr;
    auto name = bytes_arg(args[1], "name");
    if (!name) return nullptr;
    auto id = object_id_arg(self, args[2]);
    if (!id) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto linked = records::link_object(store, *ns, *name, *id);
      if (!linked) return map_object_error(state, linked.error());
      return none_result();
    });
  }
};

struct ResolveObjectRef {
  static constexpr const char* kName = "resolve_object_ref";
  static constexpr Param kParams[] = {{"namespace"}, {"name"}};
  static constexpr const char* kDoc =
      "Return the id that reference (`namespace`, `name`) points at, or None when there is no\n"
      "such reference. The object itself may have been collected since.";

  static PyObject* call(PyObject* self, Args args) {
    auto ns = bytes_arg(args[0], "namespace");
    if (!ns) return nullptr;
    auto name = bytes_arg(args[1], "name");
    if (!name) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto id = records::resolve_object_ref(store, *ns, *name);
      if (!id) return map_object_error(state, id.error());
      if (!*id) return none_result();
      return id_result(**id);
    });
  }
};

struct UnlinkObject {
  static constexpr const char* kName = "unlink_object";
  static constexpr Param kParams[] = {{"namespace"}, {"name"}};
  static constexpr const char* kDoc =
      "Remove reference (`namespace`, `name`) and return True, or return False when it does not\n"
      "exist. The object stays until gc_orphan_objects collects it.";

  static PyObject* call(PyObject* self, Args args) {
    auto ns = bytes_arg(args[0], "namespace");
    if (!ns) return nullptr;
    auto name = bytes_arg(args[1], "name");
    if (!name) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto removed = records::unlink_object(store, *ns, *name);
      if (!removed) return map_object_error(state, removed.error());
      return bool_result(*removed);
    });
  }
};

struct ListObjectRefs {
  static constexpr const char* kName = "list_object_refs";
  static constexpr Param kParams[] = {{"namespace"}, {"name_prefix", "None"}};
  static constexpr const char* kDoc =
      "Return the (name, id) pairs of `namespace` whose name starts with `name_prefix`\n"
      "(every name when None), sorted by name.";

  static PyObject* call(PyObject* self, Args args) {
    auto ns = bytes_arg(args[0], "namespace");
    if (!ns) return nullptr;
    auto name_prefix = optional_byte_vec_arg(args[1], "name_prefix");
    if (!name_prefix) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto refs = records::list_object_refs(store, *ns, name_prefix->value_or(std::string()));
      if (!refs) return map_object_error(state, refs.error());
      return list_result(*refs, [](const records::ObjectRef& ref) {
        return tuple_result({bytes_result(ref.name), id_result(ref.id)});
      });
    });
  }
};

struct GcOrphanObjects {
  static constexpr const char* kName = "gc_orphan_objects";
  static constexpr Param kParams[] = {{"limit", "100"}};
  static constexpr const char* kDoc =
      "Delete up to `limit` objects that no reference names, in id order, and return\n"
      "{\"scanned\", \"referenced\", \"removed\"}. A limit of 0 only reports the counts.";

  static PyObject* call(PyObject* self, Args args) {
    auto limit = u64_arg(args[0], "limit", 100);
    if (!limit) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto report = records::gc_orphan_objects(store, *limit);
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
  static constexpr Param kParams[] = {{"now_unix"}, {"limit", "100"}};
  static constexpr const char* kDoc =
      "Delete up to `limit` unreferenced objects whose \"expires_at_unix\" metadata is at or\n"
      "before `now_unix` and return {\"scanned\", \"expired\", \"referenced\", \"removed\"}.\n"
      "A limit of 0 removes every such object.";

  static PyObject* call(PyObject* self, Args args) {
    auto now_unix = i64_arg(args[0], "now_unix");
    if (!now_unix) return nullptr;
    auto limit = u64_arg(args[1], "limit", 100);
    if (!limit) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto report = records::purge_expired_objects(store, *now_unix, *limit);
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
    method_spec<PutObject>(),      method_spec<PutObjectWithMetadata>(), method_spec<GetObject>(),
    method_spec<GetObjectChunk>(), method_spec<ObjectInfoMethod>(),      method_spec<VerifyObject>(),
    method_spec<LinkObject>(),     method_spec<ResolveObjectRef>(),      method_spec<UnlinkObject>(),
    method_spec<ListObjectRefs>(), method_spec<GcOrphanObjects>(),       method_spec<PurgeExpiredObjects>(),
};
const MethodBlock kObjectBlock{TargetClass::Store, kObjectMethods};

}  // namespace
}  // namespace ombrel::python
