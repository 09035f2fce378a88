#include "text/python_repr.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <span>
#include <system_error>

#include "base/assert.hpp"
#include "text/integer.hpp"
#include "text/utf8.hpp"

namespace vora {
namespace {

struct Range {
    char32_t first, end;  // [first, end)
};

struct ReprTable {
    int minor;                           // of Python 3.minor
    std::span<const Range> unprintable;  // the code points above U+00FF that its repr() escapes
};

#include "text/unprintable.inc"

static_assert(std::size(kReprTables) == kLastPythonMinor - kFirstPythonMinor + 1);
static_assert([] {
    for (std::size_t i = 0; i < std::size(kReprTables); ++i) {
        if (kReprTables[i].minor != kFirstPythonMinor + static_cast<int>(i)) return false;
    }
    return true;
}());

const ReprTable& table_of(PythonVersion python) {
    VORA_ASSERT(python.minor >= kFirstPythonMinor && python.minor <= kLastPythonMinor, "a Python the writer knows");
    return kReprTables[static_cast<std::size_t>(python.minor - kFirstPythonMinor)];
}

bool printable(char32_t c, std::span<const Range> unprintable) {
    if (c < 0x100) return (c >= 0x20 && c < 0x7F) || (c > 0xA0 && c != 0xAD);
    const auto after = std::upper_bound(unprintable.begin(), unprintable.end(), c,
                                        [](char32_t code, const Range& r) { return code < r.end; });
    return after == unprintable.end() || c < after->first;
}

void append_hex(std::string& out, char32_t c, int digits) {
    constexpr char kHex[] = "0123456789abcdef";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out.push_back(kHex[(c >> shift) & 0xF]);
}

}  // namespace

std::optional<PythonVersion> python_version(std::string_view text) {
    if (!text.starts_with("3.")) return std::nullopt;
    int minor = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data() + 2, end, minor);
    const bool plain = error == std::errc{} && stop == end && text[2] != '0';
    if (!plain || minor < kFirstPythonMinor || minor > kLastPythonMinor) return std::nullopt;
    return PythonVersion{minor};
}

void append_python_str(std::string& out, std::string_view text, PythonVersion python) {
    const std::span<const Range> unprintable = table_of(python).unprintable;
    const bool single = text.find('\'') == std::string_view::npos || text.find('"') != std::string_view::npos;
    const char quote = single ? '\'' : '"';
    out.push_back(quote);
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t start = at;
        const char32_t c = utf8::next(text, at);
        if (c == static_cast<unsigned char>(quote) || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c == '\t' || c == '\n' || c == '\r') {
            out.push_back('\\');
            out.push_back(c == '\t' ? 't' : c == '\n' ? 'n' : 'r');
        } else if (printable(c, unprintable)) {
            out.append(text, start, at - start);
        } else if (c < 0x100) {
            out += "\\x";
            append_hex(out, c, 2);
        } else if (c < 0x10000) {
            out += "\\u";
            append_hex(out, c, 4);
        } else {
            out += "\\U";
            append_hex(out, c, 8);
        }
    }
    out.push_back(quote);
}

void append_python_float(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    // The shortest digits, as [-]d[.ddd]e(+|-)dd[d].
    char buffer[40];
    const char* const end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
    const char* p = buffer;
    if (*p == '-') out.push_back(*p++);
    const char* const e = std::find(p, end, 'e');
    std::string digits(1, *p);
    if (e - p > 1) digits.append(p + 2, e);
    int exponent = 0;
    std::from_chars(e + 2, end, exponent);
    if (e[1] == '-') exponent = -exponent;
    const int point = exponent + 1;  // digits before the decimal point
    const int count = static_cast<int>(digits.size());
    if (point < -3 || point > 16) {
        out.push_back(digits[0]);
        if (count > 1) {
            out.push_back('.');
            out.append(digits, 1);
        }
        out += e[1] == '-' ? "e-" : "e+";
        if (std::abs(exponent) < 10) out.push_back('0');
        append_integer(out, std::abs(exponent));
    } else if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (count <= point) {
        out += digits;
        out.append(static_cast<std::size_t>(point - count), '0');
        out += ".0";
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point));
    }
}

}  // namespace vora
