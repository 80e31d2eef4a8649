// One shape for the errors of the domain layers.
//
// A domain states its variants and their display texts once, as a table
// beside the operations that fail with them:
//
//   struct QueueErrorTexts {
//     enum class Kind : uint8_t { Engine, EmptyName, MessageNotFound };
//     static constexpr auto kTexts = std::to_array<engine::ErrorText<Kind>>({
//         {Kind::Engine, "store error: {}"},
//         {Kind::EmptyName, "queue name cannot be empty"},
//         {Kind::MessageNotFound, "queue message {} was not found"},
//     });
//   };
//   using QueueError = engine::DomainError<QueueErrorTexts>;
//
// Contract:
// - The rows follow the enumeration, one per variant (checked at compile
//   time), so a new variant is a new enumerator and its row.
// - Each "{}" in a text stands for one value the variant carries, in order:
//   an integer (in decimal), a text, an IoError (its description) or the
//   error of another layer (its message()). of(kind, values...) makes any
//   variant, rendering the values as it does.
// - A domain whose first variant is Engine wraps the engine error beneath
//   with engine(e); the error keeps it (engine_error()) for a caller that
//   words it again in another domain's terms, and its "{}" shows the
//   engine's display text.
// - message() is the variant's text with its values: the words the binding
//   raises, unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/errors.h"
#include "engine/io_error.h"
#include "util/invariant.h"

namespace ombrel::engine {

template <class Kind>
struct ErrorText {
  Kind kind;
  std::string_view text;  // "{}" marks each value the variant carries
};

namespace detail {

template <class Kind, size_t N>
constexpr bool rows_follow_kinds(const std::array<ErrorText<Kind>, N>& rows) {
  for (size_t i = 0; i < N; ++i)
    if (static_cast<size_t>(rows[i].kind) != i) return false;
  return true;
}

constexpr size_t placeholder_count(std::string_view text) {
  size_t count = 0;
  for (size_t at = text.find("{}"); at != std::string_view::npos; at = text.find("{}", at + 2)) ++count;
  return count;
}

// `text` with its "{}"s replaced by `values`, in order.
std::string fill_placeholders(std::string_view text, std::span<const std::string> values);

template <class T>
std::string rendered(const T& value) {
  if constexpr (std::is_integral_v<T>) {
    return std::to_string(value);
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return std::string(std::string_view(value));
  } else if constexpr (std::is_same_v<T, IoError>) {
    return value.describe();
  } else {
    return value.message();
  }
}

}  // namespace detail

template <class Texts>
class DomainError {
 public:
  using Kind = typename Texts::Kind;
  static_assert(detail::rows_follow_kinds(Texts::kTexts), "an error text table must list every variant in order");

  template <class... Values>
  static DomainError of(Kind kind, const Values&... values) {
    DomainError error(kind);
    OMBREL_ASSERT(detail::placeholder_count(text_of(kind)) == sizeof...(Values));
    error.values_.reserve(sizeof...(Values));
    (error.values_.push_back(detail::rendered(values)), ...);
    return error;
  }
  static DomainError engine(EngineError e)
    requires requires { Kind::Engine; }
  {
    DomainError error(Kind::Engine);
    error.engine_ = std::move(e);
    return error;
  }

  Kind kind() const { return kind_; }
  // The engine error beneath, for the Engine variant.
  const std::optional<EngineError>& engine_error() const { return engine_; }
  std::string message() const {
    if (engine_) {
      const std::string engine_text[] = {engine_->message()};
      return detail::fill_placeholders(text_of(kind_), engine_text);
    }
    return detail::fill_placeholders(text_of(kind_), values_);
  }

 private:
  explicit DomainError(Kind kind) : kind_(kind) {}
  static std::string_view text_of(Kind kind) {
    const auto row = static_cast<size_t>(kind);
    if (!OMBREL_HOLDS(row < Texts::kTexts.size())) return {};
    return Texts::kTexts[row].text;
  }

  Kind kind_;
  std::optional<EngineError> engine_;
  std::vector<std::string> values_;
};

}  // namespace ombrel::engine
