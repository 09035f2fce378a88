// Fuzz target: vora::toml::parse on arbitrary bytes.
//
// Text that is not well-formed UTF-8 must be refused by the reader itself.
// On an error the message is non-empty and its span lies within the text.
// A document is walked whole, without recursion, and every node checked
// against the text it came from:
//   - every span runs forwards between positions of the text; a value's
//     offset is where its span begins; a scalar's span covers its source, the
//     text that the checks below read it from; positions of byte offsets
//     agree with an index of the lines worked out here;
//   - keys and strings are well-formed UTF-8, each key is found again by
//     lookup, and a string has the value its source spells (an independent
//     decoder of the four string forms);
//   - integers, floats, booleans and date-times have the value their source
//     spells, with every date-time field in range;
//   - tables and arrays report as many elements as they iterate over, no node
//     is reached twice, and no container nests deeper than the depth bound;
//   - the document has no more nodes and entries than the room the parser
//     takes for a large text (toml::arena_bound).
// The same text is read a second time with a small depth bound, which must
// refuse exactly the documents nested deeper than that bound.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "support/toml_spans.hpp"
#include "text/source_index.hpp"
#include "text_index.hpp"
#include "toml/parser.hpp"
#include "toml/toml.hpp"

namespace {

using fuzz::require;
namespace toml = vora::toml;

constexpr std::uint32_t small_depth = 4;

volatile std::size_t sink;

// ---------------------------------------------------------------------------
// What a scalar's source spells, worked out here without the reader.
// ---------------------------------------------------------------------------

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::optional<std::uint32_t> hex_digits(std::string_view s) {
    std::uint32_t v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return std::nullopt;
        v = v * 16 + static_cast<std::uint32_t>(d);
    }
    return v;
}

std::string crlf_to_lf(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
        out += s[i];
    }
    return out;
}

std::string_view drop_first_newline(std::string_view body) {
    if (body.substr(0, 1) == "\n") return body.substr(1);
    if (body.substr(0, 2) == "\r\n") return body.substr(2);
    return body;
}

// The value of a string the reader accepted, from its source with quotes.
// With `fold`, line breaks written as CRLF inside a multi-line string read as
// a line feed (a reader may keep them or fold them; an escaped \r stays).
std::string decode_string(std::string_view src, bool fold) {
    require(src.size() >= 2, "string source shorter than its quotes");
    if (src[0] == '\'') {
        if (src.substr(0, 3) == "'''") {
            require(src.size() >= 6, "multi-line literal string source too short");
            const std::string_view body = drop_first_newline(src.substr(3, src.size() - 6));
            return fold ? crlf_to_lf(body) : std::string(body);
        }
        return std::string(src.substr(1, src.size() - 2));
    }
    require(src[0] == '"', "string source does not start with a quote");
    const bool multi = src.size() >= 6 && src.substr(0, 3) == "\"\"\"";
    const std::string raw(multi ? drop_first_newline(src.substr(3, src.size() - 6)) : src.substr(1, src.size() - 2));
    const std::string body = multi && fold ? crlf_to_lf(raw) : raw;
    std::string out;
    for (std::size_t i = 0; i < body.size();) {
        const char c = body[i];
        if (c != '\\') {
            out += c;
            ++i;
            continue;
        }
        require(i + 1 < body.size(), "string ends in a backslash");
        const char e = body[i + 1];
        if (multi && (e == ' ' || e == '\t' || e == '\n' || e == '\r')) {
            // A line-ending backslash: everything up to the next character
            // that is not white space or a line end goes.
            std::size_t j = i + 1;
            while (j < body.size() && (body[j] == ' ' || body[j] == '\t' || body[j] == '\n' || body[j] == '\r')) ++j;
            i = j;
            continue;
        }
        std::size_t digits = 0;
        switch (e) {
            case 'b': out += '\b'; break;
            case 't': out += '\t'; break;
            case 'n': out += '\n'; break;
            case 'f': out += '\f'; break;
            case 'r': out += '\r'; break;
            case 'e': out += '\x1B'; break;
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case 'x': digits = 2; break;
            case 'u': digits = 4; break;
            case 'U': digits = 8; break;
            default: fuzz::fail("accepted string with an unknown escape");
        }
        i += 2;
        if (digits) {
            require(i + digits <= body.size(), "accepted string with a short escape");
            const auto cp = hex_digits(std::string_view(body).substr(i, digits));
            require(cp.has_value(), "accepted string with a non-hex escape");
            require(*cp <= 0x10FFFF && !(*cp >= 0xD800 && *cp <= 0xDFFF), "accepted escape of a non-scalar value");
            append_utf8(out, *cp);
            i += digits;
        }
    }
    return out;
}

std::string without_underscores(std::string_view s) {
    std::string out;
    for (char c : s)
        if (c != '_') out += c;
    return out;
}

void check_integer(const toml::Value& v, std::string_view src) {
    std::string s = without_underscores(src);
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.erase(0, 1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'o' || s[1] == 'b')) {
        base = s[1] == 'x' ? 16 : s[1] == 'o' ? 8 : 2;
        require(!negative && src[0] != '+', "accepted a signed prefixed integer");
        s.erase(0, 2);
    }
    require(base != 10 || s.size() == 1 || s[0] != '0', "accepted a decimal integer with a leading zero");
    std::uint64_t magnitude = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude, base);
    require(ec == std::errc() && end == s.data() + s.size(), "integer source is no integer in range");
    constexpr std::uint64_t signed_max = std::numeric_limits<std::int64_t>::max();
    if (v.is_wide()) {
        require(!negative && magnitude > signed_max, "wide integer within the signed range");
        require(v.as_unsigned() == magnitude, "wide integer value differs from its source");
    } else if (negative) {
        require(magnitude <= signed_max + 1, "negative integer below the signed range");
        const std::int64_t expected = magnitude == signed_max + 1 ? std::numeric_limits<std::int64_t>::min()
                                                                  : -static_cast<std::int64_t>(magnitude);
        require(v.as_signed() == expected, "integer value differs from its source");
    } else {
        require(magnitude <= signed_max, "integer above the signed range not marked wide");
        require(v.as_signed() == static_cast<std::int64_t>(magnitude), "integer value differs from its source");
        require(v.as_unsigned() == magnitude, "non-negative integer read unsigned differs");
    }
}

void check_float(const toml::Value& v, std::string_view src) {
    std::string s = without_underscores(src);
    const double f = v.as_float();
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.erase(0, 1);
    }
    if (s == "nan") {
        require(std::isnan(f), "nan read as a number");
        return;
    }
    if (s == "inf") {
        require(std::isinf(f) && std::signbit(f) == negative, "inf read wrongly");
        return;
    }
    double magnitude = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude);
    require(end == s.data() + s.size(), "float source is no float");
    if (ec == std::errc::result_out_of_range) return;  // overflow or underflow: either reading will do
    require(ec == std::errc(), "float source is no float");
    const double expected = negative ? -magnitude : magnitude;
    require(std::memcmp(&expected, &f, sizeof f) == 0, "float value differs from its correctly rounded source");
}

int digits_at(std::string_view s, std::size_t pos, std::size_t n) {
    require(pos + n <= s.size(), "date-time source too short");
    int v = 0;
    for (std::size_t i = pos; i < pos + n; ++i) {
        require(s[i] >= '0' && s[i] <= '9', "date-time source has a non-digit");
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

int days_in_month(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

void check_date_time(const toml::Value& v, std::string_view s) {
    const toml::DateTime dt = v.as_date_time();
    std::size_t pos = 0;
    bool has_date = false, has_time = false, has_offset = false;
    if (s.size() >= 10 && s[4] == '-') {
        has_date = true;
        require(dt.year == digits_at(s, 0, 4) && dt.month == digits_at(s, 5, 2) && dt.day == digits_at(s, 8, 2),
                "date differs from its source");
        require(dt.month >= 1 && dt.month <= 12, "month out of range");
        require(dt.day >= 1 && dt.day <= days_in_month(dt.year, dt.month), "day out of range");
        pos = 10;
        if (pos < s.size()) {
            require(s[pos] == 'T' || s[pos] == 't' || s[pos] == ' ', "date and time not separated");
            ++pos;
        }
    }
    if (pos < s.size()) {
        has_time = true;
        require(dt.hour == digits_at(s, pos, 2) && dt.minute == digits_at(s, pos + 3, 2),
                "time differs from its source");
        pos += 5;
        const bool seconds = pos < s.size() && s[pos] == ':';
        require(dt.has_seconds == seconds, "has_seconds differs from the source");
        if (seconds) {
            require(dt.second == digits_at(s, pos + 1, 2), "seconds differ from the source");
            pos += 3;
        } else {
            require(dt.second == 0, "omitted seconds not read as 0");
        }
        std::uint32_t nanos = 0;
        std::size_t fraction = 0;
        if (pos < s.size() && s[pos] == '.') {
            ++pos;
            while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
                if (fraction < 9) nanos = nanos * 10 + static_cast<std::uint32_t>(s[pos] - '0');
                ++fraction;
                ++pos;
            }
            require(fraction > 0, "a decimal point without digits");
            for (std::size_t k = fraction; k < 9; ++k) nanos *= 10;
        }
        require(dt.nanosecond == nanos, "fraction of a second differs from its source");
        require(dt.fraction_digits == std::min<std::size_t>(fraction, 255), "fraction digit count differs");
        require(dt.hour <= 23 && dt.minute <= 59 && dt.second <= 60 && dt.nanosecond < 1000000000,
                "time field out of range");
        if (pos < s.size()) {
            has_offset = true;
            int offset = 0;
            if (s[pos] == 'Z' || s[pos] == 'z') {
                ++pos;
            } else {
                require(s[pos] == '+' || s[pos] == '-', "offset without a sign");
                const int hours = digits_at(s, pos + 1, 2), minutes = digits_at(s, pos + 4, 2);
                require(hours <= 23 && minutes <= 59, "offset out of range");
                offset = (s[pos] == '-' ? -1 : 1) * (hours * 60 + minutes);
                pos += 6;
            }
            require(dt.offset_minutes == offset, "offset differs from its source");
        }
    }
    require(pos == s.size(), "date-time source has trailing text");
    const toml::Type expected = has_offset             ? toml::Type::OffsetDateTime
                                : has_date && has_time ? toml::Type::LocalDateTime
                                : has_date             ? toml::Type::LocalDate
                                                       : toml::Type::LocalTime;
    require(has_date || has_time, "empty date-time source");
    require(v.type() == expected, "date-time type differs from its source");
    require(!has_offset || has_date, "a time with an offset but no date");
}

// ---------------------------------------------------------------------------
// The walk.
// ---------------------------------------------------------------------------

struct Walk {
    std::string_view text;
    const fuzz::LineIndex& lines;
    std::uint32_t max_depth;
    std::uint32_t deepest = 0;  // of containers; the root is 0
};

void check_span(const Walk& w, const toml::Span& s) {
    require(s.begin.line >= 1 && s.begin.column >= 1, "span begins before line 1, column 1");
    require(fuzz::before_or_same(s.begin, s.end), "span ends before it begins");
    require(w.lines.contains(s.begin.line, s.begin.column), "span begins outside the text");
    require(w.lines.contains(s.end.line, s.end.column), "span ends outside the text");
}

void check_scalar(const Walk& w, const toml::Value& v) {
    const std::size_t begin = v.offset(), end = v.end_offset();
    require(begin < end && end <= w.text.size(), "scalar span covers no text");
    const std::string_view src = w.text.substr(begin, end - begin);
    sink = sink + fuzz::touch(src);

    switch (v.type()) {
        case toml::Type::String: {
            const std::string_view s = v.as_string();
            require(fuzz::valid_utf8(s), "string value is not UTF-8");
            require(s == decode_string(src, false) || s == decode_string(src, true),
                    "string value differs from its source");
            sink = sink + fuzz::touch(s);
            break;
        }
        case toml::Type::Integer: check_integer(v, src); break;
        case toml::Type::Float: check_float(v, src); break;
        case toml::Type::Boolean:
            require(src == (v.as_boolean() ? "true" : "false"), "boolean differs from its source");
            break;
        case toml::Type::OffsetDateTime:
        case toml::Type::LocalDateTime:
        case toml::Type::LocalDate:
        case toml::Type::LocalTime:
            require(v.is_date_time(), "date-time type not a date-time");
            check_date_time(v, src);
            break;
        default: fuzz::fail("unknown value type");
    }
}

// The positions reports give (SourceIndex) against the line index, at the
// first bytes, around every 256th byte, and at the end of the text.
void check_positions(std::string_view text, const fuzz::LineIndex& lines) {
    vora::SourceIndex index(text);
    const std::size_t first = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    auto check = [&](std::size_t offset) {
        if (offset < first || offset > text.size()) return;
        if (offset < text.size() && (static_cast<unsigned char>(text[offset]) & 0xC0) == 0x80) return;
        const vora::LineColumn p = index.at(offset);
        const auto [line, column] = lines.position(offset);
        require(p.line == line && p.column == column, "SourceIndex differs from the text");
    };
    for (std::size_t o = 0; o < 8; ++o) check(o);
    for (std::size_t mark = 256; mark <= text.size() + 1; mark += 256) {
        for (std::size_t o = mark - 4; o <= mark + 4; ++o) check(o);
    }
    check(text.size());
}

// Checks the whole document; returns the depth of its deepest container.
std::uint32_t walk_document(const toml::Document& doc, std::string_view text, const fuzz::LineIndex& lines,
                            std::uint32_t max_depth) {
    require(doc.text().data() == text.data() && doc.text().size() == text.size(), "document holds other text");
    Walk w{text, lines, max_depth};
    std::vector<bool> seen(doc.node_count(), false);
    std::size_t entries = 0;
    std::vector<std::pair<toml::Value, std::uint32_t>> stack;
    const toml::Value root = doc.root();
    require(static_cast<bool>(root) && root.is_table(), "root is not a table");
    stack.emplace_back(root, 0);
    while (!stack.empty()) {
        const auto [v, depth] = stack.back();
        stack.pop_back();
        require(static_cast<bool>(v), "empty value in the tree");
        require(v.id() < doc.node_count(), "node id beyond the arena");
        require(!seen[v.id()], "node reached twice");
        seen[v.id()] = true;
        const toml::Span span = vora::toml_test::span(doc, v);
        check_span(w, span);
        require(lines.offset(span.begin.line, span.begin.column) == v.offset(),
                "value offset is not where its span begins");
        if (v.is_table()) {
            require(depth <= max_depth, "table nested deeper than the bound");
            w.deepest = std::max(w.deepest, depth);
            const toml::Table t = v.as_table();
            require(t.value().id() == v.id(), "table handle names another node");
            std::size_t n = 0;
            for (const toml::Member m : t) {
                ++n;
                ++entries;
                require(fuzz::valid_utf8(m.key), "key is not UTF-8");
                sink = sink + fuzz::touch(m.key);
                check_span(w, vora::toml_test::key_span(m));
                require(t.get(m.key).id() == m.value.id(), "key lookup finds another value");
                const auto found = t.member(m.key);
                require(found.has_value() && found->value.id() == m.value.id() && found->key == m.key &&
                            found->key_offsets() == m.key_offsets(),
                        "member lookup finds another entry");
                stack.emplace_back(m.value, depth + 1);
            }
            require(n == t.size(), "table size differs from its members");
            require(t.empty() == (n == 0), "table emptiness differs from its members");
        } else if (v.is_array()) {
            require(depth <= max_depth, "array nested deeper than the bound");
            w.deepest = std::max(w.deepest, depth);
            const toml::Array a = v.as_array();
            require(a.value().id() == v.id(), "array handle names another node");
            std::size_t n = 0;
            for (const toml::Value e : a) {
                ++n;
                stack.emplace_back(e, depth + 1);
            }
            require(n == a.size(), "array size differs from its elements");
            require(a.empty() == (n == 0), "array emptiness differs from its elements");
        } else {
            check_scalar(w, v);
        }
    }
    require(entries <= doc.entry_count(), "more members than entries in the arena");
    check_positions(text, lines);
    // Lookups of keys that no table holds find nothing.
    require(!doc.root_table().get("\x01missing").operator bool(), "lookup of a missing key finds a value");
    return w.deepest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const bool utf8 = fuzz::valid_utf8(text);
    const fuzz::LineIndex lines(text);

    const toml::Result result = toml::parse(text);
    if (const auto* err = std::get_if<toml::Error>(&result)) {
        require(!err->message.empty(), "error without a message");
        require(!utf8 || fuzz::valid_utf8(err->message), "error message is not UTF-8");
        sink = sink + fuzz::touch(err->message);
        require(err->span.begin.line >= 1 && err->span.begin.column >= 1, "error before line 1, column 1");
        require(fuzz::before_or_same(err->span.begin, err->span.end), "error span ends before it begins");
        require(lines.contains(err->span.begin.line, err->span.begin.column), "error begins outside the text");
        require(lines.contains(err->span.end.line, err->span.end.column), "error ends outside the text");
        // The other place stands earlier in the text: a first definition, an opening bracket.
        if (err->related) {
            require(err->related->begin < err->related->end && err->related->end <= err->begin,
                    "an error's other place is not a range before it");
            require(!err->related->label.empty(), "an error's other place has no label");
        }
        // A bound below the default refuses what the default refuses.
        toml::Options small;
        small.max_depth = small_depth;
        require(std::holds_alternative<toml::Error>(toml::parse(text, small)), "small depth bound accepts an error");
        return 0;
    }
    require(utf8, "accepted text that is not UTF-8");
    const auto& doc = std::get<toml::Document>(result);
    const std::uint32_t deepest = walk_document(doc, text, lines, toml::Options{}.max_depth);
    const toml::Bound bound = toml::arena_bound(text);
    require(doc.node_count() <= bound.nodes && doc.entry_count() <= bound.entries,
            "the arena outgrows the room the parser takes for it");

    toml::Options small;
    small.max_depth = small_depth;
    const toml::Result bounded = toml::parse(text, small);
    if (deepest <= small_depth) {
        const auto* again = std::get_if<toml::Document>(&bounded);
        require(again != nullptr, "small depth bound refuses a shallow document");
        require(again->node_count() == doc.node_count() && again->entry_count() == doc.entry_count(),
                "the same text read twice gives different documents");
    } else {
        require(std::holds_alternative<toml::Error>(bounded), "small depth bound accepts a deeper document");
    }
    return 0;
}
