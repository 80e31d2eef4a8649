#include "util/process.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace ombrel {
namespace {

std::atomic<int> g_pid{0};

void refresh_after_fork() { g_pid.store(static_cast<int>(::getpid()), std::memory_order_relaxed); }

int register_once() {
  refresh_after_fork();
  ::pthread_atfork(nullptr, nullptr, &refresh_after_fork);
  return 0;
}

}  // namespace

int current_process_id() {
  static const int registered = register_once();
  (void)registered;
  return g_pid.load(std::memory_order_relaxed);
}

}  // namespace ombrel
