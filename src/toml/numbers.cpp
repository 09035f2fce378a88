// Numbers and date-times of the TOML reader: integers (decimal, hexadecimal,
// octal, binary), floats, and the four kinds of date and time.

#include <charconv>
#include <limits>
#include <string>
#include <system_error>

#include "toml/parser.hpp"

namespace vora::toml {

using namespace scan;

namespace {

bool leap_year(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
unsigned days_in_month(unsigned y, unsigned m) {
    static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap_year(y) ? 29 : days[m - 1];
}

// Whether `c` may follow a value on its line.
bool ends_value(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == ']' || c == '}' || c == '#';
}

// After the `e` of a plain decimal, at s[j]: an optional sign and at most
// four digits, added to `exponent`. Returns the end, or 0 when no digit
// follows.
std::size_t plain_exponent(const char* s, std::size_t j, std::size_t n, int& exponent) {
    const bool minus = j < n && s[j] == '-';
    if (j < n && (s[j] == '-' || s[j] == '+')) ++j;
    const std::size_t first = j;
    int written = 0;
    while (j < n && is_digit(s[j]) && j - first < 4) written = written * 10 + (s[j++] - '0');
    if (j == first) return 0;
    exponent += minus ? -written : written;
    return j;
}

// Whether a float that from_chars found out of range is too large (rather
// than too small to tell from zero): the decimal exponent of its first
// significant digit tells. `digits` is the number without underscores.
bool too_large(std::string_view digits) {
    const std::size_t mark = std::min(digits.find_first_of("eE"), digits.size());
    const std::string_view mantissa = digits.substr(0, mark);
    const auto point = static_cast<long long>(std::min(mantissa.find('.'), mantissa.size()));
    const auto first = static_cast<long long>(mantissa.find_first_of("123456789"));
    long long exponent = first < point ? point - first - 1 : point - first;
    long long written = 0;  // the exponent as written, capped far beyond any double
    for (char c : digits.substr(std::min(mark + 1, digits.size())))
        if (c != '-' && written < 100000000) written = written * 10 + (c - '0');
    exponent += digits.find('-', mark) != std::string_view::npos ? -written : written;
    return exponent > 0;
}

}  // namespace

// The common numbers without going through the general reading: digits
// without sign or underscores, of at most 18 significant digits, with an
// optional fraction and exponent, whose value is exact as an integer or
// takes one correctly rounded operation as a double (the mantissa below
// 2^53, the power of ten at most 22). Anything else is left to the general
// reading (no_node), and so is every error.
NodeId Parser::plain_decimal(std::size_t begin) {
    const char* s = s_.data();
    const std::size_t n = n_;
    std::size_t j = begin;
    std::uint64_t mantissa = 0;
    while (j < n && is_digit(s[j])) mantissa = mantissa * 10 + static_cast<unsigned>(s[j++] - '0');
    unsigned digits = static_cast<unsigned>(j - begin);
    if (digits == 0 || (s[begin] == '0' && digits > 1)) return no_node;
    int exponent = 0;
    bool is_float = false;
    if (j < n && s[j] == '.') {
        is_float = true;
        const std::size_t fraction = ++j;
        while (j < n && is_digit(s[j])) mantissa = mantissa * 10 + static_cast<unsigned>(s[j++] - '0');
        if (j == fraction) return no_node;
        digits += static_cast<unsigned>(j - fraction);
        exponent = -static_cast<int>(j - fraction);
    }
    if (digits > 18) return no_node;
    if (j < n && (s[j] == 'e' || s[j] == 'E')) {
        is_float = true;
        j = plain_exponent(s, j + 1, n, exponent);
        if (j == 0) return no_node;
    }
    if (j < n && !ends_value(s[j])) return no_node;
    if (!is_float) {
        const NodeId id = new_node(Type::Integer, span(begin, j));
        node(id).v.u = mantissa;
        pos_ = j;
        return id;
    }
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (mantissa > (std::uint64_t{1} << 53) || exponent < -22 || exponent > 22) return no_node;
    const double m = static_cast<double>(mantissa);
    const NodeId id = new_node(Type::Float, span(begin, j));
    node(id).v.f = exponent < 0 ? m / powers[-exponent] : m * powers[exponent];
    pos_ = j;
    return id;
}

NodeId Parser::parse_number_or_date() {
    const std::size_t begin = pos_;
    // Date-times start with four digits and `-`, times with two and `:`.
    if (begin + 4 < n_ && is_digit(s_[begin]) && is_digit(s_[begin + 1]) && is_digit(s_[begin + 2]) &&
        is_digit(s_[begin + 3]) && s_[begin + 4] == '-')
        return parse_date_time(begin, true);
    if (begin + 2 < n_ && is_digit(s_[begin]) && is_digit(s_[begin + 1]) && s_[begin + 2] == ':')
        return parse_date_time(begin, false);
    if (const NodeId id = plain_decimal(begin); id != no_node) return id;

    std::size_t i = begin;
    bool negative = false;
    const bool sign = s_[i] == '+' || s_[i] == '-';
    if (sign) {
        negative = s_[i] == '-';
        ++i;
    }
    if (s_.substr(i, 3) == "inf" || s_.substr(i, 3) == "nan") {
        const bool inf = s_[i] == 'i';
        pos_ = i + 3;
        const NodeId id = new_node(Type::Float, span(begin, pos_));
        double v = inf ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
        node(id).v.f = negative ? -v : v;
        return id;
    }
    if (!is_digit(peek(i))) expected(i, sign ? "a digit, `inf` or `nan` after the sign" : "a value");
    if (s_[i] == '0' && (peek(i + 1) == 'x' || peek(i + 1) == 'o' || peek(i + 1) == 'b'))
        return radix_integer(begin, i, sign);
    return decimal_number(begin, i, negative);
}

// The end of what was meant as one number literal, for the span of an error.
std::size_t Parser::literal_end(std::size_t from) const {
    std::size_t j = from;
    while (j < n_) {
        const char d = s_[j];
        if (is_hex(d) || is_ascii_letter(d) || d == '_' || d == '.' || d == '+' || d == '-')
            ++j;
        else
            break;
    }
    return j;
}

// The digits of a radix integer from s_[j], with `_` between digits; j ends
// after them.
std::uint64_t Parser::radix_digits(std::size_t& j, unsigned base, const char* what, bool& overflow) {
    std::uint64_t value = 0;
    bool any = false;
    for (;; ++j) {
        const char d = peek(j);
        if (d == '_') {
            if (!any || !(j + 1 < n_ && is_hex(s_[j + 1]) && hex_value(s_[j + 1]) < base))
                fail(j, std::string("invalid ") + what + " integer: `_` must stand between two digits");
            continue;
        }
        if (!is_hex(d) || hex_value(d) >= base) break;
        any = true;
        if (!overflow) {
            std::uint64_t shifted;
            if (__builtin_mul_overflow(value, std::uint64_t{base}, &shifted) ||
                __builtin_add_overflow(shifted, std::uint64_t{hex_value(d)}, &value))
                overflow = true;
        }
    }
    if (!any)
        fail(j, std::string("invalid ") + what + " integer: expected a digit after `0" + s_[j - 1] + "`, found " +
                    found(j));
    return value;
}

// Radix integers: 0x, 0o, 0b at s_[i], never signed.
NodeId Parser::radix_integer(std::size_t begin, std::size_t i, bool sign) {
    const char kind = s_[i + 1];
    const unsigned base = kind == 'x' ? 16 : kind == 'o' ? 8 : 2;
    const char* what = kind == 'x' ? "hexadecimal" : kind == 'o' ? "octal" : "binary";
    std::size_t j = i + 2;
    bool overflow = false;
    const std::uint64_t value = radix_digits(j, base, what, overflow);
    if (base == 16 && (peek(j) == '.' || peek(j) == 'p' || peek(j) == 'P'))
        fail(begin, "hexadecimal floats are not allowed", literal_end(j));
    if (sign) fail(begin, "a hexadecimal, octal or binary integer may not have a sign", i + 2);
    if (j < n_ && (is_hex(s_[j]) || is_ascii_letter(s_[j]) || s_[j] == '.'))
        fail(j, std::string("invalid ") + what + " integer: unexpected " + found(j));
    pos_ = j;
    if (overflow) fail(begin, "integer number overflowed", j);
    const NodeId id = new_node(Type::Integer, span(begin, pos_));
    node(id).v.u = value;
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) node(id).flags |= wide_integer;
    return id;
}

// A run of decimal digits from s_[j] with `_` between digits; j ends after
// it. `part` names it in messages.
void Parser::decimal_digits(std::size_t& j, const char* part, bool leading_zero_ok) {
    if (!is_digit(peek(j))) fail(j, std::string("invalid number: expected a digit ") + part + ", found " + found(j));
    const std::size_t first = j;
    for (;;) {
        if (is_digit(peek(j))) {
            ++j;
        } else if (peek(j) == '_') {
            if (!is_digit(peek(j + 1))) fail(j, "invalid number: `_` must stand between two digits");
            ++j;
        } else {
            break;
        }
    }
    if (!leading_zero_ok && s_[first] == '0' && j > first + 1)
        fail(first, "invalid number: leading zeros are not allowed", j);
}

// Decimal: the integer part at s_[i], then an optional fraction and exponent.
NodeId Parser::decimal_number(std::size_t begin, std::size_t i, bool negative) {
    std::size_t j = i;
    decimal_digits(j, "", false);
    const std::size_t int_end = j;
    bool is_float = false;
    if (peek(j) == '.') {
        is_float = true;
        ++j;
        decimal_digits(j, "after the decimal point", true);
    }
    if (peek(j) == 'e' || peek(j) == 'E') {
        is_float = true;
        ++j;
        if (peek(j) == '+' || peek(j) == '-') ++j;
        decimal_digits(j, "in the exponent", true);
    }
    if (j < n_) {
        const char d = s_[j];
        if (is_digit(d) || is_ascii_letter(d) || d == '_' || d == '.')
            fail(j, "invalid number: unexpected " + found(j));
        if ((d == ':' || d == '-') && !is_float)
            fail(j, "invalid number: unexpected " + found(j) + " (dates are written YYYY-MM-DD, times HH:MM)");
    }
    pos_ = j;
    if (!is_float) return decimal_integer(begin, i, int_end, negative);
    return decimal_float(begin, j, negative);
}

NodeId Parser::decimal_integer(std::size_t begin, std::size_t int_begin, std::size_t int_end, bool negative) {
    std::uint64_t value = 0;
    bool overflow = false;
    for (std::size_t k = int_begin; k < int_end; ++k) {
        if (s_[k] == '_') continue;
        std::uint64_t shifted;
        if (__builtin_mul_overflow(value, std::uint64_t{10}, &shifted) ||
            __builtin_add_overflow(shifted, std::uint64_t(s_[k] - '0'), &value)) {
            overflow = true;
            break;
        }
    }
    constexpr auto signed_max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (overflow || (negative && value > signed_max + 1)) fail(begin, "integer number overflowed", int_end);
    const NodeId id = new_node(Type::Integer, span(begin, int_end));
    detail::Node& nd = node(id);
    if (negative) {
        nd.v.i = value == signed_max + 1 ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(value);
    } else {
        nd.v.u = value;
        if (value > signed_max) nd.flags |= wide_integer;
    }
    return id;
}

// A float: the digits without underscores, read as the nearest double.
NodeId Parser::decimal_float(std::size_t begin, std::size_t end, bool negative) {
    scratch_.clear();
    // A '+' after the exponent mark is dropped; from_chars accepts "e5" and
    // "e-5" alike.
    for (std::size_t k = begin; k < end; ++k)
        if (s_[k] != '_' && s_[k] != '+') scratch_ += s_[k];
    double value = 0;
    const char* first = scratch_.data();
    const char* last = first + scratch_.size();
    const auto result = std::from_chars(first, last, value);
    if (result.ec == std::errc::result_out_of_range) {
        if (too_large(scratch_)) fail(begin, "floating-point number overflowed", end);
        value = negative ? -0.0 : 0.0;
    } else if (result.ec != std::errc() || result.ptr != last) {
        fail(begin, "invalid number", end);
    }
    const NodeId id = new_node(Type::Float, span(begin, end));
    node(id).v.f = value;
    return id;
}

// Two digits at s_[at], the `what` of a date or time.
unsigned Parser::two_digits(std::size_t at, const char* what) {
    if (!is_digit(peek(at)) || !is_digit(peek(at + 1))) {
        const std::size_t bad = is_digit(peek(at)) ? at + 1 : at;
        fail(bad, std::string("invalid date-time: expected two digits for the ") + what + ", found " + found(bad));
    }
    return static_cast<unsigned>((s_[at] - '0') * 10 + (s_[at + 1] - '0'));
}

// YYYY-MM-DD at s_[i] (four digits and `-` seen); i ends after it, and
// after the `T`, `t` or space of a time that follows, which it returns.
bool Parser::read_date(std::size_t& i, std::size_t begin, DateTime& dt) {
    const unsigned year = static_cast<unsigned>((s_[i] - '0') * 1000 + (s_[i + 1] - '0') * 100 +
                                                (s_[i + 2] - '0') * 10 + (s_[i + 3] - '0'));
    i += 5;
    const unsigned month = two_digits(i, "month");
    if (month < 1 || month > 12) fail(i, "invalid date: the month must be 01 to 12", i + 2);
    i += 2;
    if (peek(i) != '-') expected(i, "`-` between the month and the day");
    ++i;
    const unsigned day = two_digits(i, "day");
    if (day < 1 || day > days_in_month(year, month))
        fail(i, "invalid date: " + std::string(s_.substr(begin, i + 2 - begin)) + " does not exist", i + 2);
    i += 2;
    dt.year = static_cast<std::uint16_t>(year);
    dt.month = static_cast<std::uint8_t>(month);
    dt.day = static_cast<std::uint8_t>(day);
    // A time follows after `T`, `t` or a space that is followed by digits.
    const char d = peek(i);
    if (d == 'T' || d == 't' || (d == ' ' && is_digit(peek(i + 1)) && is_digit(peek(i + 2)) && peek(i + 3) == ':')) {
        ++i;
        return true;
    }
    return false;
}

// HH:MM[:SS[.fraction]] at s_[i]; i ends after it.
void Parser::read_time(std::size_t& i, DateTime& dt) {
    const unsigned hour = two_digits(i, "hour");
    if (hour > 23) fail(i, "invalid time: the hour must be 00 to 23", i + 2);
    i += 2;
    if (peek(i) != ':') expected(i, "`:` between the hour and the minute");
    ++i;
    const unsigned minute = two_digits(i, "minute");
    if (minute > 59) fail(i, "invalid time: the minute must be 00 to 59", i + 2);
    i += 2;
    dt.hour = static_cast<std::uint8_t>(hour);
    dt.minute = static_cast<std::uint8_t>(minute);
    if (peek(i) != ':') return;
    ++i;
    const unsigned second = two_digits(i, "second");
    if (second > 59) fail(i, "invalid time: the second must be 00 to 59", i + 2);
    i += 2;
    dt.second = static_cast<std::uint8_t>(second);
    dt.has_seconds = true;
    if (peek(i) != '.') return;
    ++i;
    if (!is_digit(peek(i))) expected(i, "a digit after the decimal point of the seconds");
    std::uint32_t nanos = 0;
    unsigned count = 0;
    while (is_digit(peek(i))) {
        if (count < 9) nanos = nanos * 10 + static_cast<std::uint32_t>(s_[i] - '0');
        ++count;
        ++i;
    }
    for (unsigned k = count; k < 9; ++k) nanos *= 10;
    dt.nanosecond = nanos;
    dt.fraction_digits = static_cast<std::uint8_t>(count > 255 ? 255 : count);
}

// An offset after a date and time at s_[i], `Z` or ±HH:MM; i ends after it.
// Returns whether there was one.
bool Parser::read_offset(std::size_t& i, DateTime& dt) {
    const char d = peek(i);
    if (d == 'Z' || d == 'z') {
        ++i;
        return true;
    }
    if (d != '+' && d != '-') return false;
    const std::size_t at = i;
    ++i;
    const unsigned oh = two_digits(i, "offset hours");
    if (oh > 23) fail(i, "invalid offset: the hours must be 00 to 23", i + 2);
    i += 2;
    if (peek(i) != ':') expected(i, "`:` between the hours and minutes of the offset");
    ++i;
    const unsigned om = two_digits(i, "offset minutes");
    if (om > 59) fail(i, "invalid offset: the minutes must be 00 to 59", i + 2);
    i += 2;
    const int minutes = static_cast<int>(oh * 60 + om);
    dt.offset_minutes = static_cast<std::int16_t>(s_[at] == '-' ? -minutes : minutes);
    return true;
}

// A date, time or both at `begin`: `date` when it starts with one.
NodeId Parser::parse_date_time(std::size_t begin, bool date) {
    DateTime dt;
    std::size_t i = begin;
    const bool has_time = date ? read_date(i, begin, dt) : true;
    bool has_offset = false;
    if (has_time) {
        read_time(i, dt);
        if (date) has_offset = read_offset(i, dt);
    }
    // Nothing may stick to the value.
    if (i < n_) {
        const char d = s_[i];
        if (is_digit(d) || is_ascii_letter(d) || d == '_' || d == '.' || d == ':' || d == '-' || d == '+')
            fail(i, "invalid date-time: unexpected " + found(i));
    }
    pos_ = i;
    const Type type = !date        ? Type::LocalTime
                      : !has_time  ? Type::LocalDate
                      : has_offset ? Type::OffsetDateTime
                                   : Type::LocalDateTime;
    const NodeId id = new_node(type, span(begin, i));
    node(id).v.r = {static_cast<std::uint32_t>(doc_.date_times_.size()), 0};
    doc_.date_times_.push_back(dt);
    return id;
}

}  // namespace vora::toml
