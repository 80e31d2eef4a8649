// The checks of the native test programs.
//
// CHECK(cond) is non-fatal: a failure is reported and counted, and the
// program goes on. REQUIRE(cond) states a precondition of what follows (a
// store that opened, a transaction that began, a result that is there): a
// failure is reported and ends the program at once, instead of letting a
// later line use what is not there; required(result) is the same for a
// result whose value is used at once. The program ends with `finish`, whose
// exit status says whether every check passed. fails_with(result, kind)
// tests an expected's error kind without reading an error that is absent.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <source_location>
#include <type_traits>
#include <utility>

namespace native_check {
inline int failures = 0;

inline int finish(const char* program) {
  if (failures == 0) {
    std::printf("%s: all checks passed\n", program);
    return EXIT_SUCCESS;
  }
  std::fprintf(stderr, "%s: %d check(s) failed\n", program, failures);
  return EXIT_FAILURE;
}

[[noreturn]] inline void stop() {
  std::fprintf(stderr, "stopped at a failed precondition, after %d failed check(s)\n", failures);
  std::exit(EXIT_FAILURE);
}

template <class Expected>
auto required(Expected&& result, std::source_location where = std::source_location::current()) {
  if (!result.has_value()) {
    std::fprintf(stderr, "%s:%u: REQUIRE failed: the result is not there\n", where.file_name(),
                 static_cast<unsigned>(where.line()));
    stop();
  }
  return std::remove_cvref_t<decltype(*result)>(*std::forward<Expected>(result));
}

template <class Expected, class Kind>
bool fails_with(const Expected& result, Kind kind) {
  return !result.has_value() && result.error().kind() == kind;
}
}  // namespace native_check

using native_check::fails_with;
using native_check::required;

#define CHECK(cond)                                                                 \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
      ++native_check::failures;                                                     \
    }                                                                               \
  } while (0)

#define REQUIRE(cond)                                                                 \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      std::fprintf(stderr, "%s:%d: REQUIRE failed: %s\n", __FILE__, __LINE__, #cond); \
      native_check::stop();                                                           \
    }                                                                                 \
  } while (0)
