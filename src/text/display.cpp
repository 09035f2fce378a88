#include "text/display.hpp"

#include <algorithm>
#include <cstdint>

#include "text/utf8.hpp"

namespace vora::display {

namespace {

struct Range {
    char32_t first, last;
};

// East Asian Wide and Fullwidth: the CJK blocks, Hangul syllables, the
// fullwidth forms, and the emoji that terminals draw two columns wide.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A}, {0x23E9, 0x23EC}, {0x23F0, 0x23F0},   {0x23F3, 0x23F3},
    {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653}, {0x267F, 0x267F}, {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5}, {0x26CE, 0x26CE}, {0x26D4, 0x26D4},   {0x26EA, 0x26EA},
    {0x26F2, 0x26F5},   {0x26FA, 0x26FD},   {0x2705, 0x2705}, {0x270A, 0x270B}, {0x2728, 0x2728},   {0x274C, 0x274E},
    {0x2753, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27BF}, {0x2B1B, 0x2B1C}, {0x2B50, 0x2B55},   {0x2E80, 0x303E},
    {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0xA4CF}, {0xA960, 0xA97F}, {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},
    {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60}, {0xFFE0, 0xFFE6}, {0x16FE0, 0x1B2FF}, {0x1F300, 0x1F64F},
    {0x1F680, 0x1FAFF}, {0x20000, 0x3FFFD},
};

// Combining marks (enclosing ones included) and zero-width characters: drawn
// over the character before them.
constexpr Range kZero[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2}, {0x05C4, 0x05C5},
    {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x064B, 0x065F}, {0x0670, 0x0670}, {0x06D6, 0x06DC}, {0x06DF, 0x06E4},
    {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x0711, 0x0711}, {0x0730, 0x074A}, {0x0900, 0x0902}, {0x093A, 0x093A},
    {0x093C, 0x093C}, {0x0941, 0x0948}, {0x094D, 0x094D}, {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E},
    {0x1160, 0x11FF}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200D}, {0x20D0, 0x20FF}, {0x302A, 0x302D},
    {0x3099, 0x309A}, {0xFE00, 0xFE0F},
};

template <std::size_t N>
bool in(const Range (&ranges)[N], char32_t cp) {
    const Range* at = std::upper_bound(ranges, ranges + N, cp, [](char32_t c, const Range& r) { return c < r.first; });
    return at != ranges && cp <= (at - 1)->last;
}

// Calls `plain(bytes, columns)` for each run of bytes shown as they are and
// `special(cp, malformed)` for each tab, escaped code point or malformed byte.
template <class Plain, class Special>
void walk(std::string_view text, Plain&& plain, Special&& special) {
    std::size_t run = 0, columns = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x7F) {
            ++i;
            ++columns;
            continue;
        }
        const std::size_t at = i;
        const char32_t cp = utf8::next(text, i);
        const bool malformed = cp == utf8::replacement && text.substr(at, i - at) != "\xEF\xBF\xBD";
        if (!malformed && cp != '\t' && !escaped(cp)) {
            columns += code_point_width(cp);
            continue;
        }
        if (at > run) plain(text.substr(run, at - run), columns);
        columns = 0;
        run = i;
        special(malformed ? static_cast<char32_t>(byte) : cp, malformed);
    }
    if (text.size() > run) plain(text.substr(run), columns);
}

// `\u{1b}`, or `\x{ff}` for a malformed byte.
void append_escape(std::string& out, char32_t cp, bool malformed) {
    static constexpr char hex[] = "0123456789abcdef";
    out += malformed ? "\\x{" : "\\u{";
    int shift = 20;
    while (shift > 0 && (cp >> shift) == 0) shift -= 4;
    for (; shift >= 0; shift -= 4) out += hex[(cp >> shift) & 15];
    out += '}';
}

std::size_t escape_width(char32_t cp) {
    std::size_t digits = 1;
    while (cp >>= 4) ++digits;
    return digits + 4;
}

}  // namespace

std::size_t code_point_width(char32_t cp) {
    if (cp < 0x300) return 1;
    if (in(kZero, cp)) return 0;
    return in(kWide, cp) ? 2 : 1;
}

bool escaped(char32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x061C || cp == 0x200E || cp == 0x200F ||
           (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

std::size_t append_shown(std::string& out, std::string_view text) {
    std::size_t total = 0;
    walk(
        text,
        [&](std::string_view bytes, std::size_t columns) {
            out += bytes;
            total += columns;
        },
        [&](char32_t cp, bool malformed) {
            if (cp == '\t' && !malformed) {
                out.append(kTabWidth, ' ');
                total += kTabWidth;
            } else {
                append_escape(out, cp, malformed);
                total += escape_width(cp);
            }
        });
    return total;
}

std::size_t width(std::string_view text) {
    std::size_t total = 0;
    walk(
        text, [&](std::string_view, std::size_t columns) { total += columns; },
        [&](char32_t cp, bool malformed) { total += cp == '\t' && !malformed ? kTabWidth : escape_width(cp); });
    return total;
}

namespace {

// append_escaped, with line feeds kept or not.
void append_escaped(std::string& out, std::string_view text, bool keep_line_feeds) {
    walk(
        text, [&](std::string_view bytes, std::size_t) { out += bytes; },
        [&](char32_t cp, bool malformed) {
            if (!malformed && (cp == '\t' || (cp == '\n' && keep_line_feeds))) {
                out += static_cast<char>(cp);
            } else {
                append_escape(out, cp, malformed);
            }
        });
}

}  // namespace

void append_escaped(std::string& out, std::string_view text) { append_escaped(out, text, true); }

void append_one_line(std::string& out, std::string_view text) { append_escaped(out, text, false); }

}  // namespace vora::display
