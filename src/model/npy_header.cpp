#include "model/npy_header.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <map>

namespace vora::model {

namespace {

// ---- a Python literal, as ast.literal_eval reads it -----------------------

struct Value {
    enum class Kind : std::uint8_t {
        str,
        bytes,
        integer,
        boolean,
        none,
        real,
        complex,
        ellipsis,
        tuple,
        list,
        dict,
        set
    };
    Kind kind = Kind::none;
    std::string text;             // str (UTF-8) or bytes
    bool negative = false;        // integer
    bool huge = false;            // an integer past 2^64 - 1
    std::uint64_t magnitude = 0;  // integer; boolean 0 or 1
    std::vector<Value> items;     // tuple, list, set; a dict's keys and values in turn
    std::size_t begin = 0, end = 0;

    bool is_int() const { return kind == Kind::integer; }
    bool is_number() const { return kind == Kind::integer || kind == Kind::real || kind == Kind::complex; }
    bool hashable() const {
        if (kind == Kind::list || kind == Kind::dict || kind == Kind::set) return false;
        return std::all_of(items.begin(), items.end(), [](const Value& v) { return v.hashable(); });
    }
};

void put_utf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
        return;
    }
    if (c < 0x800) {
        out += static_cast<char>(0xc0 | (c >> 6));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xe0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    }
    out += static_cast<char>(0x80 | (c & 0x3f));
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_name_char(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
}
int hex_value(char c) {
    if (is_digit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

class Parser {
public:
    // `drop_long`: a name `L` right after a number is dropped, as numpy
    // does for the headers of format versions 1 and 2 that Python 2 wrote.
    Parser(std::string_view text, bool drop_long) : s_(text), drop_long_(drop_long) {}

    bool parse(Value& out, std::string& reason) {
        const bool no_nul = s_.find('\0') == std::string_view::npos || fail("a NUL character");
        const bool ok = no_nul && start() && value(out) && finish();
        if (!ok) reason = "the header is no Python literal (" + (why_.empty() ? "a syntax error" : why_) + ")";
        return ok;
    }

private:
    static constexpr int max_depth = 200;  // Python's parser refuses deeper brackets

    bool fail(const char* why) {
        if (why_.empty()) why_ = why;
        return false;
    }
    bool at_end() const { return i_ >= s_.size(); }
    char peek(std::size_t ahead = 0) const { return i_ + ahead < s_.size() ? s_[i_ + ahead] : '\0'; }
    bool newline(char c) const { return c == '\n' || c == '\r'; }

    // Spaces, comments and line continuations; line ends too inside brackets.
    bool skip() {
        while (!at_end()) {
            const char c = s_[i_];
            if (c == ' ' || c == '\t' || c == '\f' || (depth_ > 0 && newline(c))) {
                ++i_;
            } else if (c == '#') {
                while (!at_end() && !newline(s_[i_])) ++i_;
            } else if (c == '\\') {
                if (!newline(peek(1))) return fail("a stray backslash");
                i_ += peek(1) == '\r' && peek(2) == '\n' ? 3 : 2;
            } else {
                break;
            }
        }
        return true;
    }
    // Leading spaces and tabs go (literal_eval strips them), then blank
    // lines; the first line with a token may not be indented.
    bool start() {
        while (peek() == ' ' || peek() == '\t') ++i_;
        std::size_t line = i_;
        for (;;) {
            if (!skip()) return false;
            if (at_end() || !newline(s_[i_])) break;
            ++i_;
            line = i_;
        }
        const std::size_t feed = s_.substr(line, i_ - line).rfind('\f');  // a form feed starts the column anew
        if (feed != std::string_view::npos) line += feed + 1;
        return i_ == line || fail("an unexpected indent");
    }
    bool finish() {
        for (;;) {
            if (!skip()) return false;
            if (at_end()) return true;
            if (!newline(s_[i_])) return fail("text after the literal");
            ++i_;
        }
    }

    // A literal, a signed number, or a real plus or minus an imaginary number.
    bool value(Value& out) {
        const std::size_t begin = i_;
        if (peek() == '-' || peek() == '+') {
            const bool minus = s_[i_++] == '-';
            if (!skip() || !atom(out)) return false;
            if (!out.is_number()) return fail("a sign before something other than a number");
            if (minus && out.is_int()) out.negative = !out.negative && (out.magnitude != 0 || out.huge);
        } else if (!atom(out)) {
            return false;
        }
        out.begin = begin;
        out.end = i_;
        if (!skip()) return false;
        if (peek() != '+' && peek() != '-') return true;
        if (out.kind != Value::Kind::integer && out.kind != Value::Kind::real) return fail("arithmetic");
        ++i_;
        Value right;
        if (!skip() || !atom(right) || right.kind != Value::Kind::complex) return fail("arithmetic");
        out.kind = Value::Kind::complex;
        out.end = i_;
        if (!skip()) return false;
        return (peek() != '+' && peek() != '-') || fail("arithmetic");
    }

    bool atom(Value& out) {
        const char c = peek();
        out.begin = i_;
        if (c == '(' || c == '[' || c == '{') return brackets(out);
        if (c == '\'' || c == '"') return strings(out);
        if (is_digit(c) || (c == '.' && is_digit(peek(1)))) return number(out);
        if (c == '.' && peek(1) == '.' && peek(2) == '.') {
            i_ += 3;
            out.kind = Value::Kind::ellipsis;
            return true;
        }
        if (!is_name_char(c)) return fail("an unexpected character");
        std::size_t n = 0;
        while (is_name_char(peek(n))) ++n;
        const std::string_view name = s_.substr(i_, n);
        if (peek(n) == '\'' || peek(n) == '"') return strings(out);
        i_ += n;
        if (name == "True" || name == "False") {
            out.kind = Value::Kind::boolean;
            out.magnitude = name == "True";
        } else if (name == "None") {
            out.kind = Value::Kind::none;
        } else {
            return fail("a name");
        }
        return true;
    }

    bool brackets(Value& out) {
        const char open = s_[i_++];
        const char close = open == '(' ? ')' : open == '[' ? ']' : '}';
        if (++depth_ > max_depth) return fail("too many nested brackets");
        out.kind = open == '(' ? Value::Kind::tuple : open == '[' ? Value::Kind::list : Value::Kind::dict;
        bool comma = false;
        for (;;) {
            if (!skip()) return false;
            if (peek() == close) break;
            if (at_end()) return fail("an unclosed bracket");
            Value item;
            if (!value(item)) return false;
            if (open == '{') {
                if (out.items.empty()) out.kind = peek() == ':' ? Value::Kind::dict : Value::Kind::set;
                if (!item.hashable()) return fail("an unhashable key");
                if (out.kind == Value::Kind::dict) {
                    if (peek() != ':') return fail("a key without a value");
                    ++i_;
                    out.items.push_back(std::move(item));
                    if (!skip() || !value(item)) return false;
                }
            }
            out.items.push_back(std::move(item));
            if (peek() == close) break;
            if (at_end()) return fail("an unclosed bracket");
            if (peek() != ',') return fail("a missing comma");
            ++i_;
            comma = true;
        }
        ++i_;
        --depth_;
        if (open == '(' && out.items.size() == 1 && !comma) {
            Value inner = std::move(out.items[0]);  // a parenthesized value, no tuple
            out = std::move(inner);
        }
        return true;
    }

    // Adjacent string literals, joined; str and bytes do not mix.
    bool strings(Value& out) {
        bool first = true;
        for (;;) {
            bool bytes = false;
            if (!string(out.text, bytes)) return false;
            const Value::Kind kind = bytes ? Value::Kind::bytes : Value::Kind::str;
            if (!first && kind != out.kind) return fail("str and bytes joined");
            out.kind = kind;
            first = false;
            const std::size_t here = i_;
            if (!skip()) return false;
            std::size_t n = 0;
            while (is_name_char(peek(n))) ++n;
            if (peek(n) != '\'' && peek(n) != '"') {
                i_ = here;
                return true;
            }
        }
    }

    bool string(std::string& out, bool& bytes) {
        bool raw = false;
        while (peek() != '\'' && peek() != '"') {
            const char p = static_cast<char>(s_[i_] | 0x20);
            if (p == 'r' && !raw) {
                raw = true;
            } else if (p == 'b' && !bytes) {
                bytes = true;
            } else if (p == 'u' && !raw && !bytes && (peek(1) == '\'' || peek(1) == '"')) {
            } else {
                return fail(p == 'f' ? "a formatted string" : "an unknown string prefix");
            }
            ++i_;
        }
        const char quote = s_[i_];
        const bool triple = peek(1) == quote && peek(2) == quote;
        i_ += triple ? 3 : 1;
        for (;;) {
            if (at_end()) return fail("an unterminated string");
            const char c = s_[i_];
            if (c == quote && (!triple || (peek(1) == quote && peek(2) == quote))) {
                i_ += triple ? 3 : 1;
                return true;
            }
            if (newline(c) && !triple) return fail("an unterminated string");
            if (bytes && static_cast<unsigned char>(c) >= 0x80) return fail("a non-ASCII character in bytes");
            if (c != '\\' || raw) {
                out += c;
                if (c == '\\' && i_ + 1 < s_.size()) out += s_[++i_];
                ++i_;
                continue;
            }
            if (!escape(out, bytes)) return false;
        }
    }

    bool escape(std::string& out, bool bytes) {
        const char c = peek(1);
        i_ += 2;
        auto put = [&](std::uint32_t v) {
            if (bytes)
                out += static_cast<char>(v & 0xff);
            else
                put_utf8(out, v);
            return true;
        };
        switch (c) {
            case '\n': return true;
            case '\r':
                if (peek() == '\n') ++i_;
                return true;
            case '\\':
            case '\'':
            case '"': return put(static_cast<std::uint32_t>(c));
            case 'a': return put(7);
            case 'b': return put(8);
            case 'f': return put(12);
            case 'n': return put(10);
            case 'r': return put(13);
            case 't': return put(9);
            case 'v': return put(11);
            default: break;
        }
        if (c >= '0' && c <= '7') {
            std::uint32_t v = static_cast<std::uint32_t>(c - '0');
            for (int k = 0; k < 2 && peek() >= '0' && peek() <= '7'; ++k) {
                v = v * 8 + static_cast<std::uint32_t>(s_[i_++] - '0');
            }
            return put(v);
        }
        const int digits = c == 'x' ? 2 : bytes ? 0 : c == 'u' ? 4 : c == 'U' ? 8 : 0;
        if (c == 'N' && !bytes) return fail("a named escape");
        if (digits == 0) {
            out += '\\';
            --i_;  // an unknown escape keeps its backslash; the character is read again
            return true;
        }
        std::uint32_t v = 0;
        for (int k = 0; k < digits; ++k) {
            const int h = hex_value(peek());
            if (h < 0) return fail("a truncated escape");
            v = v * 16 + static_cast<std::uint32_t>(h);
            ++i_;
        }
        return v <= 0x10ffff ? put(v) : fail("an escape past U+10FFFF");
    }

    // Digits with single underscores between them; at least one digit.
    bool digits(int base) {
        auto ok = [&](char c) {
            return base == 16 ? hex_value(c) >= 0 : c >= '0' && c < static_cast<char>('0' + base);
        };
        if (!ok(peek())) return false;
        while (ok(peek()) || (peek() == '_' && ok(peek(1)))) ++i_;
        return peek() != '_';
    }

    bool number(Value& out) {
        const std::size_t begin = i_;
        int base = 10;
        if (peek() == '0' && std::string_view("xXoObB").find(peek(1)) != std::string_view::npos) {
            const char p = static_cast<char>(peek(1) | 0x20);
            base = p == 'x' ? 16 : p == 'o' ? 8 : 2;
            i_ += 2;
            if (peek() == '_') ++i_;
            if (!digits(base)) return fail("a malformed number");
            out.kind = Value::Kind::integer;
        } else {
            if (is_digit(peek()) && !digits(10)) return fail("a malformed number");
            out.kind = Value::Kind::integer;
            if (peek() == '.') {
                ++i_;
                if (is_digit(peek()) && !digits(10)) return fail("a malformed number");
                out.kind = Value::Kind::real;
            }
            const bool sign = (peek(1) == '+' || peek(1) == '-') && is_digit(peek(2));
            if ((peek() == 'e' || peek() == 'E') && (is_digit(peek(1)) || sign)) {
                i_ += is_digit(peek(1)) ? 1 : 2;
                if (!digits(10)) return fail("a malformed number");
                out.kind = Value::Kind::real;
            }
            if (peek() == 'j' || peek() == 'J') {
                ++i_;
                out.kind = Value::Kind::complex;
            }
        }
        if (out.kind == Value::Kind::integer) {
            if (!integer(s_.substr(begin, i_ - begin), base, out)) return false;
        }
        return after_number();
    }

    bool integer(std::string_view text, int base, Value& out) {
        if (base != 10) text.remove_prefix(2);
        if (base == 10 && text.size() > 1 && text[0] == '0' && text.find_first_not_of("0_") != std::string_view::npos) {
            return fail("a leading zero");
        }
        for (const char c : text) {
            if (c == '_') continue;
            const auto d = static_cast<std::uint64_t>(hex_value(c));
            const auto b = static_cast<std::uint64_t>(base);
            if (out.magnitude > (UINT64_MAX - d) / b) out.huge = true;
            out.magnitude = out.magnitude * b + d;
        }
        return true;
    }

    // A number runs into no name, bar the `L` that may be dropped.
    bool after_number() {
        std::size_t n = 0;
        if (drop_long_) {
            while (peek(n) == ' ' || peek(n) == '\t') ++n;
            if (peek(n) == 'L' && !is_name_char(peek(n + 1))) {
                i_ += n + 1;
                return true;
            }
        }
        return !is_name_char(peek()) || fail("a malformed number");
    }

    std::string_view s_;
    bool drop_long_;
    std::size_t i_ = 0;
    int depth_ = 0;
    std::string why_;
};

// ---- dtypes, as numpy.dtype builds them from a header's descr ---------------

// The names numpy.dtype takes for a type (without a byte order).
constexpr std::array<std::string_view, 52> type_names = {
    "bool",       "bool_",      "byte",      "bytes",   "bytes_",     "cdouble",     "clongdouble", "complex",
    "complex128", "complex256", "complex64", "csingle", "datetime64", "double",      "float",       "float128",
    "float16",    "float32",    "float64",   "half",    "int",        "int16",       "int32",       "int64",
    "int8",       "int_",       "intc",      "intp",    "long",       "longdouble",  "longlong",    "object",
    "object_",    "short",      "single",    "str",     "str_",       "timedelta64", "ubyte",       "uint",
    "uint16",     "uint32",     "uint64",    "uint8",   "uintc",      "uintp",       "ulong",       "ulonglong",
    "unicode",    "ushort",     "void",      "a"};

// The sizes a type character takes after it ("" for none); S, U, V and a
// take any count up to their limit instead.
std::string_view sizes_of(char c) {
    switch (c) {
        case 'b': return ",1";
        case 'c': return ",8,16,32";
        case 'f': return ",2,4,8,16";
        case 'i': return ",1,2,4,8";
        case 'u': return "1,2,4,8";
        case 'm':
        case 'M': return ",8";
        case 'O': return ",4,8";
        case 'd':
        case 'e':
        case 'g':
        case 'h':
        case 'l':
        case 'n':
        case 'p':
        case 'q':
        case 'B':
        case 'D':
        case 'F':
        case 'G':
        case 'H':
        case 'I':
        case 'L':
        case 'N':
        case 'P':
        case 'Q':
        case '?':
        case 'T': return "";
        default: return "-";  // no type
    }
}

bool all_digits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return is_digit(c); });
}

// The value of decimal digits, capped just past 2^32.
std::uint64_t count_of(std::string_view digits) {
    std::uint64_t v = 0;
    for (const char c : digits) v = std::min<std::uint64_t>(v * 10 + static_cast<std::uint64_t>(c - '0'), 1ull << 33);
    return v;
}

// A datetime unit in brackets: [generic], or [N]unit[/M].
bool valid_time_unit(std::string_view s) {
    if (s.empty()) return true;
    if (s.size() < 3 || s.front() != '[' || s.back() != ']') return false;
    s = s.substr(1, s.size() - 2);
    if (s == "generic") return true;
    std::size_t i = 0;
    while (i < s.size() && is_digit(s[i])) ++i;
    std::size_t unit_end = s.find('/', i);
    if (unit_end != std::string_view::npos && !all_digits(s.substr(unit_end + 1))) return false;
    const std::string_view unit = s.substr(i, unit_end == std::string_view::npos ? unit_end : unit_end - i);
    for (const std::string_view known :
         {"Y", "M", "W", "D", "h", "m", "s", "ms", "us", "\xce\xbcs", "ns", "ps", "fs", "as"}) {
        if (unit == known) return true;
    }
    return false;
}

// One type: an optional byte order, then a character and its size, or a
// name (without byte order).
bool valid_simple_type(std::string_view s, bool& objects) {
    for (const std::string_view name : type_names) {
        if (s == name) {
            objects = objects || name == "object" || name == "object_";
            return true;
        }
    }
    for (const std::string_view name : {"datetime64", "timedelta64"}) {
        if (s.starts_with(name) && valid_time_unit(s.substr(name.size()))) return true;
    }
    if (!s.empty() && std::string_view("<>|=").find(s[0]) != std::string_view::npos) s.remove_prefix(1);
    if (s.empty()) return false;
    const char c = s[0];
    std::string_view size = s.substr(1);
    if (c == 'm' || c == 'M') {
        const std::size_t bracket = size.find('[');
        const bool unit = bracket != std::string_view::npos;
        if (unit && (bracket != 1 || size[0] != '8' || !valid_time_unit(size.substr(bracket)))) {
            return false;
        }
        size = size.substr(0, bracket);
    }
    if (c == 'S' || c == 'a' || c == 'V' || c == 'U') {
        const std::uint64_t limit = c == 'U' ? 536870911 : 2147483647;
        return size.empty() || (all_digits(size) && count_of(size) <= limit);
    }
    const std::string_view sizes = sizes_of(c);
    if (sizes == "-" || (!size.empty() && !all_digits(size))) return false;
    if (c == 'O' || c == 'T') objects = true;
    if (size.empty()) return sizes.empty() || sizes[0] == ',';
    const std::string value = std::to_string(count_of(size));
    std::size_t from = 0;
    while (from <= sizes.size()) {
        const std::size_t comma = std::min(sizes.find(',', from), sizes.size());
        if (sizes.substr(from, comma - from) == value) return true;
        from = comma + 1;
    }
    return false;
}

bool valid_dims(const Value& v);
bool comma_form(std::string_view s);

// The bytes an element of a single type takes, as far as a type character
// and its size tell (1 for a name or a comma form: no more than numpy's).
std::uint64_t item_size(std::string_view s) {
    if (comma_form(s)) return 1;
    if (!s.empty() && std::string_view("<>|=").find(s[0]) != std::string_view::npos) s.remove_prefix(1);
    if (s.empty() || (s.size() > 1 && !all_digits(s.substr(1)))) return 1;
    const char c = s[0];
    if (s.size() > 1) return std::max<std::uint64_t>(count_of(s.substr(1)) * (c == 'U' ? 4 : 1), 1);
    switch (c) {
        case 'd':
        case 'l':
        case 'n':
        case 'p':
        case 'q':
        case 'L':
        case 'N':
        case 'P':
        case 'Q':
        case 'm':
        case 'M':
        case 'F': return 8;
        case 'e':
        case 'h':
        case 'H': return 2;
        case 'f':
        case 'i':
        case 'I': return 4;
        case 'g':
        case 'D': return 16;
        case 'G': return 32;
        default: return 1;
    }
}

// Whether a subarray shape holds one element.
bool single_element_dims(const Value& v) {
    if (v.kind != Value::Kind::tuple) return v.magnitude == 1;
    return std::all_of(v.items.begin(), v.items.end(), [](const Value& d) { return d.magnitude == 1; });
}

// numpy's comma form: "f4, (2,3)i4", "3f8" (each type an optional byte
// order, an optional count or shape, another byte order, then a type).
bool valid_comma_string(std::string_view s, bool& objects, bool& single_element) {
    std::size_t i = 0;
    bool list = false;
    single_element = true;
    auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
    while (i < s.size()) {
        auto order = [&]() -> char {
            return i < s.size() && std::string_view("<>|=").find(s[i]) != std::string_view::npos ? s[i++] : '\0';
        };
        const char order1 = order();
        const std::size_t repeats_at = i;
        while (i < s.size() && s[i] == ' ') ++i;
        if (i < s.size() && s[i] == '(') ++i;
        while (i < s.size() && (s[i] == ' ' || s[i] == ',' || is_digit(s[i]))) ++i;
        if (i < s.size() && s[i] == ')') ++i;
        while (i < s.size() && s[i] == ' ') ++i;
        const std::string_view repeats = s.substr(repeats_at, i - repeats_at);
        const char order2 = order();
        const std::size_t type_at = i;
        auto type_char = [](char c) {
            return (is_name_char(c) && static_cast<unsigned char>(c) < 0x80) || c == '.' || c == '?';
        };
        while (i < s.size() && type_char(s[i])) ++i;
        if (i < s.size() && s[i] == '[') {
            std::size_t j = i + 1;
            while (j < s.size() && (std::isalnum(static_cast<unsigned char>(s[j])) || s[j] == ',' || s[j] == '.')) ++j;
            if (j > i + 1 && j < s.size() && s[j] == ']') i = j + 1;
        }
        std::string type(s.substr(type_at, i - type_at));
        if (i < s.size()) {
            std::size_t j = i;
            while (j < s.size() && is_space(s[j])) ++j;
            if (j == s.size()) {
                i = j;
            } else {
                if (s[j] != ',') return false;
                list = true;
                for (++j; j < s.size() && is_space(s[j]);) ++j;
                i = j;
            }
        }
        const char o1 = order1 == '=' ? '<' : order1, o2 = order2 == '=' ? '<' : order2;
        if (o1 && o2 && o1 != o2) return false;
        const char o = o1 ? o1 : o2;
        if (o == '>') type = ">" + type;
        if (!valid_simple_type(type, objects)) return false;
        if (!repeats.empty()) {
            Value shape;
            std::string ignored;
            if (!Parser(repeats, false).parse(shape, ignored) || !valid_dims(shape)) return false;
            single_element = list || single_element_dims(shape);
        }
    }
    return true;
}

// numpy takes the comma form for a string that starts with a count or
// holds a comma outside brackets.
bool comma_form(std::string_view s) {
    const bool order = !s.empty() && std::string_view("<>|=").find(s[0]) != std::string_view::npos;
    if ((!s.empty() && is_digit(s[0])) || (s.size() > 1 && order && is_digit(s[1]))) return true;
    if (s.starts_with("()") || (s.size() > 3 && order && s.substr(1, 2) == "()")) return true;
    int brackets = 0;
    for (const char c : s) {
        if (c == ',' && brackets == 0) return true;
        brackets += c == '[' ? 1 : c == ']' ? -1 : 0;
    }
    return false;
}

// A subarray shape: a count or a tuple of counts (no bools).
bool valid_dims(const Value& v) {
    auto count = [](const Value& d) { return d.is_int() && !d.negative && !d.huge && d.magnitude <= INT32_MAX; };
    if (v.kind == Value::Kind::tuple) return std::all_of(v.items.begin(), v.items.end(), count);
    return count(v);
}

struct DescrCheck {
    bool objects = false;
    bool single_element = true;  // at the top: no subarray, or one of a single element
};

bool valid_descr(const Value& v, DescrCheck& check);

bool plain_void(const Value& v) {
    if (v.kind != Value::Kind::str) return false;
    std::string_view s = v.text;
    if (s == "void") return true;
    if (!s.empty() && std::string_view("<>|=").find(s[0]) != std::string_view::npos) s.remove_prefix(1);
    return !s.empty() && s[0] == 'V' && (s.size() == 1 || all_digits(s.substr(1)));
}

// A structured descr: fields (name, descr) or (name, descr, shape), a name
// a str or a (title, name) pair; names and titles all different.
bool valid_fields(const Value& v, DescrCheck& check) {
    std::vector<std::string> taken;
    auto take = [&](const std::string& name) {
        if (std::find(taken.begin(), taken.end(), name) != taken.end()) return false;
        taken.push_back(name);
        return true;
    };
    for (const Value& field : v.items) {
        if (field.kind != Value::Kind::tuple && field.kind != Value::Kind::list) return false;
        if (field.items.size() != 2 && field.items.size() != 3) return false;
        const Value* name = &field.items[0];
        const Value* title = nullptr;
        if (name->kind == Value::Kind::tuple) {
            if (name->items.size() != 2) return false;
            title = &name->items[0];
            name = &name->items[1];
        }
        if (name->kind != Value::Kind::str) return false;
        if (!valid_descr(field.items[1], check)) return false;
        if (field.items.size() == 3 && !valid_dims(field.items[2])) return false;
        if (name->text.empty() && !title && field.items.size() == 2 && plain_void(field.items[1])) continue;  // padding
        if (!take(name->text)) return false;
        if (title && title->kind == Value::Kind::str && !take(title->text)) return false;
    }
    return true;
}

bool valid_descr(const Value& v, DescrCheck& check) {
    switch (v.kind) {
        case Value::Kind::str: {
            bool single = true;
            const bool valid = comma_form(v.text) ? valid_comma_string(v.text, check.objects, single)
                                                  : valid_simple_type(v.text, check.objects);
            check.single_element = check.single_element && single;
            return valid;
        }
        case Value::Kind::list: {
            DescrCheck fields;
            const bool valid = valid_fields(v, fields);
            check.objects = check.objects || fields.objects;
            return valid;
        }
        case Value::Kind::tuple:
            if (v.items.size() < 2 || !valid_descr(v.items[0], check) || !valid_dims(v.items[1])) return false;
            check.single_element = check.single_element && single_element_dims(v.items[1]);
            return true;
        default: return false;
    }
}

HeaderVerdict bad(std::string& reason, std::string text) {
    reason = std::move(text);
    return HeaderVerdict::bad;
}

HeaderVerdict read_shape(const Value& v, std::vector<std::uint64_t>& out, std::string& reason) {
    if (v.kind != Value::Kind::tuple) return bad(reason, "the header's shape is not a tuple of integers");
    if (v.items.size() > max_header_dims) {
        return bad(reason, "the header's shape has more than " + std::to_string(max_header_dims) + " dimensions");
    }
    // numpy makes no array whose dimensions other than 0 multiply past
    // 2^63 - 1 (elements, or bytes: this counts a byte an element).
    std::uint64_t elements = 1;
    for (const Value& d : v.items) {
        if (!d.is_int()) return bad(reason, "the header's shape is not a tuple of integers");
        if (d.negative) return bad(reason, "the header's shape has a negative dimension");
        if (d.huge || d.magnitude > INT64_MAX) return bad(reason, "a dimension of the header's shape is too large");
        if (d.magnitude != 0 && elements > INT64_MAX / d.magnitude) {
            return bad(reason, "the header's shape has more than 2^63 - 1 elements");
        }
        elements *= d.magnitude != 0 ? d.magnitude : 1;
        out.push_back(d.magnitude);
    }
    return HeaderVerdict::ok;
}

}  // namespace

bool valid_type_string(std::string_view s, bool& objects) {
    bool single = true;
    return comma_form(s) ? valid_comma_string(s, objects, single) : valid_simple_type(s, objects);
}

HeaderVerdict parse_header_text(std::string_view text, unsigned version, HeaderFields& out, std::string& reason) {
    Value top;
    if (!Parser(text, version <= 2).parse(top, reason)) return HeaderVerdict::bad;
    if (top.kind != Value::Kind::dict) return bad(reason, "the header is not a dictionary");
    std::map<std::string, const Value*> fields;
    for (std::size_t i = 0; i < top.items.size(); i += 2) {
        const Value& key = top.items[i];
        if (key.kind != Value::Kind::str) return bad(reason, "a key of the header is not a string");
        if (key.text != "descr" && key.text != "fortran_order" && key.text != "shape") {
            return bad(reason, "the header has an unexpected key '" + key.text + "'");
        }
        fields[key.text] = &top.items[i + 1];  // the last of a repeated key holds
    }
    for (const char* key : {"descr", "fortran_order", "shape"}) {
        if (!fields.count(key)) return bad(reason, std::string("the header has no ") + key);
    }
    HeaderFields parsed;
    if (const HeaderVerdict v = read_shape(*fields["shape"], parsed.shape, reason); v != HeaderVerdict::ok) return v;
    const Value& fortran = *fields["fortran_order"];
    if (fortran.kind != Value::Kind::boolean) return bad(reason, "the header's fortran_order is not True or False");
    parsed.fortran_order = fortran.magnitude != 0;
    const Value& descr = *fields["descr"];
    const bool str = descr.kind == Value::Kind::str;
    parsed.dtype = str ? descr.text : std::string(text.substr(descr.begin, descr.end - descr.begin));
    const std::string shown = str ? "'" + parsed.dtype + "'" : parsed.dtype;
    DescrCheck check;
    if (!valid_descr(descr, check)) return bad(reason, "the header's descr " + shown + " is not a dtype numpy knows");
    // numpy.load reads an array of a subarray dtype as an array of its
    // base type, which holds more (or fewer) elements than the header says.
    const bool empty = std::find(parsed.shape.begin(), parsed.shape.end(), 0) != parsed.shape.end();
    std::uint64_t elements = 1;
    for (const std::uint64_t d : parsed.shape) elements *= d != 0 ? d : 1;
    if (str && elements > INT64_MAX / item_size(parsed.dtype)) {
        return bad(reason, "the array would take more than 2^63 - 1 bytes");
    }
    if (!check.single_element && !empty) {
        return bad(reason, "numpy.load reads no array of the subarray descr " + shown +
                               " (its elements do not match the shape)");
    }
    if (check.objects) {
        reason = "the array holds Python objects (descr " + shown + "), which numpy.load reads only with allow_pickle";
        return HeaderVerdict::objects;
    }
    out = std::move(parsed);
    return HeaderVerdict::ok;
}

}  // namespace vora::model
