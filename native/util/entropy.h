// Operating-system randomness (getentropy, at most 256 bytes a request).
#pragma once

#include <expected>
#include <span>
#include <string>

namespace ombrel {

// Fills `out` entirely; on failure returns the source's description.
std::expected<void, std::string> fill_random(std::span<unsigned char> out);

}  // namespace ombrel
