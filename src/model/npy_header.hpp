// The header dictionary of an npy array, read as numpy.load reads it: the
// text is a Python literal (ast.literal_eval's rules: any quoting, escapes,
// comments, implicit concatenation, underscores in numbers; for format
// versions 1 and 2 a Python 2 `L` after a number is dropped), a dictionary
// of exactly the keys descr, fortran_order and shape; the shape a tuple of
// ints, fortran_order a bool and descr a dtype numpy builds, which must not
// hold Python objects (numpy.load unpickles those only with allow_pickle).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vora::model {

struct HeaderFields {
    std::string dtype;  // a type string as given, or a structured descr's literal as written
    bool fortran_order = false;
    std::vector<std::uint64_t> shape;
};

inline constexpr std::size_t max_header_dims = 64;  // numpy's limit

enum class HeaderVerdict : std::uint8_t { ok, bad, objects };

// `text` is the decoded header (UTF-8); `version` its format's major version.
HeaderVerdict parse_header_text(std::string_view text, unsigned version, HeaderFields& out, std::string& reason);

// Whether numpy.dtype takes the type string `s`; `objects` tells a dtype
// that holds Python objects.
bool valid_type_string(std::string_view s, bool& objects);

}  // namespace vora::model
