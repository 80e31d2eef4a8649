#include "messaging/stream.h"

#include <limits>
#include <utility>

#include "engine/store.h"
#include "engine/transaction.h"
#include "util/byte_codec.h"
#include "util/component_key.h"

namespace ombrel::messaging {

namespace {

constexpr uint8_t kEntryFormatVersion = 1;
constexpr size_t kEntryFixedBytes = 1 + 4;  // before the payload (stream.h)
constexpr uint64_t kMaxOffset = std::numeric_limits<uint64_t>::max();
constexpr BytesView kStreamPrefix = kStreamArea.prefix;
constexpr BytesView kSubscriptionPrefix = kSubscriptionArea.prefix;
constexpr BytesView kNextSuffix{":next"};
constexpr BytesView kEntrySuffix{":e:"};

MessagingError fault(MessagingError::Kind kind) { return MessagingError::of(kind); }

std::string encode_counter(uint64_t value) {
  std::string out;
  ByteWriter(out).u64_le(value);
  return out;
}

// A stored counter or cursor (absent: 0).
std::expected<uint64_t, MessagingError> read_counter(const engine::Store& store, BytesView key) {
  const auto value = store.find(key);
  if (!value) return 0;
  auto counter = decode_stream_counter(*value);
  if (!counter) return std::unexpected(fault(MessagingError::Kind::CorruptMetadata));
  return *counter;
}

std::string entry_key(BytesView entry_prefix, uint64_t offset) {
  std::string key(entry_prefix);
  ByteWriter(key).u64_be(offset);
  return key;
}

std::expected<void, MessagingError> check_name(BytesView name) {
  if (name.empty()) return std::unexpected(fault(MessagingError::Kind::EmptyName));
  if (!component_fits(name)) return std::unexpected(fault(MessagingError::Kind::NameTooLong));
  return {};
}

// What one append writes: the counter moved past `offset`, and the entry.
struct PlannedAppend {
  uint64_t offset;
  std::string entry_key;
  std::string entry_value;
};

// The append of `payload` to the stream of `keys`, reading stored values
// through `get` (the committed store or a caller's transaction).
template <class Get>
std::expected<PlannedAppend, MessagingError> plan_append(const StreamKeys& keys, std::string_view payload, Get&& get) {
  uint64_t offset = 0;
  if (std::optional<std::string> stored = get(keys.next)) {
    auto counter = decode_stream_counter(*stored);
    if (!counter) return std::unexpected(fault(MessagingError::Kind::CorruptMetadata));
    offset = *counter;
  }
  if (offset == kMaxOffset) return std::unexpected(fault(MessagingError::Kind::OffsetExhausted));
  auto value = encode_stream_entry(payload);
  if (!value) return std::unexpected(value.error());
  std::string key = entry_key(keys.entry_prefix, offset);
  // Entries are never rewritten: a counter that lags behind the entries
  // (a damaged file) must not make this append replace one.
  if (get(key)) return std::unexpected(fault(MessagingError::Kind::CorruptMetadata));
  return PlannedAppend{offset, std::move(key), std::move(*value)};
}

std::expected<void, engine::EngineError> write_append(engine::Transaction& tx, const StreamKeys& keys,
                                                      const PlannedAppend& append) {
  if (auto put = tx.put_internal(keys.next, encode_counter(append.offset + 1)); !put) return put;
  return tx.put_internal(append.entry_key, append.entry_value);
}

}  // namespace

std::expected<std::string, MessagingError> encode_stream_entry(std::string_view payload) {
  if (!component_fits(payload)) return std::unexpected(fault(MessagingError::Kind::PayloadTooLarge));
  std::string out;
  out.reserve(kEntryFixedBytes + payload.size());
  ByteWriter writer(out);
  writer.u8(kEntryFormatVersion);
  writer.field_le(payload);
  return out;
}

std::optional<uint64_t> decode_stream_counter(std::string_view value) {
  ByteReader reader(value);
  auto counter = reader.u64_le();
  if (!counter || !reader.at_end()) return std::nullopt;
  return counter;
}

std::expected<std::string, MessagingError> decode_stream_entry(std::string_view bytes) {
  ByteReader reader(bytes);
  auto version = reader.u8();
  if (!version || *version != kEntryFormatVersion) return std::unexpected(fault(MessagingError::Kind::CorruptEntry));
  auto payload = reader.field_le();
  if (!payload || !reader.at_end()) return std::unexpected(fault(MessagingError::Kind::CorruptEntry));
  return std::string(*payload);
}

std::optional<StreamKeys> stream_keys(std::string_view name) {
  auto base = tuple_key(kStreamPrefix, {name});
  if (!base) return std::nullopt;
  StreamKeys keys{*base, std::move(*base)};
  keys.next.append(kNextSuffix);
  keys.entry_prefix.append(kEntrySuffix);
  return keys;
}

std::optional<std::string> subscription_cursor_key(std::string_view topic, std::string_view subscription) {
  return tuple_key(kSubscriptionPrefix, {topic, subscription});
}

std::optional<std::string> subscription_cursors_prefix(std::string_view topic) {
  return tuple_key(kSubscriptionPrefix, {topic});
}

// ---- Stream ----

std::expected<Stream, MessagingError> Stream::open(engine::Store& store, std::string_view name) {
  if (auto checked = check_name(name); !checked) return std::unexpected(checked.error());
  auto keys = stream_keys(name);
  if (!keys) return std::unexpected(fault(MessagingError::Kind::NameTooLong));
  return Stream(store, std::move(*keys));
}

std::expected<uint64_t, MessagingError> Stream::append(std::string_view payload) {
  // Planned on the committed store before a transaction id is taken.
  auto append = plan_append(keys_, payload, [&](std::string_view key) { return store_->get(key); });
  if (!append) return std::unexpected(append.error());
  auto tx = store_->begin();
  if (!tx) return std::unexpected(MessagingError::engine(tx.error()));
  if (auto written = write_append(*tx, keys_, *append); !written) {
    return std::unexpected(MessagingError::engine(written.error()));
  }
  if (auto committed = tx->commit(); !committed) return std::unexpected(MessagingError::engine(committed.error()));
  return append->offset;
}

std::expected<std::vector<StreamEntry>, MessagingError> Stream::read_from(uint64_t start, uint64_t limit) const {
  std::vector<StreamEntry> out;
  if (limit == 0) return out;
  // Entry keys sort by offset, so a read from a later offset seeks straight
  // to it instead of walking every earlier entry; a read from 0 walks the
  // whole prefix, malformed keys included.
  const std::string& prefix = keys_.entry_prefix;
  auto range = store_->prefix_range(prefix);
  auto it = range.first;
  if (start > 0) it = store_->live().lower_bound(std::string_view(entry_key(prefix, start)));
  for (; it != range.last; ++it) {
    const BytesView key = it->first;
    ByteReader reader(BytesView(key).substr(prefix.size()));
    const std::optional<uint64_t> offset = reader.u64_be();
    if (!offset || !reader.at_end()) return std::unexpected(fault(MessagingError::Kind::CorruptMetadata));
    auto payload = decode_stream_entry(it->second);
    if (!payload) return std::unexpected(payload.error());
    out.push_back(StreamEntry{*offset, std::move(*payload)});
    if (out.size() >= limit) break;
  }
  return out;
}

std::expected<std::optional<uint64_t>, MessagingError> Stream::tail_offset() const {
  auto next = read_counter(*store_, keys_.next);
  if (!next) return std::unexpected(next.error());
  if (*next == 0) return std::optional<uint64_t>{};
  return std::optional<uint64_t>{*next - 1};
}

// ---- Topic ----

std::expected<Topic, MessagingError> Topic::open(engine::Store& store, std::string_view name) {
  auto stream = Stream::open(store, name);
  if (!stream) return std::unexpected(stream.error());
  return Topic(std::move(*stream), std::string(name));
}

std::expected<std::string, MessagingError> Topic::cursor_key(std::string_view subscription) const {
  if (auto checked = check_name(subscription); !checked) return std::unexpected(checked.error());
  auto key = subscription_cursor_key(name_, subscription);
  if (!key) return std::unexpected(fault(MessagingError::Kind::NameTooLong));
  return std::move(*key);
}

std::expected<std::vector<StreamEntry>, MessagingError> Topic::poll(std::string_view subscription,
                                                                    uint64_t limit) const {
  auto cursor = subscription_state(subscription);
  if (!cursor) return std::unexpected(cursor.error());
  return stream_.read_from(*cursor, limit);
}

std::expected<uint64_t, MessagingError> Topic::acknowledge_through(std::string_view subscription, uint64_t offset) {
  auto key = cursor_key(subscription);
  if (!key) return std::unexpected(key.error());
  if (offset == kMaxOffset) return std::unexpected(fault(MessagingError::Kind::OffsetExhausted));
  auto cursor = read_counter(stream_.store(), *key);
  if (!cursor) return std::unexpected(cursor.error());
  const uint64_t next = offset + 1;
  if (next < *cursor) return std::unexpected(MessagingError::of(MessagingError::Kind::CursorRegression, *cursor, next));
  if (auto put = stream_.store().put_internal(*key, encode_counter(next)); !put) {
    return std::unexpected(MessagingError::engine(put.error()));
  }
  return next;
}

std::expected<void, MessagingError> Topic::reset_subscription(std::string_view subscription, uint64_t next_offset) {
  auto key = cursor_key(subscription);
  if (!key) return std::unexpected(key.error());
  if (auto put = stream_.store().put_internal(*key, encode_counter(next_offset)); !put) {
    return std::unexpected(MessagingError::engine(put.error()));
  }
  return {};
}

std::expected<uint64_t, MessagingError> Topic::subscription_state(std::string_view subscription) const {
  auto key = cursor_key(subscription);
  if (!key) return std::unexpected(key.error());
  return read_counter(stream_.store(), *key);
}

// ---- inside a caller's transaction ----

std::expected<uint64_t, engine::DomainTransactionError> append_stream(engine::Transaction& tx, std::string_view name,
                                                                      std::string_view payload) {
  using Error = engine::DomainTransactionError;
  using Kind = Error::Kind;
  if (name.empty()) return std::unexpected(Error::of(Kind::EmptyName));
  auto keys = stream_keys(name);
  if (!keys) return std::unexpected(Error::of(Kind::NameTooLong));
  auto append = plan_append(*keys, payload, [&](std::string_view key) { return tx.get_internal(key); });
  if (!append) {
    switch (append.error().kind()) {
      case MessagingError::Kind::OffsetExhausted:
        return std::unexpected(Error::of(Kind::Exhausted));
      case MessagingError::Kind::PayloadTooLarge:
        return std::unexpected(Error::of(Kind::PayloadTooLarge));
      default:  // the counter, or an entry already where the counter points
        return std::unexpected(Error::of(Kind::CorruptMetadata));
    }
  }
  if (auto written = write_append(tx, *keys, *append); !written) {
    return std::unexpected(Error::engine(written.error()));
  }
  return append->offset;
}

}  // namespace ombrel::messaging
