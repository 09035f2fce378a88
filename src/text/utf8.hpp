// Small UTF-8 helpers shared by reading, loading and rendering.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "text/word.hpp"

namespace vora::utf8 {

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool valid(std::string_view bytes);

// Number of code points in valid UTF-8 text (counts lead bytes).
inline std::size_t count_code_points(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    std::size_t continuations = 0;
    // Eight bytes at a time.
    for (; i + 8 <= text.size(); i += 8)
        continuations += static_cast<std::size_t>(std::popcount(word::continuation(word::load(p + i))));
    for (; i < text.size(); ++i) continuations += (p[i] & 0xC0) == 0x80;
    return text.size() - continuations;
}

inline constexpr char32_t replacement = 0xFFFD;

// Decodes the code point starting at text[i] and advances i past it. On a
// malformed sequence (overlong forms and surrogates included) returns U+FFFD
// and advances by one byte.
char32_t next(std::string_view text, std::size_t& i);

// Appends the UTF-8 form of `cp`.
void append(std::string& out, char32_t cp);

}  // namespace vora::utf8
