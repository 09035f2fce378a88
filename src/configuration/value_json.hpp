// The JSON forms of the configuration's values: their compact JSON text (in
// the converter's call arguments, `plan` and `explain`), the text of a
// value in a summary cell, and the equality that decides whether a key was
// set. Both are defined on the JSON form of a value (as
// schema_detail::value_json gives it): a string gives its characters bare;
// any other value its compact JSON text (no spaces), with strings inside
// arrays quoted and escaped and floats written by format_json_double. Two
// values are equal when their forms are of the same kind and, for numbers,
// of the same representation (unsigned integer, negative integer or float)
// and value; 3 and 3.0 differ. These forms give the results straight from
// the record's values, without building JSON values (the tests compare them
// with a reference on JSON values, tests/support/json_reference.hpp).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "configuration/fields.hpp"
#include "text/format.hpp"
#include "text/integer.hpp"
#include "text/json_string.hpp"

namespace vora {

namespace json_form {

template <class>
inline constexpr bool unsupported_type = false;

// Whether the JSON form of the value is null: an absent optional or a
// non-finite float.
template <class T>
bool is_json_null(const T& value) {
    if constexpr (is_optional<T>::value) {
        return !value || is_json_null(*value);
    } else if constexpr (std::is_same_v<T, float>) {
        return !std::isfinite(value);
    } else {
        return false;
    }
}

// The compact JSON text of the value's JSON form.
template <class T>
void append_json(std::string& out, const T& value) {
    if (is_json_null(value)) {
        out += "null";
    } else if constexpr (std::is_same_v<T, bool>) {
        out += value ? "true" : "false";
    } else if constexpr (std::is_same_v<T, std::string>) {
        append_json_string(out, value);
    } else if constexpr (std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::uint64_t> ||
                         std::is_same_v<T, std::int32_t>) {
        append_integer(out, value);
    } else if constexpr (std::is_same_v<T, float>) {
        append_json_float(out, value);
    } else if constexpr (is_vector<T>::value) {
        out.push_back('[');
        bool first = true;
        for (const auto& element : value) {
            if (!first) out.push_back(',');
            first = false;
            append_json(out, element);
        }
        out.push_back(']');
    } else if constexpr (is_optional<T>::value) {
        append_json(out, *value);
    } else {
        static_assert(unsupported_type<T>, "no JSON form for this field type");
    }
}

// The size of the text append_json appends for a string or a list of
// strings (a list that may be as long as its file), else 0: unknown.
template <class T>
std::size_t json_size(const T& value) {
    if constexpr (std::is_same_v<T, std::string>) {
        return json_string_size(value);
    } else if constexpr (is_vector<T>::value) {
        if constexpr (std::is_same_v<typename T::value_type, std::string>) {
            std::size_t size = value.empty() ? 2 : value.size() + 1;  // brackets and commas
            for (const std::string& element : value) size += json_string_size(element);
            return size;
        } else {
            return 0;
        }
    } else if constexpr (is_optional<T>::value) {
        return value ? json_size(*value) : 0;
    } else {
        return 0;
    }
}

}  // namespace json_form

// cell_text of the value's JSON form.
template <class T>
std::string value_cell_text(const T& value) {
    if constexpr (std::is_same_v<T, std::string>) {
        return value;
    } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
        if (value) return *value;
        return "null";
    } else {
        std::string out;
        json_form::append_json(out, value);
        return out;
    }
}

// json_equal of the two values' JSON forms: all null forms are alike (an
// absent optional, a non-finite float), numbers compare by value within
// their one representation.
template <class T>
bool same_json_form(const T& a, const T& b) {
    const bool a_null = json_form::is_json_null(a);
    const bool b_null = json_form::is_json_null(b);
    if (a_null || b_null) return a_null && b_null;
    if constexpr (is_optional<T>::value) {
        return same_json_form(*a, *b);
    } else if constexpr (is_vector<T>::value) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (!same_json_form(a[i], b[i])) return false;
        }
        return true;
    } else if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, std::string> || std::is_same_v<T, std::uint8_t> ||
                         std::is_same_v<T, std::uint64_t> || std::is_same_v<T, std::int32_t> ||
                         std::is_same_v<T, float>) {
        return a == b;
    } else {
        static_assert(json_form::unsupported_type<T>, "no JSON form for this field type");
    }
}

}  // namespace vora
