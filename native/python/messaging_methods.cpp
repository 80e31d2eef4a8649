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
#include "python/store_slot.h"

namespace ombrel::python {
namespace {

using Args = std::span<PyObject* const>;
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
  static constexpr Param kParams[] = {{"name"}, {"payload"}};
  static constexpr const char* kDoc =
      "Append `payload` to the stream `name` and return the new entry's offset.\n\n"
      "Offsets are consecutive from 0. A stream and a topic of the same name are one log.";

  static PyObject* call(PyObject* self, Args args) {
    auto name = bytes_arg(args[0], "name");
    if (!name) return nullptr;
    auto payload = bytes_arg(args[1], "payload");
    if (!payload) return nullptr;
    return with_stream(self, *name, [&](messaging::Stream& stream, const ModuleState& state) {
      return offset_result(state, stream.append(*payload));
    });
  }
};

struct ReadStream {
  static constexpr const char* kName = "read_stream";
  static constexpr Param kParams[] = {{"name"}, {"offset", "0"}, {"limit", "100"}};
  static constexpr const char* kDoc =
      "Return up to `limit` entries of the stream `name` from `offset` on, as (offset, payload)\n"
      "tuples in ascending order. Past the tail, or with a limit of 0, the list is empty.";

  static PyObject* call(PyObject* self, Args args) {
    auto name = bytes_arg(args[0], "name");
    if (!name) return nullptr;
    auto offset = u64_arg(args[1], "offset", 0);
    if (!offset) return nullptr;
    auto limit = u64_arg(args[2], "limit", 100);
    if (!limit) return nullptr;
    return with_stream(self, *name, [&](messaging::Stream& stream, const ModuleState& state) {
      return entries_result(state, stream.read_from(*offset, *limit));
    });
  }
};

struct StreamTailOffset {
  static constexpr const char* kName = "stream_tail_offset";
  static constexpr Param kParams[] = {{"name"}};
  static constexpr const char* kDoc =
      "Return the offset of the last entry of the stream `name`, or None while it is empty.";

  static PyObject* call(PyObject* self, Args args) {
    auto name = bytes_arg(args[0], "name");
    if (!name) return nullptr;
    return with_stream(self, *name, [&](messaging::Stream& stream, const ModuleState& state) -> PyObject* {
      auto tail = stream.tail_offset();
      if (!tail) return map_messaging_error(state, tail.error());
      return optional_int_result(*tail);
    });
  }
};

struct PublishTopic {
  static constexpr const char* kName = "publish_topic";
  static constexpr Param kParams[] = {{"name"}, {"payload"}};
  static constexpr const char* kDoc =
      "Publish `payload` on the topic `name` and return the new entry's offset\n"
      "(the topic's log is the stream of the same name).";

  static PyObject* call(PyObject* self, Args args) {
    auto name = bytes_arg(args[0], "name");
    if (!name) return nullptr;
    auto payload = bytes_arg(args[1], "payload");
    if (!payload) return nullptr;
    return with_topic(self, *name, [&](messaging::Topic& topic, const ModuleState& state) {
      return offset_result(state, topic.publish(*payload));
    });
  }
};

struct ReadTopic {
  static constexpr const char* kName = "read_topic";
  static constexpr Param kParams[] = {{"name"}, {"offset", "0"}, {"limit", "100"}};
  static constexpr const char* kDoc =
      "Return up to `limit` entries of the topic `name` from `offset` on, as (offset, payload)\n"
      "tuples in ascending order; no subscription cursor is read or moved.";

  static PyObject* call(PyObject* self, Args args) {
    auto name = bytes_arg(args[0], "name");
    if (!name) return nullptr;
    auto offset = u64_arg(args[1], "offset", 0);
    if (!offset) return nullptr;
    auto limit = u64_arg(args[2], "limit", 100);
    if (!limit) return nullptr;
    return with_topic(self, *name, [&](messaging::Topic& topic, const ModuleState& state) {
      return entries_result(state, topic.read_from(*offset, *limit));
    });
  }
};

struct PollTopic {
  static constexpr const char* kName = "poll_topic";
  static constexpr Param kParams[] = {{"topic"}, {"subscription"}, {"limit", "100"}};
  static constexpr const char* kDoc =
      "Return up to `limit` entries of `topic` from the cursor of `subscription` on, as\n"
      "(offset, payload) tuples. Polling does not move the cursor: acknowledge_topic_through does.";

  static PyObject* call(PyObject* self, Args args) {
    auto topic_name = bytes_arg(args[0], "topic");
    if (!topic_name) return nullptr;
    auto subscription = bytes_arg(args[1], "subscription");
    if (!subscription) return nullptr;
    auto limit = u64_arg(args[2], "limit", 100);
    if (!limit) return nullptr;
    return with_topic(self, *topic_name, [&](messaging::Topic& topic, const ModuleState& state) {
      return entries_result(state, topic.poll(*subscription, *limit));
    });
  }
};

struct AcknowledgeTopicThrough {
  static constexpr const char* kName = "acknowledge_topic_through";
  static constexpr Param kParams[] = {{"topic"}, {"subscription"}, {"offset"}};
  static constexpr const char* kDoc =
      "Acknowledge every entry of `topic` up to and including `offset` for `subscription`, and\n"
      "return the new cursor, offset + 1. The cursor never moves back: an offset below the\n"
      "acknowledged ones raises OmbrelStoreError; acknowledging the last one again is accepted.";

  static PyObject* call(PyObject* self, Args args) {
    auto topic_name = bytes_arg(args[0], "topic");
    if (!topic_name) return nullptr;
    auto subscription = bytes_arg(args[1], "subscription");
    if (!subscription) return nullptr;
    auto offset = u64_arg(args[2], "offset");
    if (!offset) return nullptr;
    return with_topic(self, *topic_name, [&](messaging::Topic& topic, const ModuleState& state) {
      return offset_result(state, topic.acknowledge_through(*subscription, *offset));
    });
  }
};

struct ResetTopicSubscription {
  static constexpr const char* kName = "reset_topic_subscription";
  static constexpr Param kParams[] = {{"topic"}, {"subscription"}, {"next_offset"}};
  static constexpr const char* kDoc =
      "Set the cursor of `subscription` on `topic` to `next_offset`, backwards or forwards\n"
      "(even past the tail); the next poll starts there.";

  static PyObject* call(PyObject* self, Args args) {
    auto topic_name = bytes_arg(args[0], "topic");
    if (!topic_name) return nullptr;
    auto subscription = bytes_arg(args[1], "subscription");
    if (!subscription) return nullptr;
    auto next_offset = u64_arg(args[2], "next_offset");
    if (!next_offset) return nullptr;
    return with_topic(self, *topic_name, [&](messaging::Topic& topic, const ModuleState& state) -> PyObject* {
      auto reset = topic.reset_subscription(*subscription, *next_offset);
      if (!reset) return map_messaging_error(state, reset.error());
      Py_RETURN_NONE;
    });
  }
};

struct TopicSubscriptionOffset {
  static constexpr const char* kName = "topic_subscription_offset";
  static constexpr Param kParams[] = {{"topic"}, {"subscription"}};
  static constexpr const char* kDoc =
      "Return the cursor of `subscription` on `topic`: the next offset it has not acknowledged\n"
      "(0 for a subscription never used).";

  static PyObject* call(PyObject* self, Args args) {
    auto topic_name = bytes_arg(args[0], "topic");
    if (!topic_name) return nullptr;
    auto subscription = bytes_arg(args[1], "subscription");
    if (!subscription) return nullptr;
    return with_topic(self, *topic_name, [&](messaging::Topic& topic, const ModuleState& state) {
      return offset_result(state, topic.subscription_state(*subscription));
    });
  }
};

struct TrimStream {
  static constexpr const char* kName = "trim_stream";
  static constexpr Param kParams[] = {{"name"}, {"before_offset"}, Param::keyword("force", "False")};
  static constexpr const char* kDoc =
      "Delete the entries of the stream `name` below `before_offset` in one transaction and return\n"
      "how many were deleted.\n\n"
      "Entries that a reader has yet to take stay unless `force` is true: nothing at or past the\n"
      "cursor of a subscription of the topic of the same name, or the position of a consumer group\n"
      "of the stream, is deleted. Offsets are never reused and the tail stays; a read, poll or\n"
      "claim from a trimmed offset starts at the first entry kept.";

  static PyObject* call(PyObject* self, Args args) {
    auto name = bytes_arg(args[0], "name");
    if (!name) return nullptr;
    auto before_offset = u64_arg(args[1], "before_offset");
    if (!before_offset) return nullptr;
    auto force = bool_arg(args[2], "force", false);
    if (!force) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) {
      return offset_result(state, messaging::trim_stream(store, *name, *before_offset, *force));
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

}  // namespace
}  // namespace ombrel::python
