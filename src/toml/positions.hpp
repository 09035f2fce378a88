// Line and column of a byte offset. Internal to the reader (src/toml/).
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/source_index.hpp"

namespace vora::toml {

using vora::advance;

// A document marks the position of every `block`-th byte (positions.cpp).
// 256 bytes: finding a position walks at most one block (32 words of ASCII
// text), while the marks take 8 bytes per block (3 % of the text's size).
inline constexpr std::size_t block = 256;

}  // namespace vora::toml
