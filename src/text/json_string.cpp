#include "text/json_string.hpp"

#include <cstdint>
#include <cstring>

#include "base/assert.hpp"
#include "text/utf8.hpp"
#include "text/word.hpp"

namespace vora {

namespace {

bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// The escape of `c` (a byte needs_escape names) written at `out`.
char* write_escape(char* out, char* end, unsigned char c) {
    static constexpr char kHex[] = "0123456789abcdef";
    char letter = 0;
    switch (c) {
        case '"': letter = '"'; break;
        case '\\': letter = '\\'; break;
        case '\b': letter = 'b'; break;
        case '\t': letter = 't'; break;
        case '\n': letter = 'n'; break;
        case '\f': letter = 'f'; break;
        case '\r': letter = 'r'; break;
        default: break;
    }
    if (letter != 0) {
        VORA_ASSERT(out + 2 <= end, "no room for an escape in a JSON string");
        out[0] = '\\';
        out[1] = letter;
        return out + 2;
    }
    VORA_ASSERT(out + 6 <= end, "no room for an escape in a JSON string");
    std::memcpy(out, "\\u00", 4);
    out[4] = kHex[c >> 4];
    out[5] = kHex[c & 15];
    return out + 6;
}

// The length of the well-formed UTF-8 sequence that starts at text[i] (a
// byte of 0x80 and above), or 0 with `bad` the length of its longest start
// that a well-formed sequence could have (at least one byte).
std::size_t sequence_at(std::string_view text, std::size_t i, std::size_t& bad) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        bad = 1;
        return 0;
    }
    std::size_t k = 1;
    for (; k < length && i + k < text.size(); ++k) {
        const auto byte = static_cast<unsigned char>(text[i + k]);
        if (byte < low || byte > high) break;
        low = 0x80;
        high = 0xBF;
    }
    if (k == length) return length;
    bad = k;
    return 0;
}

// write_json_characters with MalformedUtf8::Replace of a text that is not
// well-formed UTF-8, byte by byte.
char* write_replacing(char* out, char* end, std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (needs_escape(c)) {
                out = write_escape(out, end, c);
            } else {
                VORA_ASSERT(out < end, "no room for a byte of a JSON string");
                *out++ = static_cast<char>(c);
            }
            ++i;
            continue;
        }
        std::size_t bad = 0;
        const std::size_t length = sequence_at(text, i, bad);
        VORA_ASSERT(out + (length > 0 ? length : 3) <= end, "no room for a character of a JSON string");
        if (length > 0) {
            std::memcpy(out, text.data() + i, length);
            out += length;
            i += length;
        } else {
            std::memcpy(out, "\xEF\xBF\xBD", 3);
            out += 3;
            i += bad;
        }
    }
    return out;
}

}  // namespace

std::size_t json_string_size(std::string_view text) {
    std::size_t size = 2;
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (!needs_escape(byte)) {
            size += 1;
        } else if (byte == '"' || byte == '\\' || byte == '\b' || byte == '\t' || byte == '\n' || byte == '\f' ||
                   byte == '\r') {
            size += 2;
        } else {
            size += 6;
        }
    }
    return size;
}

// Eight bytes at a time while none of them is special, each stored before
// it is tested (the bytes after a special one are written again). Every
// byte gives at least one, so the stores stay inside the room of the exact
// size. Measured gain: `check --format json` of 1,000,000 unknown keys costs
// 125.9 instructions a byte of the file with it, 143.0 with the byte loop
// alone (bench/reader_ir.py --vora-config); SARIF 14 % more without it.
char* write_json_characters(char* out, char* end, std::string_view text, MalformedUtf8 malformed) {
    // Whether one of the eight bytes of `w` is a control character, `"`,
    // `\` or not ASCII.
    const auto special = [](std::uint64_t w) {
        return word::below(w, 0x20) | word::equal(w, '"') | word::equal(w, '\\') | word::high(w);
    };
    char* const start = out;
    bool ascii = true;
    std::size_t i = 0;
    while (i < text.size()) {
        std::uint64_t w;
        if (i + 8 <= text.size()) {
            std::memcpy(&w, text.data() + i, 8);
            VORA_ASSERT(out + 8 <= end, "no room for eight bytes of a JSON string");
            std::memcpy(out, &w, 8);
            if (special(w) == 0) {
                i += 8;
                out += 8;
                continue;
            }
        } else if (text.size() >= 8 && out == start + i) {
            // The last eight bytes, written over the ones before them as
            // they were, when nothing so far was escaped.
            std::memcpy(&w, text.data() + text.size() - 8, 8);
            if (special(w) == 0) {
                VORA_ASSERT(start + text.size() <= end, "no room for the last bytes of a JSON string");
                std::memcpy(start + text.size() - 8, &w, 8);
                out = start + text.size();
                break;
            }
        }
        const auto c = static_cast<unsigned char>(text[i++]);
        if (needs_escape(c)) {
            out = write_escape(out, end, c);
            continue;
        }
        ascii = ascii && c < 0x80;
        VORA_ASSERT(out < end, "no room for a byte of a JSON string");
        *out++ = static_cast<char>(c);
    }
    if (ascii || malformed == MalformedUtf8::Keep || utf8::valid(text)) return out;
    return write_replacing(start, end, text);
}

char* write_json_string(char* out, char* end, std::string_view text, MalformedUtf8 malformed) {
    VORA_ASSERT(out + 2 <= end, "no room for the quotes of a JSON string");
    *out++ = '"';
    out = write_json_characters(out, end - 1, text, malformed);
    *out++ = '"';
    return out;
}

// With Keep the room made is the exact size, written whole; with Replace
// the most the text may take, cut back to what was written. Measured against
// the byte loop appending between escapes that the summary cells had: one
// rust_explain of examples/example.toml costs 60,740 instructions against
// 60,621, of a file of 300 short escaped strings in a list 548,306 against
// 526,219 (callgrind); the one writer is kept.
void append_json_characters(std::string& out, std::string_view text, MalformedUtf8 malformed) {
    const std::size_t at = out.size();
    out.resize(at + (malformed == MalformedUtf8::Keep ? json_string_size(text) : json_string_room(text)) - 2);
    char* const begin = out.data();
    out.resize(
        static_cast<std::size_t>(write_json_characters(begin + at, begin + out.size(), text, malformed) - begin));
}

void append_json_string(std::string& out, std::string_view text, MalformedUtf8 malformed) {
    const std::size_t at = out.size();
    out.resize(at + (malformed == MalformedUtf8::Keep ? json_string_size(text) : json_string_room(text)));
    char* const begin = out.data();
    out.resize(static_cast<std::size_t>(write_json_string(begin + at, begin + out.size(), text, malformed) - begin));
}

}  // namespace vora
