// An operating-system I/O failure: the errno value and, for failures that
// have no errno of their own (a short read), a fixed description.
#pragma once

#include <string>

namespace ombrel::engine {

struct IoError {
  int code = 0;        // errno; 0 when `detail` describes the failure
  std::string detail;  // used when code == 0

  static IoError from_errno(int err) { return IoError{err, {}}; }
  static IoError described(std::string text) { return IoError{0, std::move(text)}; }
  static IoError unexpected_eof() { return described("failed to fill whole buffer"); }

  bool is_storage_full() const;  // ENOSPC or EDQUOT
  bool is_would_block() const;   // EWOULDBLOCK / EAGAIN
  std::string describe() const;  // "No such file or directory (os error 2)"
};

}  // namespace ombrel::engine
