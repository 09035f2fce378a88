#include "configuration/load.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "configuration/toml.hpp"
#include "format.hpp"
#include "text/utf8.hpp"

namespace vora {

namespace {

// ---------------------------------------------------------------------------
// Integer literals beyond signed 64 bits.
//
// The parser keeps integers as signed 64-bit values and refuses a literal
// outside that range, but the format accepts sizes up to 2^64-1. When the
// parser refuses such a literal, one linear scan finds every integer literal
// in value position that only fits the unsigned range; each is overwritten in
// a copy of the text by "0" padded with spaces to the same length (so every
// line and column stays put), its value is remembered by position, and the
// copy is parsed once more. A literal that fits neither range is reported as
// "integer number overflowed". The scan is a safety net rather than a second
// parser: should it miss a literal, the parser's own report of it is patched
// the same way, so a document is parsed a bounded number of times.
// ---------------------------------------------------------------------------

// A literal beyond the signed range, by the position where it starts.
struct WideInteger {
    std::size_t line;
    std::size_t column;
    std::size_t length;  // in bytes, which are code points: a literal is ASCII
    std::uint64_t value;

    Span span() const { return Span{Position{line, column}, Position{line, column + length}}; }
};

// The wide literals of a document ordered by position: a sorted vector rather
// than a node-based map, as a file may hold millions of them.
class WideIntegers {
public:
    bool empty() const { return items_.empty(); }
    void reserve(std::size_t n) { items_.reserve(n); }

    const WideInteger* find(std::size_t line, std::size_t column) const {
        const auto it = lower_bound(line, column);
        return it != items_.end() && it->line == line && it->column == column ? &*it : nullptr;
    }

    // Adds a literal at a position not held yet; literals mostly arrive in
    // document order.
    void add(const WideInteger& w) {
        if (items_.empty() || key(items_.back()) < key(w)) {
            items_.push_back(w);
        } else {
            items_.insert(lower_bound(w.line, w.column), w);
        }
    }

private:
    using Key = std::pair<std::size_t, std::size_t>;
    static Key key(const WideInteger& w) { return {w.line, w.column}; }

    std::vector<WideInteger>::const_iterator lower_bound(std::size_t line, std::size_t column) const {
        return std::lower_bound(items_.begin(), items_.end(), Key{line, column},
                                [](const WideInteger& w, const Key& k) { return key(w) < k; });
    }

    std::vector<WideInteger> items_;
};

enum class LiteralFit { Signed, Unsigned, Neither, NotInteger };

struct LiteralValue {
    LiteralFit fit = LiteralFit::NotInteger;
    std::uint64_t magnitude = 0;
};

LiteralValue evaluate_integer_literal(std::string_view token) {
    LiteralValue out;
    bool negative = false;
    std::size_t i = 0;
    if (!token.empty() && (token[0] == '+' || token[0] == '-')) {
        negative = token[0] == '-';
        ++i;
    }
    unsigned base = 10;
    if (i == 0 && token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'o' || token[1] == 'b')) {
        base = token[1] == 'x' ? 16 : token[1] == 'o' ? 8 : 2;
        i = 2;
    }
    if (i >= token.size()) return out;
    bool overflow = false;
    bool any_digit = false;
    std::uint64_t value = 0;
    for (; i < token.size(); ++i) {
        const char c = token[i];
        if (c == '_') continue;
        unsigned d;
        if (c >= '0' && c <= '9') {
            d = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            d = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            d = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return out;
        }
        if (d >= base) return out;
        any_digit = true;
        // Overflow checks without a division per digit.
        std::uint64_t shifted;
        if (!overflow) {
            if (__builtin_mul_overflow(value, std::uint64_t{base}, &shifted) ||
                __builtin_add_overflow(shifted, std::uint64_t{d}, &shifted)) {
                overflow = true;
            } else {
                value = shifted;
            }
        }
    }
    if (!any_digit) return out;
    out.magnitude = value;
    constexpr std::uint64_t signed_max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (overflow) {
        out.fit = LiteralFit::Neither;
    } else if (negative) {
        out.fit = value <= signed_max + 1 ? LiteralFit::Signed : LiteralFit::Neither;
    } else {
        out.fit = value <= signed_max ? LiteralFit::Signed : LiteralFit::Unsigned;
    }
    return out;
}

// The next unescaped `q` at or after `from` (a quote preceded by an odd
// number of backslashes is escaped in a basic string), or npos.
std::size_t next_quote(std::string_view text, std::size_t from, char q, bool basic) {
    for (std::size_t k = text.find(q, from); k != std::string_view::npos; k = text.find(q, k + 1)) {
        if (!basic) return k;
        std::size_t backslashes = 0;
        while (k - backslashes > from && text[k - backslashes - 1] == '\\') ++backslashes;
        if (backslashes % 2 == 0) return k;
    }
    return std::string_view::npos;
}

// Skips the string starting at text[i] (a quote character); returns the
// offset just past it, or the end of the line for an unterminated one.
std::size_t skip_string(std::string_view text, std::size_t i) {
    const char q = text[i];
    const bool basic = q == '"';
    if (text.substr(i, 3) == std::string_view(basic ? "\"\"\"" : "'''")) {
        for (std::size_t k = next_quote(text, i + 3, q, basic); k != std::string_view::npos;
             k = next_quote(text, k + 1, q, basic)) {
            if (text.substr(k, 3) == std::string_view(basic ? "\"\"\"" : "'''")) {
                std::size_t j = k + 3;
                // Up to two quotes may directly precede the closing delimiter.
                for (int extra = 0; extra < 2 && j < text.size() && text[j] == q; ++extra) ++j;
                return j;
            }
        }
        return text.size();
    }
    const std::size_t close = next_quote(text, i + 1, q, basic);
    const std::size_t stop = close == std::string_view::npos ? text.size() : close;
    const std::size_t line_end = text.substr(0, stop).find('\n', i + 1);
    if (line_end != std::string_view::npos) return line_end;
    return close == std::string_view::npos ? text.size() : close + 1;
}

struct Literal {
    std::size_t begin;
    std::size_t end;
    std::uint64_t value;
};

struct Scan {
    std::vector<Literal> literals;  // integer literals that fit only the unsigned range
    std::size_t depth = 0;          // the deepest nesting of tables and arrays
    std::size_t depth_offset = 0;   // where that depth is first reached
};

// One linear pass over the text that tells keys, values, strings and
// comments apart well enough to find the integer literals in value position
// and to measure how deeply tables and arrays nest (dotted keys and headers
// included). It does not check the syntax; the parser does that.
Scan scan_document(std::string_view text) {
    enum class Mode { Key, Value, After };
    struct Level {
        char kind;          // 'A' array, 'I' inline table
        std::size_t depth;  // depth of its elements (array) or of the table itself (inline table)
    };
    Scan out;
    std::vector<Level> nesting;
    Mode mode = Mode::Key;
    std::size_t header_depth = 0;  // depth of the table the current header opened
    std::size_t key_depth = 0;     // segments of the key being read, 0 between keys
    std::size_t value_depth = 0;   // depth of the value being read
    std::size_t key_start = 0;     // offset of the key being read
    std::size_t i = 0;
    const std::size_t n = text.size();
    auto reach = [&](std::size_t depth, std::size_t at) {
        if (depth > out.depth) {
            out.depth = depth;
            out.depth_offset = at;
        }
    };
    auto key_base = [&] { return nesting.empty() ? header_depth : nesting.back().depth; };
    auto close = [&] {
        nesting.pop_back();
        mode = Mode::After;
    };
    while (i < n) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
            continue;
        }
        if (c == '\n') {
            if (nesting.empty()) {
                mode = Mode::Key;
                key_depth = 0;
            }
            ++i;
            continue;
        }
        if (c == '#') {
            const std::size_t nl = text.find('\n', i);
            i = nl == std::string_view::npos ? n : nl;
            continue;
        }
        switch (mode) {
            case Mode::Key:
                if (c == '[' && nesting.empty() && key_depth == 0) {
                    // A table header: dotted keys up to the closing bracket(s);
                    // an array of tables adds the array's own level.
                    const std::size_t at = i;
                    ++i;
                    header_depth = 1;
                    if (i < n && text[i] == '[') {
                        ++header_depth;
                        ++i;
                    }
                    while (i < n && text[i] != ']' && text[i] != '\n') {
                        if (text[i] == '.') ++header_depth;
                        i = (text[i] == '"' || text[i] == '\'') ? skip_string(text, i) : i + 1;
                    }
                    while (i < n && text[i] == ']') ++i;
                    reach(header_depth, at);
                } else if (c == '=') {
                    value_depth = key_base() + std::max<std::size_t>(key_depth, 1);
                    reach(value_depth, key_depth ? key_start : i);
                    key_depth = 0;
                    mode = Mode::Value;
                    ++i;
                } else if (c == '}' && !nesting.empty() && nesting.back().kind == 'I') {
                    close();
                    ++i;
                } else if (c == ',') {
                    ++i;
                } else {
                    if (key_depth == 0) {
                        key_depth = 1;
                        key_start = i;
                    }
                    if (c == '.') ++key_depth;
                    i = (c == '"' || c == '\'') ? skip_string(text, i) : i + 1;
                }
                break;
            case Mode::Value:
                if (c == '"' || c == '\'') {
                    i = skip_string(text, i);
                    mode = Mode::After;
                } else if (c == '[') {
                    nesting.push_back({'A', value_depth + 1});
                    value_depth += 1;
                    reach(value_depth, i);
                    ++i;
                } else if (c == '{') {
                    nesting.push_back({'I', value_depth});
                    key_depth = 0;
                    mode = Mode::Key;
                    ++i;
                } else if (c == ']' && !nesting.empty() && nesting.back().kind == 'A') {
                    close();
                    ++i;
                } else {
                    std::size_t j = i;
                    while (j < n) {
                        const char d = text[j];
                        if (d == ' ' || d == '\t' || d == '\r' || d == '\n' || d == ',' || d == ']' || d == '}' ||
                            d == '#')
                            break;
                        ++j;
                    }
                    if (j == i) ++j;
                    // No literal shorter than "0x8000000000000000" lies
                    // beyond the signed range.
                    if (j - i >= 18) {
                        const LiteralValue v = evaluate_integer_literal(text.substr(i, j - i));
                        if (v.fit == LiteralFit::Unsigned) out.literals.push_back({i, j, v.magnitude});
                    }
                    i = j;
                    mode = Mode::After;
                }
                break;
            case Mode::After:
                if (c == ',' && !nesting.empty()) {
                    if (nesting.back().kind == 'A') {
                        mode = Mode::Value;
                        value_depth = nesting.back().depth;
                    } else {
                        mode = Mode::Key;
                        key_depth = 0;
                    }
                } else if ((c == ']' && !nesting.empty() && nesting.back().kind == 'A') ||
                           (c == '}' && !nesting.empty() && nesting.back().kind == 'I')) {
                    nesting.pop_back();
                    if (!nesting.empty() && nesting.back().kind == 'A') value_depth = nesting.back().depth;
                }
                ++i;
                break;
        }
    }
    return out;
}

// The literal that ends at byte offset `end` (the parser reports the point
// just after a literal it cannot represent).
std::size_t literal_start(std::string_view text, std::size_t end) {
    std::size_t b = end;
    while (b > 0) {
        const char c = text[b - 1];
        const bool part = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
                          c == '+' || c == '-' || c == '.';
        if (!part) break;
        --b;
    }
    return b;
}

// Position of byte offset `offset`, walking forward from (from_offset, from).
Position advance(std::string_view text, std::size_t from_offset, Position from, std::size_t offset) {
    Position p = from;
    std::size_t i = from_offset;
    while (i < offset) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            ++p.line;
            p.column = 1;
            ++i;
        } else if (c < 0x80) {
            ++i;
            ++p.column;
        } else {
            utf8::next(text, i);
            ++p.column;
        }
    }
    return p;
}

Position position_of(std::string_view text, std::size_t offset) { return advance(text, 0, Position{}, offset); }

LoadError syntax_error(std::string message, Span span) { return LoadError{std::move(message), span, {}, {}}; }

// ---------------------------------------------------------------------------
// The mapping of parsed values onto the records. It consumes the parsed
// tree: strings are moved out of it.
// ---------------------------------------------------------------------------

Span span_of(const toml::source_region& region) {
    return Span{Position{region.begin.line, region.begin.column}, Position{region.end.line, region.end.column}};
}

struct Context {
    const WideIntegers& wide;

    const WideInteger* wide_integer(const toml::node& node) const {
        if (wide.empty()) return nullptr;
        // A wide literal reads as 0 in the text parsed, so no other integer
        // needs looking up.
        if (const auto* integer = node.as_integer(); integer && integer->get() != 0) return nullptr;
        const auto& b = node.source().begin;
        return wide.find(b.line, b.column);
    }

    Span span(const toml::node& node) const {
        if (const WideInteger* w = wide_integer(node)) return w->span();
        return span_of(node.source());
    }
};

std::string escape_debug(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t start = i;
        const char32_t cp = utf8::next(s, i);
        switch (cp) {
            case '\0': out += "\\0"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            default:
                if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
                    static constexpr char hex[] = "0123456789abcdef";
                    out += "\\u{";
                    bool started = false;
                    for (int shift = 20; shift >= 0; shift -= 4) {
                        const unsigned d = (cp >> shift) & 0xF;
                        if (d || started || shift == 0) {
                            out += hex[d];
                            started = true;
                        }
                    }
                    out += '}';
                } else {
                    out.append(s.substr(start, i - start));
                }
        }
    }
    out += '"';
    return out;
}

// What the file holds, as named in type and value errors.
std::string found(const toml::node& node, const Context& ctx) {
    switch (node.type()) {
        case toml::node_type::string:
            return "string " + escape_debug(*node.value<std::string_view>());
        case toml::node_type::integer:
            if (const WideInteger* w = ctx.wide_integer(node)) return "integer `" + std::to_string(w->value) + "`";
            return "integer `" + std::to_string(*node.value<std::int64_t>()) + "`";
        case toml::node_type::floating_point:
            return "floating point `" + format_display_double(*node.value<double>()) + "`";
        case toml::node_type::boolean:
            return *node.value<bool>() ? "boolean `true`" : "boolean `false`";
        case toml::node_type::array:
            return "sequence";
        default:
            return "map";
    }
}

LoadError invalid_type(const toml::node& node, std::string_view expected, const Context& ctx) {
    return LoadError{"invalid type: " + found(node, ctx) + ", expected " + std::string(expected), ctx.span(node), {}, {}};
}

using MaybeError = std::optional<LoadError>;

// Integer value of a node: signed, or unsigned beyond the signed range.
struct IntegerValue {
    bool is_wide;
    std::int64_t value;
    std::uint64_t wide;
};

std::optional<IntegerValue> integer_of(const toml::node& node, const Context& ctx) {
    if (!node.is_integer()) return std::nullopt;
    if (const WideInteger* w = ctx.wide_integer(node)) return IntegerValue{true, 0, w->value};
    return IntegerValue{false, *node.value<std::int64_t>(), 0};
}

template <class Int>
MaybeError convert_integer(const toml::node& node, Int& out, std::string_view expected, const Context& ctx) {
    const auto iv = integer_of(node, ctx);
    if (!iv) return invalid_type(node, expected, ctx);
    bool fits;
    if (iv->is_wide) {
        fits = iv->wide <= static_cast<std::uint64_t>(std::numeric_limits<Int>::max());
        if (fits) out = static_cast<Int>(iv->wide);
    } else {
        fits = std::in_range<Int>(iv->value);
        if (fits) out = static_cast<Int>(iv->value);
    }
    if (!fits) {
        return LoadError{"invalid value: " + found(node, ctx) + ", expected " + std::string(expected), ctx.span(node),
                         {}, {}};
    }
    return std::nullopt;
}

// The parsed tree is discarded once mapped, and no node is read again after
// its own conversion, so a string is moved out of the tree rather than copied:
// a copy would hold every string twice at the peak and cost an allocation each.
MaybeError convert(toml::node& node, std::string& out, const Context& ctx) {
    if (auto* s = node.as_string()) {
        out = std::move(s->get());
        return std::nullopt;
    }
    return invalid_type(node, "a string", ctx);
}

MaybeError convert(toml::node& node, bool& out, const Context& ctx) {
    if (const auto* b = node.as_boolean()) {
        out = b->get();
        return std::nullopt;
    }
    return invalid_type(node, "a boolean", ctx);
}

MaybeError convert(toml::node& node, std::uint8_t& out, const Context& ctx) {
    return convert_integer(node, out, "u8", ctx);
}
MaybeError convert(toml::node& node, std::int32_t& out, const Context& ctx) {
    return convert_integer(node, out, "i32", ctx);
}
MaybeError convert(toml::node& node, std::uint64_t& out, const Context& ctx) {
    return convert_integer(node, out, "usize", ctx);
}

MaybeError convert(toml::node& node, float& out, const Context& ctx) {
    if (const auto* f = node.as_floating_point()) {
        out = static_cast<float>(f->get());
        return std::nullopt;
    }
    if (const auto iv = integer_of(node, ctx)) {
        out = iv->is_wide ? static_cast<float>(iv->wide) : static_cast<float>(iv->value);
        return std::nullopt;
    }
    return invalid_type(node, "f32", ctx);
}

template <class T>
MaybeError convert(toml::node& node, std::vector<T>& out, const Context& ctx);
template <class T>
MaybeError convert(toml::node& node, std::optional<T>& out, const Context& ctx);
template <class R>
    requires requires { R::fields(); }
MaybeError convert(toml::node& node, R& out, const Context& ctx);
MaybeError convert(toml::node& node, LoadConfig& out, const Context& ctx);

template <class T>
MaybeError convert(toml::node& node, std::vector<T>& out, const Context& ctx) {
    auto* arr = node.as_array();
    if (!arr) return invalid_type(node, "a sequence", ctx);
    std::vector<T> items;
    items.reserve(arr->size());
    for (toml::node& element : *arr) {
        T item{};
        if (auto err = convert(element, item, ctx)) return err;
        items.push_back(std::move(item));
    }
    out = std::move(items);
    return std::nullopt;
}

template <class T>
MaybeError convert(toml::node& node, std::optional<T>& out, const Context& ctx) {
    T value{};
    if (auto err = convert(node, value, ctx)) return err;
    out = std::move(value);
    return std::nullopt;
}

bool is_date_or_time(const toml::node& node) { return node.is_date() || node.is_time() || node.is_date_time(); }

// Maps the entries of `table` onto the record's keys; unknown keys are ignored.
template <class R>
MaybeError map_table(toml::table& table, R& out, const Context& ctx) {
    // The known keys are converted in the order the file gives them, so the
    // error reported is the first one in the file.
    struct Entry {
        toml::source_position at;
        std::size_t field;
        toml::node* value;
    };
    std::array<Entry, field_count<R>()> entries;
    std::size_t present = 0;
    for_each_field<R>([&](const auto& f, std::size_t index) {
        if (toml::node* value = table.get(f.key)) entries[present++] = Entry{value->source().begin, index, value};
    });
    std::sort(entries.begin(), entries.begin() + present, [](const Entry& a, const Entry& b) {
        return a.at.line != b.at.line ? a.at.line < b.at.line : a.at.column < b.at.column;
    });
    MaybeError err;
    for (std::size_t k = 0; k < present && !err; ++k) {
        any_field<R>([&](const auto& f, std::size_t index) {
            if (index != entries[k].field) return false;
            err = convert(*entries[k].value, f.get(out), ctx);
            if (err) err->path.insert(err->path.begin(), std::string(f.key));
            return true;
        });
    }
    return err;
}

// Maps the elements of `array`, from `first` on, onto the record's keys in
// declaration order; keys after the last element keep their defaults and
// elements beyond the last key are ignored.
template <class R>
MaybeError map_sequence(toml::array& array, std::size_t first, R& out, const Context& ctx) {
    MaybeError err;
    any_field<R>([&](const auto& f, std::size_t index) {
        if (first + index >= array.size()) return false;
        err = convert(*array.get(first + index), f.get(out), ctx);
        if (err) err->path.insert(err->path.begin(), std::string(f.key));
        return err.has_value();
    });
    return err;
}

template <class R>
    requires requires { R::fields(); }
MaybeError convert(toml::node& node, R& out, const Context& ctx) {
    if (auto* table = node.as_table()) return map_table(*table, out, ctx);
    if (auto* array = node.as_array()) return map_sequence(*array, 0, out, ctx);
    // A date-time reads as a table holding one unrecognised entry.
    if (is_date_or_time(node)) return std::nullopt;
    return invalid_type(node, "struct " + std::string(R::name), ctx);
}

MaybeError convert(toml::node& node, LoadConfig& out, const Context& ctx) {
    const Span whole = ctx.span(node);
    auto* table = node.as_table();
    auto* array = node.as_array();
    toml::node* tag = nullptr;
    if (table) {
        tag = table->get(LoadConfig::tag_key);
    } else if (array) {
        tag = array->empty() ? nullptr : array->get(0);
    } else if (!is_date_or_time(node)) {
        return invalid_type(node, "internally tagged enum LoadConfig", ctx);
    }
    if (!tag) return LoadError{"missing field `" + std::string(LoadConfig::tag_key) + "`", whole, {}, {}};
    const auto* tag_text = tag->as_string();
    if (!tag_text) {
        auto err = invalid_type(*tag, "variant identifier", ctx);
        err.path.insert(err.path.begin(), std::string(LoadConfig::tag_key));
        return err;
    }
    if (tag_text->get() != LoadConfig::onnx_tag) {
        LoadError err{"unknown variant `" + tag_text->get() + "`, expected `" + std::string(LoadConfig::onnx_tag) + "`",
                      ctx.span(*tag),
                      {std::string(LoadConfig::tag_key)},
                      {}};
        return err;
    }
    OnnxLoadConfig payload;
    MaybeError err = table ? map_table(*table, payload, ctx) : map_sequence(*array, 1, payload, ctx);
    if (err) {
        // The entries beside the tag are mapped apart from their source, so
        // their errors point at the load table as a whole.
        err->span = whole;
        return err;
    }
    out.source = std::move(payload);
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Checks for what the parser accepts beyond TOML 1.1.0.
// ---------------------------------------------------------------------------

bool is_bare_key_char(char32_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

bool plain_key(std::string_view key) {
    for (unsigned char c : key)
        if (!is_bare_key_char(c)) return false;
    return !key.empty();
}

// The text with the offsets at which its lines start, found on first use,
// and for long lines the offset of every 64th character, so that locating a
// position costs at most a short walk however long its line is and however
// many positions are looked up.
class LineIndex {
public:
    explicit LineIndex(std::string_view text) : text_(text) {}

    std::string_view text() const { return text_; }

    // The byte offset of a 1-based (line, column) position, columns counted
    // in characters; clamped to the end of its line and of the text.
    std::size_t offset_of(std::size_t line, std::size_t column) {
        if (starts_.empty()) {
            starts_.reserve(static_cast<std::size_t>(std::count(text_.begin(), text_.end(), '\n')) + 1);
            starts_.push_back(0);
            for (std::size_t nl = text_.find('\n'); nl != std::string_view::npos; nl = text_.find('\n', nl + 1))
                starts_.push_back(nl + 1);
        }
        const std::size_t index = line == 0 ? 0 : line - 1;
        if (index >= starts_.size()) return text_.size();
        const std::size_t start = starts_[index];
        const std::size_t end = index + 1 < starts_.size() ? starts_[index + 1] - 1 : text_.size();
        const std::string_view content = text_.substr(start, end - start);
        std::size_t skip = column == 0 ? 0 : column - 1;
        std::size_t from = 0;
        if (skip >= step && !content.empty()) {
            auto [it, fresh] = checkpoints_.try_emplace(index);
            if (fresh) {
                std::size_t i = 0;
                for (std::size_t n = 0; i < content.size(); ++n) {
                    if (n % step == 0) it->second.push_back(i);
                    utf8::next(content, i);
                }
            }
            const std::size_t k = std::min(skip / step, it->second.size() - 1);
            from = it->second[k];
            skip -= k * step;
        }
        std::size_t i = from;
        for (; skip > 0 && i < content.size(); --skip) utf8::next(content, i);
        return start + i;
    }

private:
    static constexpr std::size_t step = 64;
    std::string_view text_;
    std::vector<std::size_t> starts_;
    std::unordered_map<std::size_t, std::vector<std::size_t>> checkpoints_;
};

// A key whose name holds characters a bare key may not must have been quoted.
MaybeError check_key(LineIndex& lines, const toml::key& key) {
    if (plain_key(key.str())) return std::nullopt;
    const std::string_view text = lines.text();
    const auto& b = key.source().begin;
    std::size_t i = lines.offset_of(b.line, b.column);
    if (i >= text.size() || text[i] == '"' || text[i] == '\'') return std::nullopt;
    Position p{b.line, b.column};
    while (i < text.size()) {
        const std::size_t at = i;
        const char32_t c = utf8::next(text, i);
        if (!is_bare_key_char(c)) {
            return syntax_error("Error while parsing key: bare keys may only contain ASCII letters, digits, '-' "
                                "and '_', saw '" +
                                    std::string(text.substr(at, i - at)) + "'",
                                Span{p, p});
        }
        ++p.column;
    }
    return std::nullopt;
}

bool may_hold_hex_float(std::string_view text) {
    for (std::size_t i = text.find("0x"); i != std::string_view::npos; i = text.find("0x", i + 2)) {
        std::size_t j = i + 2;
        while (j < text.size() && (std::isxdigit(static_cast<unsigned char>(text[j])) || text[j] == '_')) ++j;
        if (j < text.size() && (text[j] == '.' || text[j] == 'p' || text[j] == 'P')) return true;
    }
    return false;
}

MaybeError check_float(LineIndex& lines, const toml::node& node) {
    const std::string_view text = lines.text();
    const auto& b = node.source().begin;
    std::size_t i = lines.offset_of(b.line, b.column);
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (text.substr(i, 2) == "0x") {
        const Position p{b.line, b.column};
        return syntax_error("Error while parsing floating-point: hexadecimal floats are not allowed", Span{p, p});
    }
    return std::nullopt;
}

MaybeError check_extensions(std::string_view text, const toml::table& root) {
    const bool check_floats = may_hold_hex_float(text);
    LineIndex lines(text);
    // Recursion is safe: documents nested deeper than max_depth never get here.
    MaybeError err;
    auto visit = [&](auto& self, const toml::node& node) -> bool {
        if (const auto* table = node.as_table()) {
            for (const auto& [key, value] : *table) {
                if ((err = check_key(lines, key))) return true;
                if (self(self, value)) return true;
            }
        } else if (const auto* array = node.as_array()) {
            for (const auto& element : *array)
                if (self(self, element)) return true;
        } else if (check_floats && node.is_floating_point()) {
            if ((err = check_float(lines, node))) return true;
        }
        return false;
    };
    visit(visit, root);
    return err;
}

// ---------------------------------------------------------------------------
// Parsing.
// ---------------------------------------------------------------------------

struct Parsed {
    toml::table root;
    WideIntegers wide;
};

bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// The parser builds and tears down nested tables and arrays recursively, so a
// document nested deep enough (a dotted key of 100,000 parts) would exhaust
// the stack of the calling thread. Such documents are refused up front.
constexpr std::size_t max_depth = 4096;

// A bound on the nesting depth from the dots alone. Arrays and inline tables
// nest at most TOML_MAX_NESTED_VALUES deep in the parser; every other level
// takes a dot, and the dots of one key or header stand on one line. With at
// most d dots on any line, a header opens at most d + 2 levels and the key at
// each of the (nested values + 1) inline levels adds at most d + 1.
constexpr std::size_t depth_bound(std::size_t dots_per_line) {
    constexpr std::size_t values = TOML_MAX_NESTED_VALUES;
    return (dots_per_line + 2) + (values + 1) * (dots_per_line + 1) + values;
}

std::size_t most_dots_on_a_line(std::string_view text) {
    std::size_t most = 0;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        most = std::max(most, static_cast<std::size_t>(std::count(text.begin(), text.begin() + end, '.')));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return most;
}

std::optional<LoadError> check_depth(std::string_view text) {
    // Cheap tests first: a typical file settles it by counting dots.
    const auto dots = static_cast<std::size_t>(std::count(text.begin(), text.end(), '.'));
    if (depth_bound(dots) <= max_depth || depth_bound(most_dots_on_a_line(text)) <= max_depth) return std::nullopt;
    const Scan scan = scan_document(text);
    if (scan.depth <= max_depth) return std::nullopt;
    const Position at = position_of(text, scan.depth_offset);
    return syntax_error("Error while parsing key: tables and arrays may nest at most " + std::to_string(max_depth) +
                            " levels deep",
                        Span{at, at});
}

std::variant<Parsed, LoadError> parse_document(std::string_view text) {
    if (auto err = check_depth(text)) return std::move(*err);
    std::string patched;  // the text with wide literals blanked out, once needed
    WideIntegers wide;
    auto patch = [&](std::size_t begin, std::size_t end, std::uint64_t value, Position at) {
        patched[begin] = '0';
        for (std::size_t k = begin + 1; k < end; ++k) patched[k] = ' ';
        wide.add(WideInteger{at.line, at.column, end - begin, value});
    };

    for (;;) {
        const std::string_view source = patched.empty() ? text : std::string_view(patched);
        try {
            return Parsed{toml::parse(source), std::move(wide)};
        } catch (const toml::parse_error& e) {
            const std::string_view description = e.description();
            const auto& at = e.source().begin;
            const Position pos{at.line, at.column};
            const bool integer_range = ends_with(description, "is not representable in 64 bits");
            const bool float_value = description.starts_with("Error while parsing floating-point:") &&
                                     ends_with(description, "could not be interpreted as a value");
            if (integer_range || float_value) {
                const std::size_t end = LineIndex(source).offset_of(pos.line, pos.column);
                const std::size_t begin = literal_start(source, end);
                const Position start = position_of(source, begin);
                const Span literal{start, pos};
                const std::string_view token = source.substr(begin, end - begin);
                if (float_value) {
                    std::string digits;
                    for (char c : token)
                        if (c != '_') digits += c;
                    errno = 0;
                    const double v = std::strtod(digits.c_str(), nullptr);
                    if (errno == ERANGE && std::isinf(v)) return syntax_error("floating-point number overflowed", literal);
                } else {
                    const LiteralValue v = evaluate_integer_literal(token);
                    if (v.fit == LiteralFit::Neither) return syntax_error("integer number overflowed", literal);
                    if (v.fit == LiteralFit::Unsigned && !wide.find(start.line, start.column)) {
                        if (patched.empty()) {
                            patched.assign(text);
                            // Blank out every such literal at once, so a file
                            // with many of them is parsed twice, not once per
                            // literal.
                            Position cursor{};
                            std::size_t cursor_offset = 0;
                            const std::vector<Literal> literals = scan_document(text).literals;
                            wide.reserve(literals.size() + 1);
                            for (const Literal& lit : literals) {
                                cursor = advance(text, cursor_offset, cursor, lit.begin);
                                cursor_offset = lit.begin;
                                patch(lit.begin, lit.end, lit.value, cursor);
                            }
                        }
                        if (!wide.find(start.line, start.column)) patch(begin, end, v.magnitude, start);
                        continue;
                    }
                }
            }
            return syntax_error(std::string(description), Span{pos, pos});
        } catch (const detail::TomlUnreachable& e) {
            return syntax_error(e.what(), Span{});
        }
    }
}

}  // namespace

LoadResult parse_configuration(std::string_view text) {
    // A byte-order mark is no part of the document. The parser skips it
    // without counting a column, while positions worked out here from the
    // text would count it; dropping it first keeps every position, and the
    // line shown in an error, in one frame.
    constexpr std::string_view bom = "\xEF\xBB\xBF";
    if (text.starts_with(bom)) text.remove_prefix(bom.size());
    // The parser would skip a second one as well.
    auto parsed = text.starts_with(bom)
                      ? std::variant<Parsed, LoadError>(syntax_error(
                            "Error while parsing: a byte-order mark may only begin the document", Span{}))
                      : parse_document(text);
    if (auto* err = std::get_if<LoadError>(&parsed)) {
        err->text.assign(text);
        return std::move(*err);
    }
    Parsed& doc = std::get<Parsed>(parsed);
    if (auto err = check_extensions(text, doc.root)) {
        err->text.assign(text);
        return std::move(*err);
    }
    const Context ctx{doc.wide};
    Configuration configuration;
    MaybeError err = map_table(doc.root, configuration, ctx);
    if (err) {
        err->text.assign(text);
        return std::move(*err);
    }
    return configuration;
}

}  // namespace vora
