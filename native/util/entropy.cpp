#include "util/entropy.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ombrel {

std::expected<void, std::string> fill_random(std::span<unsigned char> out) {
  size_t done = 0;
  while (done < out.size()) {
    size_t n = out.size() - done;
    if (n > 256) n = 256;
    if (getentropy(out.data() + done, n) != 0) {
      int err = errno;
      return std::unexpected(std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")");
    }
    done += n;
  }
  return {};
}

}  // namespace ombrel
