// The JSON form of the section records and the JSON Schema document (draft
// 2020-12) of each section record type, both derived from the field
// declarations.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include <nlohmann/json.hpp>

#include "configuration/structs.hpp"

namespace vora {

inline constexpr std::string_view kSchemaDialect = "https://json-schema.org/draft/2020-12/schema";

namespace schema_detail {

using json = nlohmann::json;

template <class>
inline constexpr bool unsupported_type = false;

// The JSON form of one value: booleans, texts and integers as such
// (integers of zero and above unsigned, negative ones signed), f32 widened
// exactly to double (non-finite values null), lists as arrays, absent
// optionals as null.
template <class T>
json value_json(const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        return json(value);
    } else if constexpr (std::is_same_v<T, std::string>) {
        return json(value);
    } else if constexpr (std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::uint64_t>) {
        return json(static_cast<json::number_unsigned_t>(value));
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
        if (value < 0) return json(static_cast<json::number_integer_t>(value));
        return json(static_cast<json::number_unsigned_t>(value));
    } else if constexpr (std::is_same_v<T, float>) {
        if (!std::isfinite(value)) return json(nullptr);
        return json(static_cast<double>(value));
    } else if constexpr (is_vector<T>::value) {
        json array = json::array();
        for (const auto& element : value) array.push_back(value_json(element));
        return array;
    } else if constexpr (is_optional<T>::value) {
        if (!value) return json(nullptr);
        return value_json(*value);
    } else {
        static_assert(unsupported_type<T>, "no JSON form for this field type");
    }
}

json unsigned_json(std::uint64_t value);

// Adds "null" to the schema's "type" unless it already admits it.
void admit_null(json& schema);

// The property schema of a value type, before description, limits and
// default.
template <class T>
json type_schema() {
    if constexpr (std::is_same_v<T, bool>) {
        return json{{"type", "boolean"}};
    } else if constexpr (std::is_same_v<T, std::string>) {
        return json{{"type", "string"}};
    } else if constexpr (std::is_same_v<T, std::uint8_t>) {
        return json{
            {"type", "integer"}, {"format", "uint8"}, {"minimum", unsigned_json(0)}, {"maximum", unsigned_json(255)}};
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
        return json{{"type", "integer"}, {"format", "int32"}};
    } else if constexpr (std::is_same_v<T, float>) {
        return json{{"type", "number"}, {"format", "float"}};
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
        return json{{"type", "integer"}, {"format", "uint"}, {"minimum", unsigned_json(0)}};
    } else if constexpr (is_vector<T>::value) {
        return json{{"type", "array"}, {"items", type_schema<typename T::value_type>()}};
    } else if constexpr (is_optional<T>::value) {
        json schema = type_schema<typename T::value_type>();
        admit_null(schema);
        return schema;
    } else {
        static_assert(unsupported_type<T>, "no schema for this field type");
    }
}

// Completes one property schema: description (when there is one), the
// field's limits and the default value.
void complete_property(json& schema, std::string_view description, const Limits& limits, json default_value);

// A root document with the given properties.
json root_document(std::string_view title, json properties);

template <class Record>
json build_section_schema() {
    const Record defaults{};
    json properties = json::object();
    for_each_field<Record>([&](const auto& field, std::size_t) {
        using T = typename std::remove_cvref_t<decltype(field)>::value_type;
        json schema = type_schema<T>();
        complete_property(schema, field.description, field.limits, value_json(field.get(defaults)));
        properties[std::string(field.key)] = std::move(schema);
    });
    return root_document(Record::name, std::move(properties));
}

}  // namespace schema_detail

// The root document of a section record type: "$schema", "title", "type"
// "object" and "properties" with one property schema per key. The same
// document throughout the process: it is built on the first call.
template <class Record>
const nlohmann::json& section_schema() {
    // Never destroyed: a daemon thread may still use it while the process
    // exits and runs static destructors.
    static const nlohmann::json& document = *new nlohmann::json(schema_detail::build_section_schema<Record>());
    return document;
}

}  // namespace vora
