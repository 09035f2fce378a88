// The text of a JSON value in a summary cell, and the equality that decides
// whether a key was set.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace vora {

// A string gives its characters bare; any other value its compact JSON text
// (no spaces), with strings inside arrays and objects quoted and escaped and
// floats written by format_json_double.
std::string cell_text(const nlohmann::json& value);

// Strict equality: the same kind and, for numbers, the same representation
// (unsigned integer, negative integer or float) and value. An integer of zero
// and above counts as unsigned whichever way it is stored; 3 and 3.0 differ.
bool json_equal(const nlohmann::json& a, const nlohmann::json& b);

}  // namespace vora
