// Python's repr() of the values the converter receives, for showing its
// calls without an interpreter: texts, floats and integers.
#pragma once

#include <string>
#include <string_view>

namespace vora {

// repr() of a str holding the UTF-8 `text` (valid UTF-8): single quotes,
// or double quotes when the text holds a single quote and no double quote;
// the backslash, the quote used, \t, \n and \r escaped by backslash, other
// characters that str.isprintable() rejects as \xNN, \uNNNN or \UNNNNNNNN,
// everything else as it stands. Which characters are printable follows the
// Unicode version of the table in unprintable.inc; an interpreter of
// another version differs only on characters assigned in between.
void append_python_str(std::string& out, std::string_view text);

// repr() of a float: the shortest digits that read back as the value, in
// fixed notation when the decimal point falls within 16 digits before and 4
// after the first digit ("0.0001", "1e-05", "1000000000000000.0", "1e+16"),
// "inf", "-inf" and "nan".
void append_python_float(std::string& out, double value);

}  // namespace vora
