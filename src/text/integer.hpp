// Decimal digits of integers: the one writer of them for every text the
// system makes (report formats, summary cells, numbers' exponents).
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <string>
#include <system_error>

#include "base/assert.hpp"

namespace vora {

// The most bytes the digits of a 64-bit integer take, its sign included.
inline constexpr std::size_t kIntegerRoom = 20;

// Writes the decimal digits of `n` (after a '-' when negative) at `out`,
// whose room ends at `end`; returns the end of what was written.
template <std::integral T>
char* write_integer(char* out, char* end, T n) {
    const std::to_chars_result result = std::to_chars(out, end, n);
    VORA_ASSERT(result.ec == std::errc{}, "no room for the digits of an integer");
    return result.ptr;
}

template <std::integral T>
void append_integer(std::string& out, T n) {
    char digits[kIntegerRoom];
    out.append(digits, write_integer(digits, digits + sizeof digits, n));
}

template <std::integral T>
std::string integer_text(T n) {
    std::string out;
    append_integer(out, n);
    return out;
}

}  // namespace vora
