// Replay puts committed operations in key order before building the table;
// whatever the keys look like (shared prefixes of any length, zero bytes,
// keys that are prefixes of others) and however transactions interleave, the
// table must equal applying every committed transaction in log order.
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/log_record.h"
#include "engine/recovery.h"
#include "native_check.h"

using namespace ombrel::engine;

namespace {

std::mt19937_64 rng(7);

size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }

// Keys that tie on whole 8-byte chunks, end inside or at chunk edges, and
// differ only by trailing zero bytes.
std::string key_of(size_t shared) {
  std::string key(shared, 'k');
  const size_t tail = below(12);
  for (size_t i = 0; i < tail; ++i) key.push_back(below(3) == 0 ? '\0' : static_cast<char>('a' + below(3)));
  return key;
}

struct Op {
  bool put;
  std::string key, value;
};

void check_replay(size_t shared, size_t transactions) {
  std::string log;
  std::map<uint64_t, std::vector<Op>> open;
  std::map<std::string, std::string> model;
  uint64_t sequence = 0;
  uint64_t next_tx = 1;
  for (size_t step = 0; step < transactions * 6; ++step) {
    if (open.size() < 4 || below(3) == 0) open[next_tx++];
    auto tx = std::next(open.begin(), static_cast<ptrdiff_t>(below(open.size())));
    if (below(5) == 0) {  // commit: its operations apply in their order
      for (const Op& op : tx->second) {
        if (op.put)
          model[op.key] = op.value;
        else
          model.erase(op.key);
      }
      CHECK(encode_record_into(log, RecordKind::Commit, tx->first, ++sequence, {}).has_value());
      open.erase(tx);
      continue;
    }
    Op op{below(4) != 0, key_of(shared), std::to_string(step)};
    CHECK(encode_operation_record_into(log, op.put ? RecordKind::Put : RecordKind::Delete, tx->first, ++sequence,
                                       op.key, op.put ? op.value : std::string())
              .has_value());
    tx->second.push_back(std::move(op));
  }
  auto state = recover_log(log);
  CHECK(state.has_value());
  if (!state) return;
  CHECK(state->live.size() == model.size());
  auto it = state->live.begin();
  for (const auto& [key, value] : model) {
    if (it == state->live.end()) break;
    CHECK(it->first == key && it->second == value);
    ++it;
  }
}

}  // namespace

int main() {
  for (size_t shared : {0, 3, 8, 16, 21}) check_replay(shared, 3000);
  return native_check::finish("replay_order_test");
}
