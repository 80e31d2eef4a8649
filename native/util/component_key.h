// Internal-key builder shared by every domain layer.
//
// An internal key is a fixed prefix (0xFF "omb:" and the domain's text)
// followed by components. A name component is written as its length, a
// 32-bit big-endian integer, then its bytes, so that the keys of one name
// never share a prefix with the keys of a longer name that merely extends
// it. A number component (message id, offset, transaction id, history
// sequence) is 8 bytes big-endian with no length, so that key order is
// numeric order.
//
//   ComponentKey key(kRecordPrefix);
//   key.component(collection).component(primary_key);
//   if (!key.ok()) return std::unexpected(CollectionError::component_too_large());
//   engine_txn.put_internal(key.bytes(), value);
//
// A component longer than 2^32 - 1 bytes cannot be encoded: the builder
// remembers it, `ok()` turns false, and each domain maps that to its own
// "too large"/"too long" error. `component_key` and `tuple_key` are the
// one-call forms that return std::nullopt in that case.
#pragma once

#include <cstdint>
#include <expected>
#include <initializer_list>
#include <limits>
#include <optional>

#include "util/byte_codec.h"

namespace ombrel {

inline constexpr uint64_t kMaxComponentBytes = std::numeric_limits<uint32_t>::max();

inline bool component_fits(BytesView component) { return component.size() <= kMaxComponentBytes; }

class ComponentKey {
 public:
  explicit ComponentKey(BytesView prefix) : key_(prefix) {}

  ComponentKey& component(BytesView name) {
    if (!component_fits(name)) {
      ok_ = false;
      return *this;
    }
    ByteWriter(key_).component(name);
    return *this;
  }
  ComponentKey& number(uint64_t value) {
    ByteWriter(key_).u64_be(value);
    return *this;
  }
  // Raw bytes with no length (a fixed separator such as ":m:").
  ComponentKey& raw(BytesView bytes) {
    key_.append(bytes);
    return *this;
  }

  bool ok() const { return ok_; }
  const Bytes& bytes() const& { return key_; }
  Bytes take() && { return std::move(key_); }

 private:
  Bytes key_;
  bool ok_ = true;
};

inline std::optional<Bytes> component_key(BytesView prefix, std::initializer_list<BytesView> components) {
  ComponentKey key(prefix);
  for (BytesView c : components) key.component(c);
  if (!key.ok()) return std::nullopt;
  return std::move(key).take();
}

// The same encoding under the name the messaging layers use.
inline std::optional<Bytes> tuple_key(BytesView prefix, std::initializer_list<BytesView> components) {
  return component_key(prefix, components);
}

// Append-only logs keyed by a prefix and a sequence number (history entries):
// the sequence that follows the one closing `last_key`, the largest key
// under `prefix` in the writer's view (Transaction::last_key_internal;
// nullopt when there is none: the first sequence, 0).
enum class SequenceFault : uint8_t { MalformedKey, Exhausted };
inline std::expected<uint64_t, SequenceFault> sequence_after(const std::optional<Bytes>& last_key, BytesView prefix) {
  if (!last_key) return 0;
  if (!last_key->starts_with(prefix)) return std::unexpected(SequenceFault::MalformedKey);
  // A view of the key itself: a substr() copy would die before the reader is done.
  ByteReader sequence(BytesView(*last_key).substr(prefix.size()));
  const std::optional<uint64_t> last = sequence.u64_be();
  if (!last || !sequence.at_end()) return std::unexpected(SequenceFault::MalformedKey);
  if (*last == std::numeric_limits<uint64_t>::max()) return std::unexpected(SequenceFault::Exhausted);
  return *last + 1;
}

}  // namespace ombrel
