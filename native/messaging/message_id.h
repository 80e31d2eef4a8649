// Identity of an outbox event or an RPC request: the engine transaction that
// wrote it and 16 random bytes drawn when it was written, so that several
// written by one transaction stay apart.
//
// Keys built from it are the area's fixed prefix, the transaction id (8 bytes
// big-endian, so that keys sort by transaction) and the nonce.
#pragma once

#include <absl/container/btree_set.h>

#include <array>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/store.h"
#include "util/byte_codec.h"
#include "util/entropy.h"

namespace ombrel::messaging {

inline constexpr size_t kNonceSize = 16;
using Nonce = std::array<unsigned char, kNonceSize>;

struct MessageId {
  uint64_t tx_id = 0;
  Nonce nonce{};
};

inline BytesView nonce_bytes(const Nonce& nonce) {
  return BytesView(reinterpret_cast<const char*>(nonce.data()), nonce.size());
}

// Nothing unless `bytes` is exactly 16 bytes long.
inline std::optional<Nonce> nonce_from(BytesView bytes) {
  if (bytes.size() != kNonceSize) return std::nullopt;
  Nonce nonce{};
  for (size_t i = 0; i < kNonceSize; ++i) nonce[i] = static_cast<unsigned char>(bytes[i]);
  return nonce;
}

// Nothing when the operating system cannot supply randomness.
inline std::optional<Nonce> random_nonce() {
  Nonce nonce{};
  if (!fill_random(std::span<unsigned char>(nonce))) return std::nullopt;
  return nonce;
}

inline Bytes message_id_key(BytesView prefix, uint64_t tx_id, const Nonce& nonce) {
  Bytes key(prefix);
  ByteWriter w(key);
  w.u64_be(tx_id);
  w.bytes(nonce_bytes(nonce));
  return key;
}

// The id a key under `prefix` names, or nothing for any other key shape.
inline std::optional<MessageId> message_id_of_key(BytesView key, size_t prefix_size) {
  if (key.size() != prefix_size + 8 + kNonceSize) return std::nullopt;
  ByteReader r(key.substr(prefix_size));
  auto tx_id = r.u64_be();
  auto nonce = nonce_from(r.rest());
  if (!tx_id || !nonce) return std::nullopt;
  return MessageId{*tx_id, *nonce};
}

inline bool operator==(const MessageId& a, const MessageId& b) { return a.tx_id == b.tx_id && a.nonce == b.nonce; }
// Key order: transaction, then nonce bytes.
inline bool operator<(const MessageId& a, const MessageId& b) {
  if (a.tx_id != b.tx_id) return a.tx_id < b.tx_id;
  return a.nonce < b.nonce;
}

// The record stored as `value` under `key` (a key under a prefix of
// `prefix_size` bytes), decoded with `decode`; nothing when it does not
// decode or its id is not its key's: a record filed under another id could
// be listed but never acknowledged or answered.
template <class Decode>
auto record_under_key(BytesView key, size_t prefix_size, BytesView value, Decode&& decode)
    -> std::optional<typename std::invoke_result_t<Decode&, BytesView>::value_type> {
  auto record = decode(value);
  if (!record) return std::nullopt;
  auto key_id = message_id_of_key(key, prefix_size);
  if (!key_id || !(*key_id == MessageId{record->tx_id, record->nonce})) return std::nullopt;
  return std::move(*record);
}

// The keys under one prefix whose records record_under_key refuses, kept by
// a derived index so that a walk that starts part-way still fails on them.
using UnreadableKeys = absl::btree_set<Bytes, std::less<>>;

// Up to `limit` committed records under `prefix` (0: none), in key order
// (transaction, then nonce), skipping those of transactions up to
// `after_tx_id`. A record that record_under_key refuses fails the walk with
// `corrupt` once the walk reaches it; the walk starts at the first
// transaction after `after_tx_id`, and `unreadable` (every such key under
// the prefix) answers for the records it passes over, so a listing costs
// the same however many records come before it.
template <class Decode, class Error>
auto records_after(const engine::Store& store, BytesView prefix, const UnreadableKeys& unreadable,
                   std::optional<uint64_t> after_tx_id, uint64_t limit, Decode&& decode, Error corrupt)
    -> std::expected<std::vector<typename std::invoke_result_t<Decode&, BytesView>::value_type>, Error> {
  std::vector<typename std::invoke_result_t<Decode&, BytesView>::value_type> out;
  if (limit == 0) return out;
  Bytes start(prefix);
  if (after_tx_id) {
    if (*after_tx_id == std::numeric_limits<uint64_t>::max()) {
      if (!unreadable.empty()) return std::unexpected(corrupt);
      return out;
    }
    ByteWriter(start).u64_be(*after_tx_id + 1);
  }
  if (!unreadable.empty() && *unreadable.begin() < start) return std::unexpected(corrupt);
  const auto end = store.prefix_range(prefix).last;
  for (auto it = store.live().lower_bound(BytesView(start)); it != end; ++it) {
    auto record = record_under_key(it->first, prefix.size(), it->second, decode);
    if (!record) return std::unexpected(corrupt);
    out.push_back(std::move(*record));
    if (out.size() >= limit) break;
  }
  return out;
}

}  // namespace ombrel::messaging
