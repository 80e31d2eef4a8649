// Typed parameter declarations: each parameter of a Python method is declared
// once, with its Python name, the field of the method that receives its
// converted value, how its argument is converted and its default. Parsing,
// conversion and the published text signature all come from that one
// declaration, so names, defaults and fields cannot drift apart.
//
// A method is a struct whose data members are its converted arguments:
//   struct ReadStream {
//     std::string_view name;
//     uint64_t offset;
//     uint64_t limit;
//     static constexpr auto kParams = params(param("name", &ReadStream::name),
//                                            param("offset", &ReadStream::offset, 0),
//                                            param("limit", &ReadStream::limit, 100));
//     PyObject* call(PyObject* self) const;  // reads name, offset, limit
//   };
//
// Declarations:
//   param(name, &S::field)                 required, positional or keyword
//   param(name, &S::field, default)        positional or keyword, defaulted
//   keyword(name, &S::field, default)      keyword-only, defaulted
// A default is a value (published as 0, 100, True, "data"), kNone (the
// argument defaults to None and converts as None; published as None) or
// kEmpty (omitted means the field's empty value; published as ...).
//
// The converter follows from the field's type (default_converter below) or is
// named, e.g. param<arg::Path>("path", &Open::path). A converter is
//   struct C {
//     using Value = ...;      // the field's type
//     using Default = ...;    // optional: the type of a declared value default
//     static constexpr bool kAcceptsNone = true;   // optional: kNone allowed
//     static constexpr bool kEmptyWhenOmitted = true;   // optional: kEmpty allowed
//     static std::optional<Value> convert(PyObject* self, PyObject* argument, const char* name);
//   };
// where nullopt means a Python exception is set (see convert.h for the
// errors of each kind of argument).
//
// A group declares several parameters that become one field: its members
// are the parameters of a struct F (F::kParams) and F::to_value() builds the
// field from them (job_spec_convert.h: the job template). A group's
// positional members sit where it is declared; its keyword-only members come
// after every other parameter.
//
// Order: arguments are converted in declaration order, a group's members
// together where the group is declared, and the first failure stops the
// conversion. The published order is every positional parameter in
// declaration order, then the keyword-only ones (groups' last).
#pragma once

#include <Python.h>

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "python/arguments.h"
#include "python/convert.h"
#include "python/errors.h"

namespace ombrel::python {

struct NoneDefault {};
struct EmptyDefault {};
inline constexpr NoneDefault kNone{};
inline constexpr EmptyDefault kEmpty{};

// ---- converters of the plain kinds (convert.h) ----

namespace arg {

// bytes only, borrowed for the call.
struct Bytes {
  using Value = std::string_view;
  static std::optional<Value> convert(PyObject*, PyObject* object, const char* name) { return bytes_arg(object, name); }
};

// bytes only, copied: for values kept beyond the call.
struct CopiedBytes {
  using Value = std::string;
  static std::optional<Value> convert(PyObject*, PyObject* object, const char* name) {
    auto bytes = bytes_arg(object, name);
    if (!bytes) return std::nullopt;
    return std::string(*bytes);
  }
};

// bytes or None, borrowed.
struct OptionalBytes {
  using Value = std::optional<std::string_view>;
  static constexpr bool kAcceptsNone = true;
  static std::optional<Value> convert(PyObject*, PyObject* object, const char* name) {
    if (object == Py_None) return Value{};
    auto bytes = bytes_arg(object, name);
    if (!bytes) return std::nullopt;
    return Value(*bytes);
  }
};

// bytes, bytearray or a sequence of ints, copied.
struct ByteVec {
  using Value = std::string;
  static std::optional<Value> convert(PyObject*, PyObject* object, const char* name) {
    return byte_vec_arg(object, name);
  }
};

struct OptionalByteVec {
  using Value = std::optional<std::string>;
  static constexpr bool kAcceptsNone = true;
  static std::optional<Value> convert(PyObject*, PyObject* object, const char* name) {
    return optional_byte_vec_arg(object, name);
  }
};

template <class T, std::optional<T> (*kConvert)(PyObject*, const char*)>
struct Integer {
  using Value = T;
  using Default = T;
  static std::optional<Value> convert(PyObject*, PyObject* object, const char* name) { return kConvert(object, name); }
};
using U64 = Integer<uint64_t, &u64_arg>;
using I64 = Integer<int64_t, &i64_arg>;
using U32 = Integer<uint32_t, &u32_arg>;
using I32 = Integer<int32_t, &i32_arg>;

template <class T, std::optional<std::optional<T>> (*kConvert)(PyObject*, const char*)>
struct OptionalInteger {
  using Value = std::optional<T>;
  static constexpr bool kAcceptsNone = true;
  static std::optional<Value> convert(PyObject*, PyObject* object, const char* name) { return kConvert(object, name); }
};
using OptionalU64 = OptionalInteger<uint64_t, &optional_u64_arg>;
using OptionalI64 = OptionalInteger<int64_t, &optional_i64_arg>;

struct Bool {
  using Value = bool;
  using Default = bool;
  static std::optional<Value> convert(PyObject*, PyObject* object, const char* name) { return bool_arg(object, name); }
};

// str, as UTF-8.
struct Text {
  using Value = std::string;
  using Default = std::string_view;
  static std::optional<Value> convert(PyObject*, PyObject* object, const char* name) { return text_arg(object, name); }
};

// str or os.PathLike, in the file-system encoding.
struct Path {
  using Value = std::string;
  static std::optional<Value> convert(PyObject*, PyObject* object, const char* name) { return path_arg(object, name); }
};

// A dict of str to str, as UTF-8 pairs.
struct TextDict {
  using Value = std::vector<std::pair<std::string, std::string>>;
  static std::optional<Value> convert(PyObject*, PyObject* object, const char* name) {
    return text_dict_arg(object, name);
  }
};

// A fixed-length id: bytes (else TypeError) that kParse accepts; any other
// length raises OmbrelStoreError kMessage, the id's own domain's words.
template <auto kParse, const char* kMessage>
struct FixedLengthId {
  using Value = std::remove_cvref_t<decltype(*kParse(std::string_view()))>;
  static std::optional<Value> convert(PyObject* self, PyObject* object, const char* name) {
    auto bytes = bytes_arg(object, name);
    if (!bytes) return std::nullopt;
    auto id = kParse(*bytes);
    if (!id) {
      if (const ModuleState* state = state_of_instance(self)) raise_domain_error(*state, kMessage);
    }
    return id;
  }
};

// The same, or None.
template <auto kParse, const char* kMessage>
struct OptionalFixedLengthId {
  using Value = std::optional<typename FixedLengthId<kParse, kMessage>::Value>;
  static constexpr bool kAcceptsNone = true;
  static std::optional<Value> convert(PyObject* self, PyObject* object, const char* name) {
    if (object == Py_None) return Value{};
    auto id = FixedLengthId<kParse, kMessage>::convert(self, object, name);
    if (!id) return std::nullopt;
    return Value(*id);
  }
};

// Any object, borrowed for the call.
struct AnyObject {
  using Value = PyObject*;
  static std::optional<Value> convert(PyObject*, PyObject* object, const char*) { return object; }
};

}  // namespace arg

// The converter of a field whose type says how its argument converts; other
// fields name theirs (no default: the declaration does not compile).
template <class T>
constexpr auto default_converter() {
  if constexpr (std::is_same_v<T, std::string_view>) {
    return std::type_identity<arg::Bytes>{};
  } else if constexpr (std::is_same_v<T, std::string>) {
    return std::type_identity<arg::CopiedBytes>{};
  } else if constexpr (std::is_same_v<T, std::optional<std::string_view>>) {
    return std::type_identity<arg::OptionalBytes>{};
  } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
    return std::type_identity<arg::OptionalByteVec>{};
  } else if constexpr (std::is_same_v<T, uint64_t>) {
    return std::type_identity<arg::U64>{};
  } else if constexpr (std::is_same_v<T, int64_t>) {
    return std::type_identity<arg::I64>{};
  } else if constexpr (std::is_same_v<T, uint32_t>) {
    return std::type_identity<arg::U32>{};
  } else if constexpr (std::is_same_v<T, int32_t>) {
    return std::type_identity<arg::I32>{};
  } else if constexpr (std::is_same_v<T, bool>) {
    return std::type_identity<arg::Bool>{};
  } else if constexpr (std::is_same_v<T, std::optional<uint64_t>>) {
    return std::type_identity<arg::OptionalU64>{};
  } else if constexpr (std::is_same_v<T, std::optional<int64_t>>) {
    return std::type_identity<arg::OptionalI64>{};
  }
}

// Named in a declaration to pick the converter from the field's type.
struct ByFieldType {};

namespace detail {

template <class C, class T>
struct converter_choice {
  using type = C;
};
template <class T>
struct converter_choice<ByFieldType, T> {
  using type = typename decltype(default_converter<T>())::type;
};
template <class C, class T>
using converter_for = typename converter_choice<C, T>::type;

template <class C>
struct default_of {
  using type = std::monostate;
};
template <class C>
  requires requires { typename C::Default; }
struct default_of<C> {
  using type = typename C::Default;
};

template <class C>
concept accepts_none = requires { requires C::kAcceptsNone; };
template <class C>
concept empty_when_omitted = requires { requires C::kEmptyWhenOmitted; };

constexpr DefaultText render_number(uint64_t magnitude, bool negative) {
  char digits[24]{};
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  DefaultText text;
  size_t at = 0;
  if (negative) text.chars[at++] = '-';
  while (count > 0) text.chars[at++] = digits[--count];
  return text;
}

// The published text of a value default.
template <class D>
constexpr DefaultText render_default(const D& value) {
  if constexpr (std::is_same_v<D, bool>) {
    return DefaultText::verbatim(value ? "True" : "False");
  } else if constexpr (std::is_integral_v<D> && std::is_signed_v<D>) {
    const bool negative = value < 0;
    const uint64_t magnitude = negative ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    return render_number(magnitude, negative);
  } else if constexpr (std::is_integral_v<D>) {
    return render_number(value, false);
  } else {
    static_assert(std::is_same_v<D, std::string_view>, "no published form for this default");
    DefaultText text;
    if (value.size() + 2 >= text.chars.size()) throw "default text too long";
    text.chars[0] = '"';
    for (size_t i = 0; i < value.size(); ++i) text.chars[i + 1] = value[i];
    text.chars[value.size() + 1] = '"';
    return text;
  }
}

enum class WhenOmitted : uint8_t { Required, Value, None, Empty };

}  // namespace detail

// One parameter of the method struct S: field `member` of type T, converted by C.
template <class S, class C, class T, bool kKeywordOnly>
struct Single {
  static_assert(std::is_same_v<typename C::Value, T>, "the converter must produce the field's type");
  using Struct = S;
  static constexpr bool kIsGroup = false;
  static constexpr size_t kPositional = kKeywordOnly ? 0 : 1;
  static constexpr size_t kKeyword = kKeywordOnly ? 1 : 0;

  Param param;
  T S::* member;
  detail::WhenOmitted when_omitted;
  typename detail::default_of<C>::type value{};

  constexpr std::array<Param, 1> members() const { return {param}; }

  // `object` is nullptr when a defaulted argument was omitted.
  bool convert(PyObject* self, PyObject* object, S& out) const {
    if (object == nullptr) {
      switch (when_omitted) {
        case detail::WhenOmitted::Value:
          if constexpr (!std::is_same_v<decltype(value), std::monostate>) {
            out.*member = T(value);
            return true;
          }
          break;
        case detail::WhenOmitted::Empty:
          out.*member = T{};
          return true;
        case detail::WhenOmitted::None:
        case detail::WhenOmitted::Required:  // parse_arguments refuses a missing one
          break;
      }
      object = Py_None;
    }
    auto converted = C::convert(self, object, param.name);
    if (!converted) return false;
    out.*member = std::move(*converted);
    return true;
  }
};

template <class S, class... E>
class ParamList;

// Members of F (F::kParams) that become field `member` of S through F::to_value().
template <class S, class F, class T>
struct Group {
  using Struct = S;
  using Members = std::remove_cvref_t<decltype(F::kParams)>;
  static constexpr bool kIsGroup = true;
  static constexpr size_t kPositional = Members::kPositional;
  static constexpr size_t kKeyword = Members::kKeyword;

  T S::* member;

  constexpr std::array<Param, Members::kSize> members() const { return F::kParams.table; }

  // `objects`: one per member, in the members' own table order.
  bool convert(PyObject* self, std::span<PyObject* const> objects, S& out) const {
    F fields{};
    if (!F::kParams.convert(self, objects, fields)) return false;
    out.*member = std::move(fields).to_value();
    return true;
  }
};

// The parameters of a method struct S: the table parse_arguments and the
// text signature read, and the conversion into S's fields.
template <class S, class... E>
class ParamList {
 public:
  static constexpr size_t kPositional = (size_t{0} + ... + E::kPositional);
  static constexpr size_t kKeyword = (size_t{0} + ... + E::kKeyword);
  static constexpr size_t kSize = kPositional + kKeyword;

  std::tuple<E...> entries;
  // In published order.
  std::array<Param, kSize> table{};

  constexpr explicit ParamList(E... declared) : entries(declared...) {
    size_t next = 0;
    for_each([&](auto index) { place(index, next, /*positional=*/true, /*groups=*/false); });
    for_each([&](auto index) { place(index, next, false, false); });
    for_each([&](auto index) { place(index, next, false, true); });
  }

  // Converts slots (one per table entry, nullptr for an omitted default)
  // into `out`; false with the Python exception set.
  template <class Out>
  bool convert(PyObject* self, std::span<PyObject* const> slots, Out& out) const {
    return [&]<size_t... I>(std::index_sequence<I...>) {
      return (convert_entry<I>(self, slots, out) && ...);
    }(std::index_sequence_for<E...>{});
  }

 private:
  std::array<size_t, sizeof...(E)> positional_at_{};
  std::array<size_t, sizeof...(E)> keyword_at_{};

  template <class Fn>
  static constexpr void for_each(Fn&& fn) {
    [&]<size_t... I>(std::index_sequence<I...>) {
      (fn(std::integral_constant<size_t, I>{}), ...);
    }(std::index_sequence_for<E...>{});
  }

  template <size_t I>
  constexpr void place(std::integral_constant<size_t, I>, size_t& next, bool positional, bool groups) {
    using Entry = std::tuple_element_t<I, std::tuple<E...>>;
    const auto members = std::get<I>(entries).members();
    if (positional) {
      positional_at_[I] = next;
      for (size_t m = 0; m < Entry::kPositional; ++m) table[next++] = members[m];
    } else if (Entry::kIsGroup == groups) {
      keyword_at_[I] = next;
      for (size_t m = 0; m < Entry::kKeyword; ++m) table[next++] = members[Entry::kPositional + m];
    }
  }

  template <size_t I, class Out>
  bool convert_entry(PyObject* self, std::span<PyObject* const> slots, Out& out) const {
    using Entry = std::tuple_element_t<I, std::tuple<E...>>;
    const Entry& entry = std::get<I>(entries);
    if constexpr (Entry::kIsGroup) {
      std::array<PyObject*, Entry::kPositional + Entry::kKeyword> objects{};
      for (size_t m = 0; m < Entry::kPositional; ++m) objects[m] = slots[positional_at_[I] + m];
      for (size_t m = 0; m < Entry::kKeyword; ++m) objects[Entry::kPositional + m] = slots[keyword_at_[I] + m];
      return entry.convert(self, objects, out);
    } else {
      return entry.convert(self, slots[Entry::kPositional == 1 ? positional_at_[I] : keyword_at_[I]], out);
    }
  }
};

template <class... E>
constexpr auto params(E... declared) {
  using S = std::tuple_element_t<0, std::tuple<typename E::Struct...>>;
  static_assert((std::is_same_v<typename E::Struct, S> && ...), "every parameter belongs to the same struct");
  return ParamList<S, E...>(declared...);
}

namespace detail {

template <class C, bool kKeywordOnly, class S, class T, class D>
constexpr auto declare(const char* name, T S::* member, const D& declared) {
  using Converter = converter_for<C, T>;
  using Entry = Single<S, Converter, T, kKeywordOnly>;
  if constexpr (std::is_same_v<D, NoneDefault>) {
    static_assert(accepts_none<Converter>, "this parameter does not accept None");
    return Entry{Param(name, DefaultText::verbatim("None"), kKeywordOnly), member, WhenOmitted::None};
  } else if constexpr (std::is_same_v<D, EmptyDefault>) {
    static_assert(empty_when_omitted<Converter>, "this parameter has no empty value");
    return Entry{Param(name, DefaultText::verbatim("..."), kKeywordOnly), member, WhenOmitted::Empty};
  } else {
    using Default = typename default_of<Converter>::type;
    static_assert(!std::is_same_v<Default, std::monostate>, "this parameter takes no value default");
    const Default value(declared);
    return Entry{Param(name, render_default(value), kKeywordOnly), member, WhenOmitted::Value, value};
  }
}

}  // namespace detail

template <class C = ByFieldType, class S, class T>
constexpr auto param(const char* name, T S::* member) {
  using Entry = Single<S, detail::converter_for<C, T>, T, false>;
  return Entry{Param(name, DefaultText{}, false), member, detail::WhenOmitted::Required};
}

template <class C = ByFieldType, class S, class T, class D>
constexpr auto param(const char* name, T S::* member, const D& declared) {
  return detail::declare<C, false>(name, member, declared);
}

template <class C = ByFieldType, class S, class T, class D>
constexpr auto keyword(const char* name, T S::* member, const D& declared) {
  return detail::declare<C, true>(name, member, declared);
}

template <class F, class S, class T>
constexpr auto group(T S::* member) {
  return Group<S, F, T>{member};
}

}  // namespace ombrel::python
