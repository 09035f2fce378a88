// Line and column of a byte offset. Internal to the reader (src/toml/).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vora::toml {

// A document marks the position of every `block`-th byte (positions.cpp).
// 256 bytes: finding a position walks at most one block (32 words of ASCII
// text), while the marks take 8 bytes per block (3 % of the text's size).
inline constexpr std::size_t block = 256;

// Advances (line, column) over text[from, to): a line feed starts a line,
// every other character (not byte) is one column.
void advance(const char* text, std::size_t from, std::size_t to, std::uint32_t& line, std::uint32_t& column);

}  // namespace vora::toml
