// The visitor of std::visit over a set of lambdas.
#pragma once

namespace ombrel {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};

}  // namespace ombrel
