#include "text/format.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

#include "base/assert.hpp"
#include "base/fault.hpp"
#include "text/integer.hpp"
#include "text/utf8.hpp"

namespace vora {
namespace {

// A finite double as its shortest round-trip decimal digits: the value is
// 0.<digits> x 10^(exponent + 1), i.e. `exponent` is the decimal exponent of
// the first digit.
struct Decimal {
    bool negative = false;
    char digits[24];  // no leading zeros except for the value zero ("0")
    std::size_t count = 0;
    int exponent = 0;
};

Decimal shortest_decimal(double value) {
    char buffer[40];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    if (result.ec != std::errc{}) throw InternalFault("cannot format a floating-point number");
    const char* p = buffer;
    const char* const end = result.ptr;

    // The text reads [-]d[.ddd]e(+|-)dd[d].
    Decimal decimal;
    if (*p == '-') {
        decimal.negative = true;
        ++p;
    }
    const char* e = end - 4;
    if (e > p && *e != 'e') --e;
    if (e <= p || *e != 'e' || e - p > static_cast<long>(sizeof decimal.digits)) {
        throw InternalFault("malformed floating-point text");
    }
    decimal.digits[0] = *p;
    decimal.count = 1;
    if (e - p > 2) {
        decimal.count = static_cast<std::size_t>(e - p - 1);
        std::memcpy(decimal.digits + 1, p + 2, decimal.count - 1);
    }
    int exponent = 0;
    for (const char* q = e + 2; q < end; ++q) exponent = exponent * 10 + (*q - '0');
    decimal.exponent = e[1] == '-' ? -exponent : exponent;
    return decimal;
}

// Fixed notation of `d` written at `out` when it needs at most `room` bytes
// (the end returned), else null.
char* write_fixed(char* out, std::size_t room, const Decimal& d) {
    const auto count = static_cast<long>(d.count);
    const long integral = static_cast<long>(d.exponent) + 1;
    const long size = (d.negative ? 1 : 0) +
                      (integral <= 0 ? 2 - integral + count : std::max(count, integral) + 1 + (count <= integral));
    if (size > static_cast<long>(room)) return nullptr;
    char* p = out;
    if (d.negative) *p++ = '-';
    if (integral <= 0) {
        *p++ = '0';
        *p++ = '.';
        std::memset(p, '0', static_cast<std::size_t>(-integral));
        p += -integral;
        std::memcpy(p, d.digits, d.count);
        return p + d.count;
    }
    if (count <= integral) {
        std::memcpy(p, d.digits, d.count);
        p += d.count;
        std::memset(p, '0', static_cast<std::size_t>(integral - count));
        p += integral - count;
        *p++ = '.';
        *p++ = '0';
        return p;
    }
    std::memcpy(p, d.digits, static_cast<std::size_t>(integral));
    p += integral;
    *p++ = '.';
    std::memcpy(p, d.digits + integral, static_cast<std::size_t>(count - integral));
    return p + (count - integral);
}

std::string fixed_notation(const Decimal& d) {
    std::string out(static_cast<std::size_t>(std::abs(d.exponent)) + d.count + 4, '\0');
    char* const end = write_fixed(out.data(), out.size(), d);
    if (end == nullptr) throw InternalFault("fixed notation larger than its room");
    out.resize(static_cast<std::size_t>(end - out.data()));
    return out;
}

char* write_exponent(char* out, char* end, const Decimal& d) {
    // sign, digits and point, "e", exponent sign and at most three digits
    VORA_ASSERT(out + d.count + 7 <= end, "no room for a number in exponent notation");
    char* p = out;
    if (d.negative) *p++ = '-';
    *p++ = d.digits[0];
    if (d.count > 1) {
        *p++ = '.';
        std::memcpy(p, d.digits + 1, d.count - 1);
        p += d.count - 1;
    }
    *p++ = 'e';
    *p++ = d.exponent < 0 ? '-' : '+';
    return write_integer(p, end, std::abs(d.exponent));
}

// The JSON form of a value whose exact decimal is short, written straight:
// a multiple of 2^-10 below 2^43 whose exact decimal has at most 15
// significant digits (integral values among them). No other decimal of at
// most 15 digits reads back as the same double, so that exact decimal is the
// shortest. Null, the end untouched, for any other value.
char* write_short_exact(char* out, char* end, double value) {
    static constexpr std::uint64_t kPow5[11] = {1, 5, 25, 125, 625, 3125, 15625, 78125, 390625, 1953125, 9765625};
    static constexpr std::uint64_t kPow10[11] = {1,       10,       100,       1000,       10000,      100000,
                                                 1000000, 10000000, 100000000, 1000000000, 10000000000};
    constexpr std::uint64_t kBelow = 1000000000000000;  // 10^15: at most 15 digits
    const double magnitude = std::fabs(value);
    if (!(magnitude < 0x1p43)) return nullptr;  // NaN included
    const double scaled = magnitude * 1024.0;
    const auto units = static_cast<std::uint64_t>(scaled);
    if (static_cast<double>(units) != scaled) return nullptr;
    // magnitude = odd / 2^bits = odd * 5^bits / 10^bits.
    std::uint64_t odd = units;
    int bits = 0;
    if (units != 0) {
        const int twos = std::min(std::countr_zero(units), 10);
        odd = units >> twos;
        bits = 10 - twos;
    }
    if (odd >= kBelow / kPow5[bits]) return nullptr;
    const std::uint64_t decimal = odd * kPow5[bits];
    // sign, at most 15 digits and the point
    VORA_ASSERT(out + 17 <= end, "no room for a number");
    char* p = out;
    if (std::signbit(value)) *p++ = '-';
    p = write_integer(p, end, decimal / kPow10[bits]);
    *p++ = '.';
    if (bits == 0) {
        *p++ = '0';
        return p;
    }
    // The fraction's `bits` digits, leading zeros included.
    std::uint64_t fraction = decimal % kPow10[bits];
    for (int k = bits - 1; k >= 0; --k) {
        p[k] = static_cast<char>('0' + fraction % 10);
        fraction /= 10;
    }
    return p + bits;
}

}  // namespace

char* write_json_double(char* out, double value) {
    char* const end = out + kJsonDoubleRoom;
    if (!std::isfinite(value)) {
        std::memcpy(out, "null", 4);
        return out + 4;
    }
    if (char* written = write_short_exact(out, end, value)) return written;
    const Decimal d = shortest_decimal(value);
    if (d.exponent >= -5 && d.exponent <= 15) {
        char* written = write_fixed(out, kJsonDoubleRoom, d);
        if (written == nullptr) throw InternalFault("fixed notation larger than its room");
        return written;
    }
    return write_exponent(out, end, d);
}

void append_json_double(std::string& out, double value) {
    char text[kJsonDoubleRoom];
    out.append(text, static_cast<std::size_t>(write_json_double(text, value) - text));
}

void append_json_float(std::string& out, float value) { append_json_double(out, static_cast<double>(value)); }

std::string format_json_double(double value) {
    std::string out;
    append_json_double(out, value);
    return out;
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
