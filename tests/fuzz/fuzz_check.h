// A property failure in a fuzz target: abort, so that libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_CHECK(cond)                                                               \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

// A decoder's result for `bytes`: refused with the `corrupt` error kind, or a
// value that `encode` turns back into exactly `bytes`.
template <class Decoded, class Encode, class Kind>
void check_round_trip(const Decoded& decoded, Encode&& encode, std::string_view bytes, Kind corrupt) {
  if (decoded) {
    FUZZ_CHECK(encode(*decoded) == bytes);
  } else {
    FUZZ_CHECK(decoded.error().kind() == corrupt);
  }
}
