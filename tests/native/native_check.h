// The checks of the native test programs: a failed CHECK is reported and
// counted, and the program ends with `finish`, whose exit status says whether
// every check passed.
#pragma once

#include <cstdio>
#include <cstdlib>

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
}  // namespace native_check

#define CHECK(cond)                                                                 \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
      ++native_check::failures;                                                     \
    }                                                                               \
  } while (0)
