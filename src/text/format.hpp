// Text forms of double-precision numbers and of quoted texts in messages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vora {

// The number as it appears in the summary's JSON cells: the shortest digits
// that read back as the same double, in fixed notation when the decimal
// exponent of the first significant digit lies in -5..15 (integral values get
// ".0"), otherwise as d[.ddd]e±N. Negative zero is "-0.0". Non-finite values
// have no JSON number form and give "null".
std::string format_json_double(double value);

// The most bytes format_json_double's text takes.
inline constexpr std::size_t kJsonDoubleRoom = 32;

// format_json_double's text written at `out`, which has room for
// kJsonDoubleRoom bytes; returns its end.
char* write_json_double(char* out, double value);

// format_json_double's text appended to `out`.
void append_json_double(std::string& out, double value);

// format_json_double's text of the value widened to double appended to
// `out`.
void append_json_float(std::string& out, float value);

// The number as loader messages show it: the shortest round-trip digits,
// always in plain fixed notation without an exponent, ".0" appended when
// there is no decimal point. Infinities are "inf" and "-inf", NaN is "NaN".
std::string format_display_double(double value);

// The text in double quotes as messages show it: `"`, `\` and the line
// breaks, tab and NUL escaped by backslash, other control characters as
// \u{hex}; everything else as it stands.
std::string quoted_text(std::string_view text);

}  // namespace vora
