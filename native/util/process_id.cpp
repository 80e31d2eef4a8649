#include "util/process_id.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace ombrel {
namespace {

std::atomic<int> cached_id{0};

void refresh_in_child() { cached_id.store(static_cast<int>(::getpid()), std::memory_order_relaxed); }

}  // namespace

int current_process_id() {
  static std::once_flag registered;
  std::call_once(registered, [] {
    refresh_in_child();
    // Without the handler the cache could not be trusted after a fork: fall
    // back to asking every time.
    if (::pthread_atfork(nullptr, nullptr, refresh_in_child) != 0) cached_id.store(0, std::memory_order_relaxed);
  });
  const int id = cached_id.load(std::memory_order_relaxed);
  return id != 0 ? id : static_cast<int>(::getpid());
}

}  // namespace ombrel
