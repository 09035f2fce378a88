// What `vora-config plan` and `vora-config explain --format json` print.
#pragma once

#include <string>

#include "configuration/structs.hpp"
#include "text/python_repr.hpp"

namespace vora::cli {

// The converter calls, one line each: method(repr, keyword=repr, ...), each
// text as repr() of `python` writes it.
std::string plan_text(const Configuration& configuration, PythonVersion python);

// The converter calls as a JSON array of {"method", "args", "kwargs"}, one
// call a line; the keywords in call order.
std::string plan_json(const Configuration& configuration);

// The effective configuration as a JSON object: per section (null when an
// optional section is absent), per key in the summary's order, its value,
// its default, whether the value differs from the default (the summary's
// "Set by User?") and its description; one key a line.
std::string explain_json(const Configuration& configuration);

}  // namespace vora::cli
