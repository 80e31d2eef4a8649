// Blocking regions: the stretches of engine work during which a thread only
// waits on the operating system or churns through a whole file (a sync, a
// truncate, a large write, a replay, a whole-file copy).
//
// The engine knows nothing of its embedding. An embedding that holds a
// process-wide lock while it calls the engine (the Python binding holds the
// interpreter lock) installs, per thread, a hook that lets go of that lock
// on entry and takes it back on exit, so that its other threads run while
// this one waits. Regions nest: only the outermost calls the hook. Code
// inside a region must not call back into the embedding; engine code never
// does.
#pragma once

#include <cstddef>

namespace ombrel::engine {

struct BlockingHook {
  void (*enter)(void* context);
  void (*leave)(void* context);
  void* context;
};

// Installs `hook` for the calling thread (nullptr removes it); returns the
// previous one, so that scopes can nest.
const BlockingHook* set_blocking_hook(const BlockingHook* hook);

class BlockingRegion {
 public:
  BlockingRegion();
  ~BlockingRegion();
  BlockingRegion(const BlockingRegion&) = delete;
  BlockingRegion& operator=(const BlockingRegion&) = delete;
};

// Writes shorter than this go to the page cache in microseconds; releasing
// the embedding's lock for them would cost more than it frees.
inline constexpr size_t kBlockingWriteBytes = size_t{64} << 10;

}  // namespace ombrel::engine
