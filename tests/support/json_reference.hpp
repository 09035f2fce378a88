// Reference forms on JSON values, for the tests only: the summary cell's
// text and the equality that decides whether a key was set, defined on the
// JSON form of a value as a JSON library holds it, and the JSON form of a
// whole record. The forms in configuration/value_json.hpp must give what these give.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "configuration/schema.hpp"
#include "configuration/structs.hpp"

namespace vora {

// A string gives its characters bare; any other value its compact JSON text
// (no spaces), with strings inside arrays and objects quoted and escaped and
// floats written by format_json_double.
std::string cell_text(const nlohmann::json& value);

// Strict equality: the same kind and, for numbers, the same representation
// (unsigned integer, negative integer or float) and value. An integer of zero
// and above counts as unsigned whichever way it is stored; 3 and 3.0 differ.
bool json_equal(const nlohmann::json& a, const nlohmann::json& b);

// An object with one member per key: booleans, texts and integers as such
// (integers of zero and above unsigned, negative ones signed), f32 widened
// exactly to double (non-finite values null), lists as arrays, absent
// optionals as null.
template <class Record>
nlohmann::json record_json(const Record& record) {
    nlohmann::json object = nlohmann::json::object();
    for_each_field<Record>([&](const auto& field, std::size_t) {
        object[std::string(field.key)] = schema_detail::value_json(field.get(record));
    });
    return object;
}

}  // namespace vora
