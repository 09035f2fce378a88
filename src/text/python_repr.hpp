// Python's repr() of the values the converter receives, for showing its
// calls without an interpreter: texts, floats and integers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vora {

// A Python feature version 3.minor whose repr() of a str the writer knows:
// 3.8 to 3.15. They differ in the Unicode data that tells which characters
// are printable, hence in the characters repr() escapes.
struct PythonVersion {
    int minor;
    friend bool operator==(PythonVersion, PythonVersion) = default;
};
inline constexpr int kFirstPythonMinor = 8;
inline constexpr int kLastPythonMinor = 15;
// What the writer follows unless told: Python 3.13.
inline constexpr PythonVersion kDefaultPython{13};

// The version written "3.X", when the writer knows it.
std::optional<PythonVersion> python_version(std::string_view text);

// repr() of a str holding the UTF-8 `text` (valid UTF-8): single quotes,
// or double quotes when the text holds a single quote and no double quote;
// the backslash, the quote used, \t, \n and \r escaped by backslash, other
// characters that str.isprintable() rejects as \xNN, \uNNNN or \UNNNNNNNN,
// everything else as it stands. Which characters are printable follows the
// Unicode data of `python` (tables in unprintable.inc, one per Unicode data).
void append_python_str(std::string& out, std::string_view text, PythonVersion python);

// repr() of a float: the shortest digits that read back as the value, in
// fixed notation when the decimal point falls within 16 digits before and 4
// after the first digit ("0.0001", "1e-05", "1000000000000000.0", "1e+16"),
// "inf", "-inf" and "nan".
void append_python_float(std::string& out, double value);

}  // namespace vora
