// Small UTF-8 helpers shared by reading, loading and rendering.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vora::utf8 {

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool valid(std::string_view bytes);

// Number of code points in valid UTF-8 text (counts lead bytes).
inline std::size_t count_code_points(std::string_view text) {
    std::size_t continuations = 0;
    for (const char c : text) continuations += (static_cast<unsigned char>(c) & 0xC0) == 0x80;
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
