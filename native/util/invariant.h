// Invariants: facts the code relies on that the compiler cannot see.
//
// Contract:
// - OMBREL_ASSERT(cond) states a fact of the code's own making (a table in
//   step with its enumeration, a value built a few lines above). Where
//   invariants are checked, a false cond aborts with file:line and the
//   condition; elsewhere cond is not evaluated.
// - OMBREL_HOLDS(cond) is an expression with the value of cond, for facts
//   that earlier checks of outside data establish (a length checked before
//   the fields it covers are read, a kind that implies a field). Where
//   invariants are checked, a false cond aborts as above; elsewhere it is
//   just false, so the caller's error path runs: a broken assumption about
//   stored bytes is reported as damage, never a read out of bounds.
// - Invariants are checked in debug builds (no NDEBUG) and wherever
//   OMBREL_CHECK_INVARIANTS is defined (the fuzz targets).
#pragma once

#include <cstdio>
#include <cstdlib>

namespace ombrel::detail {

[[noreturn]] inline void invariant_failed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: invariant failed: %s\n", file, line, condition);
  std::abort();
}

}  // namespace ombrel::detail

#if !defined(NDEBUG) || defined(OMBREL_CHECK_INVARIANTS)
#define OMBREL_ASSERT(cond) \
  (static_cast<bool>(cond) ? void() : ::ombrel::detail::invariant_failed(#cond, __FILE__, __LINE__))
#define OMBREL_HOLDS(cond) \
  (static_cast<bool>(cond) ? true : (::ombrel::detail::invariant_failed(#cond, __FILE__, __LINE__), false))
#else
#define OMBREL_ASSERT(cond) static_cast<void>(sizeof(static_cast<bool>(cond)))
#define OMBREL_HOLDS(cond) static_cast<bool>(cond)
#endif
