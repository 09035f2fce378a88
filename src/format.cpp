#include "format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>

#include "fault.hpp"
#include "text/utf8.hpp"

namespace vora {
namespace {

// A finite double as its shortest round-trip decimal digits: the value is
// 0.<digits> x 10^(exponent + 1), i.e. `exponent` is the decimal exponent of
// the first digit.
struct Decimal {
    bool negative = false;
    std::string digits;  // no leading zeros except for the value zero ("0")
    int exponent = 0;
};

Decimal shortest_decimal(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    if (result.ec != std::errc{}) throw InternalFault("cannot format a floating-point number");
    const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));

    // The text reads [-]d[.ddd]e(+|-)dd.
    Decimal decimal;
    std::size_t i = 0;
    if (i < text.size() && text[i] == '-') {
        decimal.negative = true;
        ++i;
    }
    for (; i < text.size() && text[i] != 'e'; ++i) {
        if (text[i] != '.') decimal.digits.push_back(text[i]);
    }
    if (i + 1 >= text.size()) throw InternalFault("malformed floating-point text");
    const char* exponent_begin = text.data() + i + 1;
    if (*exponent_begin == '+') ++exponent_begin;
    const auto parsed = std::from_chars(exponent_begin, text.data() + text.size(), decimal.exponent);
    if (parsed.ec != std::errc{}) throw InternalFault("malformed floating-point exponent");
    return decimal;
}

std::string fixed_notation(const Decimal& d) {
    std::string out;
    if (d.negative) out.push_back('-');
    const auto count = static_cast<long>(d.digits.size());
    if (d.exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
        out += d.digits;
        return out;
    }
    const long integral = static_cast<long>(d.exponent) + 1;
    if (count <= integral) {
        out += d.digits;
        out.append(static_cast<std::size_t>(integral - count), '0');
        out += ".0";
    } else {
        out.append(d.digits, 0, static_cast<std::size_t>(integral));
        out.push_back('.');
        out.append(d.digits, static_cast<std::size_t>(integral));
    }
    return out;
}

std::string exponent_notation(const Decimal& d) {
    std::string out;
    if (d.negative) out.push_back('-');
    out.push_back(d.digits[0]);
    if (d.digits.size() > 1) {
        out.push_back('.');
        out.append(d.digits, 1);
    }
    out.push_back('e');
    out.push_back(d.exponent < 0 ? '-' : '+');
    out += std::to_string(std::abs(d.exponent));
    return out;
}

}  // namespace

std::string format_json_double(double value) {
    if (!std::isfinite(value)) return "null";
    const Decimal d = shortest_decimal(value);
    if (d.exponent >= -5 && d.exponent <= 15) return fixed_notation(d);
    return exponent_notation(d);
}

std::string format_display_double(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    return fixed_notation(shortest_decimal(value));
}

std::string quoted_text(std::string_view s) {
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

}  // namespace vora
