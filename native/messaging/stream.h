// Streams, topics and topic subscriptions.
//
// A stream is a named, append-only log of payloads numbered by consecutive
// offsets from 0. A topic is the same log seen through named subscriptions,
// each with a cursor: the next offset it has not acknowledged. Polling reads
// from the cursor without moving it; acknowledging moves it forward only;
// resetting sets it to anything. A topic and a stream of one name are one log.
//
// Keys (C(x) = x's length, u32 big-endian, then its bytes):
//   S = 0xFF "omb:stream:" C(stream name)
//   S ":next"                               next offset, u64 LE (absent: 0)
//   S ":e:" offset u64 BE                    entry value (below)
//   0xFF "omb:sub:" C(topic) C(subscription) cursor, u64 LE (absent: 0)
// A counter or cursor value of another length than 8 is CorruptMetadata, as
// is an entry key that is not S ":e:" followed by exactly 8 bytes.
//
// Entry value (little-endian):
//   offset  width  field
//   0       1      format version, 1
//   1       4      payload length P
//   5       P      payload
// Any other version, or a value of another length than 5 + P, is CorruptEntry.
//
// Every operation reads the committed store and writes, if at all, in one
// engine transaction that it commits; a failed operation changes nothing.
// `append_stream` is the variant for a caller's engine transaction: it reads
// and writes through that transaction (so several appends in one transaction
// get consecutive offsets) and reports DomainTransactionError texts.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/domain_error.h"
#include "engine/errors.h"
#include "engine/key_area.h"
#include "engine/transaction_domains.h"

namespace ombrel::engine {
class Store;
class Transaction;
}  // namespace ombrel::engine

namespace ombrel::messaging {

// Topics share the stream keys: a topic is a stream read through
// subscriptions, whose cursors have an area of their own.
inline constexpr engine::KeyArea kStreamArea{"streams", {"\xFFomb:stream:", 12}};
inline constexpr engine::KeyArea kSubscriptionArea{"subscriptions", {"\xFFomb:sub:", 9}};

struct MessagingErrorTexts {
  enum class Kind : uint8_t {
    Engine,
    EmptyName,
    NameTooLong,
    PayloadTooLarge,
    OffsetExhausted,
    CorruptMetadata,
    CorruptEntry,
    CursorRegression,
  };
  static constexpr auto kTexts = std::to_array<engine::ErrorText<Kind>>({
      {Kind::Engine, "store error: {}"},
      {Kind::EmptyName, "stream/topic/subscription name must not be empty"},
      {Kind::NameTooLong, "stream/topic/subscription name is too long"},
      {Kind::PayloadTooLarge, "stream payload is too large"},
      {Kind::OffsetExhausted, "stream offset exhausted"},
      {Kind::CorruptMetadata, "stream metadata is corrupt"},
      {Kind::CorruptEntry, "stream entry is corrupt or unsupported"},
      {Kind::CursorRegression, "subscription cursor cannot regress from {} to {}"},
  });
};
using MessagingError = engine::DomainError<MessagingErrorTexts>;

struct StreamEntry {
  uint64_t offset = 0;
  std::string payload;
};

// A next-offset counter or cursor value: 8 bytes, u64 LE; nullopt for any
// other length.
std::optional<uint64_t> decode_stream_counter(std::string_view value);

// Entry value codec (layout above); decode yields the payload.
std::expected<std::string, MessagingError> encode_stream_entry(std::string_view payload);
std::expected<std::string, MessagingError> decode_stream_entry(std::string_view bytes);

// The keys of one stream: S ":next" and the entry prefix S ":e:".
struct StreamKeys {
  std::string next;
  std::string entry_prefix;
};

// Key builders (nullopt: a name longer than 2^32 - 1 bytes).
std::optional<StreamKeys> stream_keys(std::string_view name);
std::optional<std::string> subscription_cursor_key(std::string_view topic, std::string_view subscription);
// The prefix of the cursor keys of every subscription of `topic`.
std::optional<std::string> subscription_cursors_prefix(std::string_view topic);

// A handle on one stream of an open store, built per call.
class Stream {
 public:
  // EmptyName / NameTooLong.
  static std::expected<Stream, MessagingError> open(engine::Store& store, std::string_view name);

  // The offset of the new entry.
  std::expected<uint64_t, MessagingError> append(std::string_view payload);
  // Up to `limit` entries from offset `start` on, ascending.
  std::expected<std::vector<StreamEntry>, MessagingError> read_from(uint64_t start, uint64_t limit) const;
  // The offset of the last entry; nullopt for an empty stream.
  std::expected<std::optional<uint64_t>, MessagingError> tail_offset() const;

  engine::Store& store() const { return *store_; }

 private:
  Stream(engine::Store& store, StreamKeys keys) : store_(&store), keys_(std::move(keys)) {}

  engine::Store* store_;
  StreamKeys keys_;
};

// A stream used with subscriptions.
class Topic {
 public:
  static std::expected<Topic, MessagingError> open(engine::Store& store, std::string_view name);

  std::expected<uint64_t, MessagingError> publish(std::string_view payload) { return stream_.append(payload); }
  std::expected<std::vector<StreamEntry>, MessagingError> read_from(uint64_t start, uint64_t limit) const {
    return stream_.read_from(start, limit);
  }
  // Up to `limit` entries from the subscription's cursor; the cursor stays.
  std::expected<std::vector<StreamEntry>, MessagingError> poll(std::string_view subscription, uint64_t limit) const;
  // Moves the cursor to offset + 1 and returns it; refuses to move it back.
  std::expected<uint64_t, MessagingError> acknowledge_through(std::string_view subscription, uint64_t offset);
  // Sets the cursor to `next_offset`, backwards or past the tail alike.
  std::expected<void, MessagingError> reset_subscription(std::string_view subscription, uint64_t next_offset);
  // The cursor; 0 for a subscription never used.
  std::expected<uint64_t, MessagingError> subscription_state(std::string_view subscription) const;

 private:
  Topic(Stream stream, std::string name) : stream_(std::move(stream)), name_(std::move(name)) {}
  std::expected<std::string, MessagingError> cursor_key(std::string_view subscription) const;

  Stream stream_;
  std::string name_;
};

// Appends to stream `name` inside `tx` and returns the new entry's offset.
std::expected<uint64_t, engine::DomainTransactionError> append_stream(engine::Transaction& tx, std::string_view name,
                                                                      std::string_view payload);

}  // namespace ombrel::messaging
