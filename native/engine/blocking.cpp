#include "engine/blocking.h"

namespace ombrel::engine {
namespace {

thread_local const BlockingHook* t_hook = nullptr;
thread_local int t_depth = 0;

}  // namespace

const BlockingHook* set_blocking_hook(const BlockingHook* hook) {
  const BlockingHook* previous = t_hook;
  t_hook = hook;
  return previous;
}

BlockingRegion::BlockingRegion() {
  if (t_depth++ == 0 && t_hook != nullptr) t_hook->enter(t_hook->context);
}

BlockingRegion::~BlockingRegion() {
  if (--t_depth == 0 && t_hook != nullptr) t_hook->leave(t_hook->context);
}

}  // namespace ombrel::engine
