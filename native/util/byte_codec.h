// Byte codecs shared by every on-disk layout and internal key.
//
// ByteWriter appends fixed-width integers (little- or big-endian), raw bytes
// and length-prefixed fields to a caller-owned std::string, so that encoders
// can reuse one buffer. ByteReader walks a byte view; every read reports an
// overrun instead of reading past the end, and `at_end` lets decoders refuse
// leftover bytes. Byte strings are std::string / std::string_view throughout:
// their ordering (char_traits<char>) is unsigned and bytewise, which is the
// key order of the store.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace ombrel {

using Bytes = std::string;
using BytesView = std::string_view;

class ByteWriter {
 public:
  explicit ByteWriter(std::string& out) : out_(out) {}

  void u8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void u16_le(uint16_t v) { put_le(v, 2); }
  void u32_le(uint32_t v) { put_le(v, 4); }
  void u64_le(uint64_t v) { put_le(v, 8); }
  void i64_le(int64_t v) { put_le(static_cast<uint64_t>(v), 8); }
  void u32_be(uint32_t v) { put_be(v, 4); }
  void u64_be(uint64_t v) { put_be(v, 8); }
  void bytes(BytesView b) { out_.append(b.data(), b.size()); }
  void zeros(size_t n) { out_.append(n, '\0'); }
  // A 32-bit little-endian length followed by the bytes; the caller has
  // checked that the length fits.
  void field_le(BytesView b) {
    u32_le(static_cast<uint32_t>(b.size()));
    bytes(b);
  }
  // An internal-key component: 32-bit big-endian length, then the bytes.
  void component(BytesView b) {
    u32_be(static_cast<uint32_t>(b.size()));
    bytes(b);
  }
  // Optional values: a flag byte, 1 followed by the value or 0 alone.
  void flag(bool set) { u8(set ? 1 : 0); }
  void optional_field_le(std::optional<BytesView> b) {
    flag(b.has_value());
    if (b) field_le(*b);
  }
  void optional_i64_le(std::optional<int64_t> v) {
    flag(v.has_value());
    if (v) i64_le(*v);
  }
  size_t size() const { return out_.size(); }
  std::string& buffer() { return out_; }

 private:
  void put_le(uint64_t v, int width) {
    char tmp[8];
    for (int i = 0; i < width; ++i) tmp[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    out_.append(tmp, static_cast<size_t>(width));
  }
  void put_be(uint64_t v, int width) {
    char tmp[8];
    for (int i = 0; i < width; ++i) tmp[i] = static_cast<char>((v >> (8 * (width - 1 - i))) & 0xFF);
    out_.append(tmp, static_cast<size_t>(width));
  }
  std::string& out_;
};

class ByteReader {
 public:
  explicit ByteReader(BytesView in) : in_(in) {}

  std::optional<uint8_t> u8() {
    if (remaining() < 1) return std::nullopt;
    return static_cast<uint8_t>(in_[pos_++]);
  }
  std::optional<uint16_t> u16_le() { return get_le<uint16_t>(2); }
  std::optional<uint32_t> u32_le() { return get_le<uint32_t>(4); }
  std::optional<uint64_t> u64_le() { return get_le<uint64_t>(8); }
  std::optional<int64_t> i64_le() {
    auto v = get_le<uint64_t>(8);
    if (!v) return std::nullopt;
    return static_cast<int64_t>(*v);
  }
  std::optional<uint32_t> u32_be() { return get_be<uint32_t>(4); }
  std::optional<uint64_t> u64_be() { return get_be<uint64_t>(8); }
  std::optional<BytesView> bytes(size_t n) {
    if (remaining() < n) return std::nullopt;
    BytesView out = in_.substr(pos_, n);
    pos_ += n;
    return out;
  }
  // N bytes as an identifier (a job id, a nonce).
  template <size_t N>
  std::optional<std::array<unsigned char, N>> byte_array() {
    auto read = bytes(N);
    if (!read) return std::nullopt;
    std::array<unsigned char, N> out;
    std::memcpy(out.data(), read->data(), N);
    return out;
  }
  // Counterparts of ByteWriter::field_le and ByteWriter::component.
  std::optional<BytesView> field_le() {
    auto n = u32_le();
    if (!n) return std::nullopt;
    return bytes(*n);
  }
  std::optional<BytesView> component() {
    auto n = u32_be();
    if (!n) return std::nullopt;
    return bytes(*n);
  }
  // A flag byte other than 0 or 1 is damage and reads as nullopt, like an
  // overrun.
  std::optional<bool> flag() {
    auto f = u8();
    if (!f || *f > 1) return std::nullopt;
    return *f == 1;
  }
  // Counterparts of ByteWriter::optional_field_le and optional_i64_le: the
  // outer nullopt is damage, the inner one an absent value.
  std::optional<std::optional<BytesView>> optional_field_le() {
    auto present = flag();
    if (!present) return std::nullopt;
    if (!*present) return std::optional<BytesView>{};
    auto field = field_le();
    if (!field) return std::nullopt;
    return std::optional<BytesView>{*field};
  }
  std::optional<std::optional<int64_t>> optional_i64_le() {
    auto present = flag();
    if (!present) return std::nullopt;
    if (!*present) return std::optional<int64_t>{};
    auto value = i64_le();
    if (!value) return std::nullopt;
    return std::optional<int64_t>{*value};
  }
  BytesView rest() {
    BytesView out = in_.substr(pos_);
    pos_ = in_.size();
    return out;
  }
  size_t remaining() const { return in_.size() - pos_; }
  size_t position() const { return pos_; }
  bool at_end() const { return pos_ == in_.size(); }

 private:
  template <typename T>
  std::optional<T> get_le(int width) {
    if (remaining() < static_cast<size_t>(width)) return std::nullopt;
    uint64_t v = 0;
    for (int i = 0; i < width; ++i)
      v |= static_cast<uint64_t>(static_cast<uint8_t>(in_[pos_ + static_cast<size_t>(i)])) << (8 * i);
    pos_ += static_cast<size_t>(width);
    return static_cast<T>(v);
  }
  template <typename T>
  std::optional<T> get_be(int width) {
    if (remaining() < static_cast<size_t>(width)) return std::nullopt;
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v = (v << 8) | static_cast<uint8_t>(in_[pos_ + static_cast<size_t>(i)]);
    pos_ += static_cast<size_t>(width);
    return static_cast<T>(v);
  }
  BytesView in_;
  size_t pos_ = 0;
};

// Fixed-offset access for layouts read in place (headers, record frames).
inline uint32_t load_u32_le(const char* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(p[i]);
  return v;
}
inline uint64_t load_u64_le(const char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(p[i]);
  return v;
}
inline uint16_t load_u16_le(const char* p) {
  return static_cast<uint16_t>(static_cast<uint8_t>(p[0]) | (static_cast<uint8_t>(p[1]) << 8));
}

// A row of a byte table: where a field starts and how many bytes it takes.
struct FieldSpan {
  size_t offset;
  size_t width;
};
// Whether `rows` follow one another from offset 0, without gap or overlap,
// and end at `size`: a layout's fixed part, checked against its table.
constexpr bool contiguous_fields(std::initializer_list<FieldSpan> rows, size_t size) {
  size_t next = 0;
  for (const FieldSpan& row : rows) {
    if (row.offset != next) return false;
    next += row.width;
  }
  return next == size;
}

// The fixed-size leading part of a layout, read at the offsets of its byte
// table: the length is checked once, when the part is taken, and every read
// is checked against the part's size at compile time, so no read can pass
// the end. The variable part follows at offset Size.
template <size_t Size>
class FixedPart {
 public:
  static std::optional<FixedPart> of(BytesView bytes) {
    if (bytes.size() < Size) return std::nullopt;
    return FixedPart(bytes.data());
  }

  template <size_t At>
  uint8_t u8() const {
    static_assert(At + 1 <= Size);
    return static_cast<uint8_t>(p_[At]);
  }
  template <size_t At>
  uint16_t u16_le() const {
    static_assert(At + 2 <= Size);
    return load_u16_le(p_ + At);
  }
  template <size_t At>
  uint32_t u32_le() const {
    static_assert(At + 4 <= Size);
    return load_u32_le(p_ + At);
  }
  template <size_t At>
  uint64_t u64_le() const {
    static_assert(At + 8 <= Size);
    return load_u64_le(p_ + At);
  }
  template <size_t At>
  int64_t i64_le() const {
    return static_cast<int64_t>(u64_le<At>());
  }
  template <size_t At, size_t N>
  std::array<uint8_t, N> byte_array() const {
    static_assert(At + N <= Size);
    std::array<uint8_t, N> out;
    std::memcpy(out.data(), p_ + At, N);
    return out;
  }

 private:
  explicit FixedPart(const char* p) : p_(p) {}
  const char* p_;
};

// Saturating counter arithmetic for statistics.
inline void saturating_add(uint64_t& counter, uint64_t amount) {
  counter = (counter > UINT64_MAX - amount) ? UINT64_MAX : counter + amount;
}

}  // namespace ombrel
