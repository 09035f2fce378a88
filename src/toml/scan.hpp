// Byte classes of the reader and the scans that run over plain text: what a
// bare key, a string or a comment takes as it stands. Internal to the
// reader (src/toml/).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "text/utf8.hpp"
#include "text/word.hpp"

namespace vora::toml::scan {

constexpr bool is_bare_key_char(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
inline unsigned hex_value(char c) {
    if (is_digit(c)) return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    return static_cast<unsigned>(c - 'A' + 10);
}
inline bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Length of the well-formed UTF-8 sequence at s[i] (a byte >= 0x80), or 0:
// a malformed sequence is passed over one byte at a time.
inline std::size_t utf8_length(std::string_view s, std::size_t i) {
    std::size_t j = i;
    utf8::next(s, j);
    return j - i > 1 ? j - i : 0;
}

// "U+" and four hexadecimal digits, as messages name a character.
inline std::string hex4(unsigned v) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string s = "U+";
    for (int shift = 12; shift >= 0; shift -= 4) s += digits[(v >> shift) & 0xF];
    return s;
}

struct BareKeyChars {
    bool c[256];
    constexpr BareKeyChars() : c{} {
        for (int i = 0; i < 256; ++i) c[i] = is_bare_key_char(static_cast<unsigned char>(i));
    }
};
inline constexpr BareKeyChars bare_key_chars;

// The end of the bare key starting at s[i].
inline std::size_t bare_key_end(const char* s, std::size_t i, std::size_t n) {
    while (i < n && bare_key_chars.c[static_cast<unsigned char>(s[i])]) ++i;
    return i;
}

// Character classes for the string scanners: 0 is an ordinary character.
enum : std::uint8_t {
    plain = 0,
    cls_quote = 1,
    cls_apostrophe = 2,
    cls_backslash = 3,
    cls_newline = 4,
    cls_cr = 5,
    cls_control = 6,
    cls_high = 7
};

struct Classes {
    std::uint8_t c[256];
    constexpr Classes() : c{} {
        for (int i = 0; i < 0x20; ++i) c[i] = cls_control;
        c[static_cast<unsigned char>('\t')] = plain;
        c[static_cast<unsigned char>('\n')] = cls_newline;
        c[static_cast<unsigned char>('\r')] = cls_cr;
        c[0x7F] = cls_control;
        c[static_cast<unsigned char>('"')] = cls_quote;
        c[static_cast<unsigned char>('\'')] = cls_apostrophe;
        c[static_cast<unsigned char>('\\')] = cls_backslash;
        for (int i = 0x80; i < 0x100; ++i) c[i] = cls_high;
    }
};
inline constexpr Classes classes;

// The first byte at or after `i` that a single-line string does not take as
// it stands: its closing `quote`, a backslash in a basic string, a control
// character other than tab, or a byte of a multi-byte character. Eight
// bytes at a time while none of them is one.
//
// Eight bytes at a time, here and in printable_run_end below, against a
// byte at a time, in Ir/B of bench/reader_ir.py: string_list.toml 12.21
// against 13.31, lock_file.toml 17.74 against 18.59, config_819.toml 25.72
// against 26.32; on the short strings of small_tables.toml and
// unknown_keys.toml a byte at a time is 1 % cheaper (44.27 against 44.70,
// 27.54 against 27.65).
template <char quote>
std::size_t plain_run_end(const unsigned char* p, std::size_t i, std::size_t n) {
    constexpr bool basic = quote == '"';
    const auto taken = [](unsigned char c) {
        const std::uint8_t cls = classes.c[c];
        return cls == plain || cls == (basic ? cls_apostrophe : cls_quote) || (!basic && cls == cls_backslash);
    };
    for (;;) {
        while (i + 8 <= n) {
            // Only the first stop is read: a tab stops the words too.
            const std::uint64_t w = word::load(p + i);
            const std::uint64_t stops = basic ? word::unprintable_or<quote, '\\'>(w) : word::unprintable_or<quote>(w);
            if (stops) {
                i += word::first_lane(stops);
                break;
            }
            i += 8;
        }
        if (i + 8 > n) {
            while (i < n && taken(p[i])) ++i;
            return i;
        }
        if (!taken(p[i])) return i;
        ++i;  // a tab
    }
}

// The first byte at or after `i` that is not printable ASCII: where a
// comment's plain run ends.
inline std::size_t printable_run_end(const unsigned char* p, std::size_t i, std::size_t n) {
    while (i + 8 <= n) {
        const std::uint64_t stops = word::unprintable_or<>(word::load(p + i));
        if (stops) return i + word::first_lane(stops);
        i += 8;
    }
    while (i < n && p[i] >= 0x20 && p[i] < 0x7F) ++i;
    return i;
}

}  // namespace vora::toml::scan
