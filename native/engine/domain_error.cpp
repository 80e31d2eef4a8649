#include "engine/domain_error.h"

namespace ombrel::engine::detail {

std::string fill_placeholders(std::string_view text, std::span<const std::string> values) {
  std::string out;
  size_t next_value = 0;
  size_t from = 0;
  for (size_t at = text.find("{}"); at != std::string_view::npos; at = text.find("{}", from)) {
    out.append(text.substr(from, at - from));
    if (OMBREL_HOLDS(next_value < values.size())) out.append(values[next_value++]);
    from = at + 2;
  }
  out.append(text.substr(from));
  return out;
}

}  // namespace ombrel::engine::detail
