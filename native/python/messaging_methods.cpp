// Stream and topic methods of Store: append, read, tail and trim of a
// stream; publish and read of a topic; poll, acknowledge, reset and read the
// cursor of a topic subscription.
//
// Contract: entries are returned as lists of (offset, payload) tuples in
// ascending offset order. Every MessagingError is raised as OmbrelStoreError
// with its own display text.
#include <span>
#include <string_view>
#include <vector>

#include "engine/store.h"
#include "messaging/stream.h"
#include "messaging/stream_retention.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/method_registry.h"
#include "python/operation.h"
#include "python/store_slot.h"

namespace ombrel::python {
namespace {

using messaging::MessagingError;
using messaging::StreamEntry;

PyObject* map_messaging_error(const ModuleState& state, const MessagingError& error) {
  return raise_domain_error(state, error.message());
}

PyObject* entry_tuple(const StreamEntry& entry) {
  return tuple_result({int_result(entry.offset), bytes_result(entry.payload)});
}

PyObject* entries_result(const ModuleState& state,
                         const std::expected<std::vector<StreamEntry>, MessagingError>& entries) {
  if (!entries) return map_messaging_error(state, entries.error());
  return list_result(*entries, entry_tuple);
}

PyObject* offset_result(const ModuleState& state, const std::expected<uint64_t, MessagingError>& offset) {
  if (!offset) return map_messaging_error(state, offset.error());
  return int_result(*offset);
}

// Runs fn(Stream&) on the stream `name` of the open store.
template <class Fn>
PyObject* with_stream(PyObject* self, std::string_view name, Fn&& fn) {
  return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
    auto stream = messaging::Stream::open(store, name);
    if (!stream) return map_messaging_error(state, stream.error());
    return fn(*stream, state);
  });
}

template <class Fn>
PyObject* with_topic(PyObject* self, std::string_view name, Fn&& fn) {
  return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
    auto topic = messaging::Topic::open(store, name);
    if (!topic) return map_messaging_error(state, topic.error());
    return fn(*topic, state);
  });
}

struct AppendStream {
  static constexpr const char* kName = "append_stream";
  std::string_view name;
  std::string_view payload;
  static constexpr auto kParams = params(param("name", &AppendStream::name), param("payload", &AppendStream::payload));
  static constexpr const char* kDoc =
      "Append `payload` to the stream `name` and return the new entry's offset.\n\n"
      "Offsets are consecutive from 0. A stream and a topic of the same name are one log.";

  PyObject* call(PyObject* self) const {
    return with_stream(self, name, [&](messaging::Stream& stream, const ModuleState& state) {
      return offset_result(state, stream.append(payload));
    });
  }
};

// The Transaction's append_stream and publish_topic: a topic is a stream
// under another name, only the result's kind differs. Their faults are worded
// as every transactional domain write (engine/transaction_domains.h).
template <bool kTopic>
struct StageAppend {
  static constexpr const char* kName = kTopic ? "publish_topic" : "append_stream";
  std::string name;
  std::string payload;
  static constexpr auto kParams =
      params(param(kTopic ? "topic" : "stream", &StageAppend::name), param("payload", &StageAppend::payload));
  static constexpr const char* kStagedDoc =
      kTopic ? "Stage a publication of `payload` on `topic` (the stream of that name) and return the\n"
               "operation's position. Its result is {\"kind\": \"topic\", \"offset\": <entry offset>}."
             : "Stage an append of `payload` to `stream` and return the operation's position. Its result is\n"
               "{\"kind\": \"stream\", \"offset\": <entry offset>}; appends in one transaction take\n"
               "consecutive offsets.";

  auto run(engine::Transaction& tx) const { return messaging::append_stream(tx, name, payload); }
  static std::optional<OperationResult> staged_result(uint64_t offset) {
    return OperationResult(kTopic ? "topic" : "stream", {{"offset", offset}});
  }
};

struct ReadStream {
  static constexpr const char* kName = "read_stream";
  std::string_view name;
  uint64_t offset;
  uint64_t limit;
  static constexpr auto kParams = params(param("name", &ReadStream::name), param("offset", &ReadStream::offset, 0),
                                         param("limit", &ReadStream::limit, 100));
  static constexpr const char* kDoc =
      "Return up to `limit` entries of the stream `name` from `offset` on, as (offset, payload)\n"
      "tuples in ascending order. Past the tail, or with a limit of 0, the list is empty.";

  PyObject* call(PyObject* self) const {
    return with_stream(self, name, [&](messaging::Stream& stream, const ModuleState& state) {
      return entries_result(state, stream.read_from(offset, limit));
    });
  }
};

struct StreamTailOffset {
  static constexpr const char* kName = "stream_tail_offset";
  std::string_view name;
  static constexpr auto kParams = params(param("name", &StreamTailOffset::name));
  static constexpr const char* kDoc =
      "Return the offset of the last entry of the stream `name`, or None while it is empty.";

  PyObject* call(PyObject* self) const {
    return with_stream(self, name, [&](messaging::Stream& stream, const ModuleState& state) -> PyObject* {
      auto tail = stream.tail_offset();
      if (!tail) return map_messaging_error(state, tail.error());
      return optional_int_result(*tail);
    });
  }
};

struct PublishTopic {
  static constexpr const char* kName = "publish_topic";
  std::string_view name;
  std::string_view payload;
  static constexpr auto kParams = params(param("name", &PublishTopic::name), param("payload", &PublishTopic::payload));
  static constexpr const char* kDoc =
      "Publish `payload` on the topic `name` and return the new entry's offset\n"
      "(the topic's log is the stream of the same name).";

  PyObject* call(PyObject* self) const {
    return with_topic(self, name, [&](messaging::Topic& topic, const ModuleState& state) {
      return offset_result(state, topic.publish(payload));
    });
  }
};

struct ReadTopic {
  static constexpr const char* kName = "read_topic";
  std::string_view name;
  uint64_t offset;
  uint64_t limit;
  static constexpr auto kParams = params(param("name", &ReadTopic::name), param("offset", &ReadTopic::offset, 0),
                                         param("limit", &ReadTopic::limit, 100));
  static constexpr const char* kDoc =
      "Return up to `limit` entries of the topic `name` from `offset` on, as (offset, payload)\n"
      "tuples in ascending order; no subscription cursor is read or moved.";

  PyObject* call(PyObject* self) const {
    return with_topic(self, name, [&](messaging::Topic& topic, const ModuleState& state) {
      return entries_result(state, topic.read_from(offset, limit));
    });
  }
};

struct PollTopic {
  static constexpr const char* kName = "poll_topic";
  std::string_view topic;
  std::string_view subscription;
  uint64_t limit;
  static constexpr auto kParams =
      params(param("topic", &PollTopic::topic), param("subscription", &PollTopic::subscription),
             param("limit", &PollTopic::limit, 100));
  static constexpr const char* kDoc =
      "Return up to `limit` entries of `topic` from the cursor of `subscription` on, as\n"
      "(offset, payload) tuples. Polling does not move the cursor: acknowledge_topic_through does.";

  PyObject* call(PyObject* self) const {
    return with_topic(self, topic, [&](messaging::Topic& opened, const ModuleState& state) {
      return entries_result(state, opened.poll(subscription, limit));
    });
  }
};

struct AcknowledgeTopicThrough {
  static constexpr const char* kName = "acknowledge_topic_through";
  std::string_view topic;
  std::string_view subscription;
  uint64_t offset;
  static constexpr auto kParams = params(param("topic", &AcknowledgeTopicThrough::topic),
                                         param("subscription", &AcknowledgeTopicThrough::subscription),
                                         param("offset", &AcknowledgeTopicThrough::offset));
  static constexpr const char* kDoc =
      "Acknowledge every entry of `topic` up to and including `offset` for `subscription`, and\n"
      "return the new cursor, offset + 1. The cursor never moves back: an offset below the\n"
      "acknowledged ones raises OmbrelStoreError; acknowledging the last one again is accepted.";

  PyObject* call(PyObject* self) const {
    return with_topic(self, topic, [&](messaging::Topic& opened, const ModuleState& state) {
      return offset_result(state, opened.acknowledge_through(subscription, offset));
    });
  }
};

struct ResetTopicSubscription {
  static constexpr const char* kName = "reset_topic_subscription";
  std::string_view topic;
  std::string_view subscription;
  uint64_t next_offset;
  static constexpr auto kParams = params(param("topic", &ResetTopicSubscription::topic),
                                         param("subscription", &ResetTopicSubscription::subscription),
                                         param("next_offset", &ResetTopicSubscription::next_offset));
  static constexpr const char* kDoc =
      "Set the cursor of `subscription` on `topic` to `next_offset`, backwards or forwards\n"
      "(even past the tail); the next poll starts there.";

  PyObject* call(PyObject* self) const {
    return with_topic(self, topic, [&](messaging::Topic& opened, const ModuleState& state) -> PyObject* {
      auto reset = opened.reset_subscription(subscription, next_offset);
      if (!reset) return map_messaging_error(state, reset.error());
      Py_RETURN_NONE;
    });
  }
};

struct TopicSubscriptionOffset {
  static constexpr const char* kName = "topic_subscription_offset";
  std::string_view topic;
  std::string_view subscription;
  static constexpr auto kParams = params(param("topic", &TopicSubscriptionOffset::topic),
                                         param("subscription", &TopicSubscriptionOffset::subscription));
  static constexpr const char* kDoc =
      "Return the cursor of `subscription` on `topic`: the next offset it has not acknowledged\n"
      "(0 for a subscription never used).";

  PyObject* call(PyObject* self) const {
    return with_topic(self, topic, [&](messaging::Topic& opened, const ModuleState& state) {
      return offset_result(state, opened.subscription_state(subscription));
    });
  }
};

struct TrimStream {
  static constexpr const char* kName = "trim_stream";
  std::string_view name;
  uint64_t before_offset;
  bool force;
  static constexpr auto kParams =
      params(param("name", &TrimStream::name), param("before_offset", &TrimStream::before_offset),
             keyword("force", &TrimStream::force, false));
  static constexpr const char* kDoc =
      "Delete the entries of the stream `name` below `before_offset` in one transaction and return\n"
      "how many were deleted.\n\n"
      "Entries that a reader has yet to take stay unless `force` is true: nothing at or past the\n"
      "cursor of a subscription of the topic of the same name, or the position of a consumer group\n"
      "of the stream, is deleted. Offsets are never reused and the tail stays; a read, poll or\n"
      "claim from a trimmed offset starts at the first entry kept.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) {
      return offset_result(state, messaging::trim_stream(store, name, before_offset, force));
    });
  }
};

constexpr MethodSpec kMessagingMethods[] = {
    method_spec<AppendStream>(),
    method_spec<ReadStream>(),
    method_spec<StreamTailOffset>(),
    method_spec<PublishTopic>(),
    method_spec<ReadTopic>(),
    method_spec<PollTopic>(),
    method_spec<AcknowledgeTopicThrough>(),
    method_spec<ResetTopicSubscription>(),
    method_spec<TopicSubscriptionOffset>(),
    method_spec<TrimStream>(),
};
const MethodBlock kMessagingBlock{TargetClass::Store, kMessagingMethods};

constexpr MethodSpec kMessagingStagingMethods[] = {method_spec<Staged<StageAppend<false>>>(),
                                                   method_spec<Staged<StageAppend<true>>>()};
const MethodBlock kMessagingStagingBlock{TargetClass::Transaction, kMessagingStagingMethods};

}  // namespace
}  // namespace ombrel::python
