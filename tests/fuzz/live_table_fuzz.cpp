// Any bytes as a sequence of live table operations, each checked against
// std::map as it runs, with the whole order compared at the end.
//
// Input: operations until the end, each an opcode byte (low 4 bits pick the
// operation) followed by what it takes:
//   0 insert_or_assign  key, value        5 append (any key order)   key, value
//   1 exchange (view)   key, value        6 find and lower_bound     key
//   2 exchange (block)  key, value        7 many ascending keys      key, count u8
//   3 erase             key               8 erase a run from a key   key, count u8
//   4 extract           key               9+ full comparison
// A key is a length byte and that many bytes; a length byte of 250 or more
// repeats the next byte (length - 245) * 64 times instead, past the inline
// key limit. A value is a size-class byte (0 empty, 1-200 that many bytes,
// above: 300 or 5000 bytes) filled from the opcode.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "engine/live_table.h"
#include "fuzz_check.h"

using ombrel::engine::LiveTable;
using ombrel::engine::ValueBlock;

namespace {

struct Input {
  std::string_view bytes;
  size_t at = 0;
  bool done() const { return at >= bytes.size(); }
  uint8_t byte() { return done() ? 0 : static_cast<uint8_t>(bytes[at++]); }
  std::string key() {
    const uint8_t length = byte();
    if (length >= 250) return std::string(static_cast<size_t>(length - 245) * 64, static_cast<char>(byte()));
    std::string k;
    for (uint8_t i = 0; i < length && !done(); ++i) k.push_back(static_cast<char>(byte()));
    return k;
  }
  std::string value(uint8_t fill) {
    const uint8_t size_class = byte();
    const size_t size = size_class <= 200 ? size_class : size_class < 228 ? 300 : 5000;
    return std::string(size, static_cast<char>(fill));
  }
};

void check_all(const LiveTable& table, const std::map<std::string, std::string>& model) {
  FUZZ_CHECK(table.size() == model.size());
  auto it = table.begin();
  for (const auto& [key, value] : model) {
    FUZZ_CHECK(it != table.end() && it->first == key && it->second == value);
    ++it;
  }
  FUZZ_CHECK(it == table.end());
  for (auto back = model.rbegin(); back != model.rend(); ++back) FUZZ_CHECK((*--it).first == back->first);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{std::string_view(reinterpret_cast<const char*>(data), size)};
  LiveTable table;
  std::map<std::string, std::string> model;
  while (!in.done()) {
    const uint8_t opcode = in.byte();
    const uint8_t op = opcode & 0x0F;
    if (op <= 2 || op == 5) {
      const std::string key = in.key();
      const std::string value = in.value(static_cast<char>(opcode));
      auto had = model.find(key);
      const bool existed = had != model.end();
      const std::string before = existed ? had->second : std::string();
      if (op == 0) {
        FUZZ_CHECK(table.insert_or_assign(key, value) == !existed);
      } else if (op == 5) {
        table.append(key, value);
      } else {
        auto replaced = op == 1 ? table.exchange(key, value) : table.exchange(key, ValueBlock(value));
        FUZZ_CHECK(replaced.has_value() == existed);
        if (replaced) FUZZ_CHECK(replaced->view() == before);
      }
      model[key] = value;
    } else if (op == 3 || op == 4) {
      const std::string key = in.key();
      auto had = model.find(key);
      if (op == 3) {
        FUZZ_CHECK(table.erase(key) == (had != model.end()));
      } else {
        auto taken = table.extract(key);
        FUZZ_CHECK(taken.has_value() == (had != model.end()));
        if (taken) FUZZ_CHECK(taken->view() == had->second);
      }
      if (had != model.end()) model.erase(had);
    } else if (op == 6) {
      const std::string key = in.key();
      auto found = table.find(key);
      auto expected = model.find(key);
      FUZZ_CHECK((found == table.end()) == (expected == model.end()));
      if (expected != model.end()) FUZZ_CHECK(found->second == expected->second);
      auto lower = table.lower_bound(key);
      auto expected_lower = model.lower_bound(key);
      FUZZ_CHECK((lower == table.end()) == (expected_lower == model.end()));
      if (expected_lower != model.end()) FUZZ_CHECK(lower->first == expected_lower->first);
    } else if (op == 7) {
      const std::string base = in.key();
      const unsigned count = in.byte() * 4u;
      for (unsigned i = 0; i < count; ++i) {
        std::string key = base;
        key.push_back(static_cast<char>(i >> 8));
        key.push_back(static_cast<char>(i));
        const std::string value(i % 150, static_cast<char>(i));
        table.append(key, value);
        model[key] = value;
      }
    } else if (op == 8) {
      const std::string from = in.key();
      unsigned count = in.byte() * 4u;
      for (auto it = model.lower_bound(from); it != model.end() && count-- > 0;) {
        FUZZ_CHECK(table.erase(it->first));
        it = model.erase(it);
      }
    } else {
      check_all(table, model);
    }
  }
  check_all(table, model);
  return 0;
}
