// Any bytes as a sequence of messaging operations on a fresh store: queue
// pushes, claims, settlements and purges; RPC submissions, answers, expiries
// and acknowledgements; outbox emits and acknowledgements; the same writes
// inside transactions that commit or are dropped; and raw writes of any bytes
// under the watched keys (damaged records, misshapen keys). After every step
// the store's queue, outbox and RPC indexes equal a rebuild from the live
// table, and answer every clock as the rebuild does.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "engine/store.h"
#include "engine/transaction.h"
#include "fuzz_check.h"
#include "messaging/outbox.h"
#include "messaging/outbox_index.h"
#include "messaging/queue.h"
#include "messaging/queue_index.h"
#include "messaging/rpc.h"
#include "messaging/rpc_index.h"
#include "util/byte_codec.h"

using namespace ombrel;
using namespace ombrel::messaging;

namespace {

constexpr std::array<std::string_view, 2> kQueueNames{"a", "ab"};

template <class Index>
Index rebuilt(const engine::Store& store) {
  Index index;
  for (std::string_view prefix : Index::kPrefixes)
    for (const auto& [key, value] : store.prefix_range(prefix)) index.apply(key, std::nullopt, value);
  return index;
}

const std::string& store_path() {
  static const std::string path = [] {
    auto dir = std::filesystem::temp_directory_path() / ("ombrel-messaging-index-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return (dir / "store.omb").string();
  }();
  return path;
}

int64_t small_time(FuzzedDataProvider& in) { return in.ConsumeIntegralInRange<int64_t>(-20, 60); }

// The `n`-th key under `prefix` (wrapping), or nothing when there is none.
std::optional<std::string> some_key(const engine::Store& store, std::string_view prefix, size_t n) {
  auto range = store.prefix_range(prefix);
  const auto count = static_cast<size_t>(std::distance(range.first, range.last));
  if (count == 0) return std::nullopt;
  auto it = range.first;
  std::advance(it, n % count);
  return std::string(it->first);
}

std::optional<MessageId> some_id(const engine::Store& store, std::string_view prefix, size_t n) {
  auto key = some_key(store, prefix, n);
  if (!key) return std::nullopt;
  return message_id_of_key(*key, prefix.size());
}

// A key under one of the watched prefixes: well formed or not.
std::string raw_key(FuzzedDataProvider& in, const Queue& queue) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return queue.message_key(in.ConsumeIntegralInRange<uint64_t>(0, 6));
    case 1:
      return queue.message_prefix() + in.ConsumeRandomLengthString(10);
    case 2: {
      Nonce nonce{};
      nonce[0] = in.ConsumeIntegral<uint8_t>();
      return (in.ConsumeBool() ? request_key : event_key)(in.ConsumeIntegralInRange<uint64_t>(0, 6), nonce);
    }
    default:
      return std::string(in.ConsumeBool() ? kRpcRequestPrefix : kOutboxEventPrefix) + in.ConsumeRandomLengthString(30);
  }
}

// A value for `key`: any bytes, or a well-formed record that may name another id.
std::string raw_value(FuzzedDataProvider& in, std::string_view key) {
  if (in.ConsumeBool()) return in.ConsumeRandomLengthString(60);
  const bool own_id = in.ConsumeBool();
  if (key.starts_with(kQueuePrefix)) {
    auto parts = parse_message_key(key);
    QueueMessage message{static_cast<MessageState>(in.ConsumeIntegralInRange(0, 2)),
                         parts && parts->id && own_id ? *parts->id : in.ConsumeIntegralInRange<uint64_t>(0, 6),
                         in.ConsumeIntegralInRange<uint32_t>(0, 3),
                         in.ConsumeIntegralInRange<int32_t>(-2, 2),
                         small_time(in),
                         small_time(in),
                         "p"};
    return *encode_message(message);
  }
  auto id =
      message_id_of_key(key, key.starts_with(kRpcRequestPrefix) ? kRpcRequestPrefix.size() : kOutboxEventPrefix.size());
  const MessageId named = id && own_id ? *id : MessageId{in.ConsumeIntegralInRange<uint64_t>(0, 6), Nonce{}};
  if (key.starts_with(kRpcRequestPrefix)) {
    std::optional<int64_t> deadline;
    if (in.ConsumeBool()) deadline = small_time(in);
    return *encode_request(RpcRequest{"m", "p", deadline, 0, named.tx_id, named.nonce});
  }
  return *encode_event(OutboxEvent{"t", "p", named.nonce, named.tx_id, 0});
}

void step(FuzzedDataProvider& in, engine::Store& store) {
  const std::string_view name = kQueueNames[in.ConsumeIntegralInRange<size_t>(0, kQueueNames.size() - 1)];
  Queue queue = *Queue::open(store, name);
  switch (in.ConsumeIntegralInRange(0, 11)) {
    case 0:
      (void)queue.push_with_options("p", small_time(in), in.ConsumeIntegralInRange<int32_t>(-2, 2));
      break;
    case 1:
      (void)queue.claim(small_time(in), in.ConsumeIntegralInRange<int64_t>(0, 30));
      break;
    case 2: {
      auto key = some_key(store, queue.message_prefix(), in.ConsumeIntegral<uint8_t>());
      auto parts = key ? parse_message_key(*key) : std::nullopt;
      if (!parts || !parts->id) break;
      const auto generation = in.ConsumeIntegralInRange<uint32_t>(0, 3);
      switch (in.ConsumeIntegralInRange(0, 2)) {
        case 0:
          (void)queue.ack(*parts->id, generation);
          break;
        case 1:
          (void)queue.nack(*parts->id, generation, small_time(in));
          break;
        default:
          (void)queue.dead_letter(*parts->id, generation);
      }
      break;
    }
    case 3:
      (void)queue.purge_dead();
      break;
    case 4: {
      std::optional<int64_t> deadline;
      if (in.ConsumeBool()) deadline = small_time(in);
      (void)submit_rpc_request(store, "m", "p", 0, deadline);
      break;
    }
    case 5:
      if (auto id = some_id(store, kRpcRequestPrefix, in.ConsumeIntegral<uint8_t>()))
        (void)respond_rpc(store, *id, "r", 0, false);
      break;
    case 6:
      (void)expire_rpc_requests(store, small_time(in), in.ConsumeIntegralInRange<uint64_t>(0, 3));
      break;
    case 7:
      if (auto id = some_id(store, kRpcResponsePrefix, in.ConsumeIntegral<uint8_t>()))
        (void)ack_rpc_response(store, *id);
      break;
    case 8:
      (void)emit_outbox_event(store, "t", "p", 0);
      break;
    case 9:
      if (auto id = some_id(store, kOutboxEventPrefix, in.ConsumeIntegral<uint8_t>()))
        (void)ack_outbox_event(store, id->tx_id, id->nonce);
      break;
    case 10: {
      auto tx = store.begin();
      if (!tx) break;
      const int writes = in.ConsumeIntegralInRange(1, 3);
      for (int i = 0; i < writes; ++i) {
        switch (in.ConsumeIntegralInRange(0, 2)) {
          case 0:
            (void)push_queue(*tx, name, "t", small_time(in), in.ConsumeIntegralInRange<int32_t>(-2, 2));
            break;
          case 1:
            (void)request_rpc(*tx, "m", "t", 0, small_time(in));
            break;
          default:
            (void)emit_event(*tx, "t", "t", 0);
        }
      }
      if (in.ConsumeBool()) (void)tx->commit();  // else dropped: rolled back
      break;
    }
    default: {
      const std::string key = raw_key(in, queue);
      if (in.ConsumeBool()) {
        (void)store.delete_internal(key);
      } else {
        (void)store.put_internal(key, raw_value(in, key));
      }
    }
  }
}

// The store's indexes equal a rebuild, and answer clocks as it does.
void check(FuzzedDataProvider& in, engine::Store& store) {
  QueueIndex& queues = store.derived_index<QueueIndex>();
  QueueIndex queues_again = rebuilt<QueueIndex>(store);
  FUZZ_CHECK(queues == queues_again);
  RpcRequestIndex& requests = store.derived_index<RpcRequestIndex>();
  RpcRequestIndex requests_again = rebuilt<RpcRequestIndex>(store);
  FUZZ_CHECK(requests == requests_again);
  FUZZ_CHECK(store.derived_index<OutboxIndex>() == rebuilt<OutboxIndex>(store));
  FUZZ_CHECK(outbox_len(store) == static_cast<uint64_t>(std::distance(store.prefix_range(kOutboxEventPrefix).first,
                                                                      store.prefix_range(kOutboxEventPrefix).last)));
  const int64_t now = small_time(in);
  for (std::string_view name : kQueueNames) {
    const std::string prefix = Queue::open(store, name)->message_prefix();
    QueueMessages* kept = queues.find(prefix);
    QueueMessages* fresh = queues_again.find(prefix);
    FUZZ_CHECK((kept == nullptr) == (fresh == nullptr));
    if (kept != nullptr) FUZZ_CHECK(kept->claim_candidate(now) == fresh->claim_candidate(now));
  }
  FUZZ_CHECK(requests.deadlines().due_at(now) == requests_again.deadlines().due_at(now));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  std::filesystem::remove(store_path());
  engine::StoreOptions options;
  options.durability = engine::Durability::Relaxed;
  auto opened = engine::Store::open_with_options(store_path(), options);
  FUZZ_CHECK(opened.has_value());
  engine::Store& store = **opened;
  // Built before the first step or after some, so that both ways are tried.
  if (in.ConsumeBool()) check(in, store);
  while (in.remaining_bytes() > 0) {
    step(in, store);
    check(in, store);
  }
  return 0;
}
