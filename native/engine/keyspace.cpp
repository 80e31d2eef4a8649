#include "engine/keyspace.h"

namespace ombrel::engine {
namespace {

// The bytes at `i` as one UTF-8 sequence: how many bytes it spans and whether
// it is a valid character. An invalid one spans its maximal prefix (at least
// one byte), the unit that a lossy decoder replaces with one U+FFFD.
struct Utf8Step {
  size_t length;
  bool valid;
};

Utf8Step utf8_step(std::string_view bytes, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) return {1, true};
  size_t width = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    width = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    width = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    width = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return {1, false};
  }
  size_t k = 1;
  for (; k < width && i + k < bytes.size(); ++k) {
    const unsigned char b = byte(i + k);
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) break;
  }
  return {k, k == width};
}

// Appends `bytes` as UTF-8 text, replacing each maximal invalid sequence with
// U+FFFD the way a lossy decoder does.
void append_utf8_lossy(std::string& out, std::string_view bytes) {
  static constexpr std::string_view kReplacement{"\xEF\xBF\xBD", 3};
  for (size_t i = 0; i < bytes.size();) {
    const Utf8Step step = utf8_step(bytes, i);
    if (step.valid) {
      out.append(bytes.substr(i, step.length));
    } else {
      out.append(kReplacement);
    }
    i += step.length;
  }
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const Utf8Step step = utf8_step(bytes, i);
    if (!step.valid) return false;
    i += step.length;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  append_utf8_lossy(out, bytes);
  return out;
}

std::string namespace_for_key(std::string_view key) {
  if (!is_internal_key(key)) return "user";
  std::string_view rest = key.substr(kInternalPrefix.size());
  size_t colon = rest.find(':');
  if (colon != std::string_view::npos) rest = rest.substr(0, colon);
  std::string out = "internal:";
  append_utf8_lossy(out, rest);
  return out;
}

std::string prefix_successor(std::string_view prefix) {
  std::string s(prefix);
  while (!s.empty()) {
    auto last = static_cast<unsigned char>(s.back());
    if (last != 0xFF) {
      s.back() = static_cast<char>(last + 1);
      return s;
    }
    s.pop_back();
  }
  return s;
}

PrefixRange prefix_range(const LiveTable& table, std::string_view prefix) {
  auto first = table.lower_bound(prefix);
  std::string succ = prefix_successor(prefix);
  auto last = succ.empty() ? table.end() : table.lower_bound(std::string_view(succ));
  return PrefixRange{first, last};
}

}  // namespace ombrel::engine
