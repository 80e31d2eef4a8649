// The interpreter lock around engine work that only waits or churns: the
// binding installs, on each thread that calls into it, the engine's blocking
// hook (engine/blocking.h), which lets go of the interpreter lock for the
// length of every blocking region and takes it back after. The binding lock
// stays held, so calls on one store still run one after another; other
// Python threads, and other stores, run meanwhile. Nothing inside a region
// may touch a Python object.
#pragma once

#include <utility>

#include "engine/blocking.h"

namespace ombrel::python {

// Installs the hook on the calling thread (once per thread). Called by every
// method trampoline.
void install_blocking_hook();

// Runs fn() as one blocking region: a long engine operation whose inner
// syncs and writes would otherwise let go of the interpreter lock one by one.
template <class Fn>
auto run_blocking(Fn&& fn) {
  engine::BlockingRegion region;
  return std::forward<Fn>(fn)();
}

}  // namespace ombrel::python
