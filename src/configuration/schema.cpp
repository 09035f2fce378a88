#include "configuration/schema.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "fault.hpp"

namespace vora {
namespace {

using json = nlohmann::json;

template <class>
inline constexpr bool unsupported_type = false;

// ---- JSON form of values ----

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

template <class Record>
json record_json_of(const Record& record) {
    json object = json::object();
    for_each_field<Record>([&](const auto& field, std::size_t) {
        object[std::string(field.key)] = value_json(field.get(record));
    });
    return object;
}

// ---- Property schemas ----

json unsigned_json(std::uint64_t value) { return json(static_cast<json::number_unsigned_t>(value)); }

// Validation values are integers; zero and above take the unsigned
// representation, like every other non-negative integer of the documents.
json integer_json(std::int64_t value) {
    if (value < 0) return json(static_cast<json::number_integer_t>(value));
    return unsigned_json(static_cast<std::uint64_t>(value));
}

template <class T>
json type_schema() {
    if constexpr (std::is_same_v<T, bool>) {
        return json{{"type", "boolean"}};
    } else if constexpr (std::is_same_v<T, std::string>) {
        return json{{"type", "string"}};
    } else if constexpr (std::is_same_v<T, std::uint8_t>) {
        return json{{"type", "integer"}, {"format", "uint8"}, {"minimum", unsigned_json(0)},
                    {"maximum", unsigned_json(255)}};
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
        auto type = schema.find("type");
        if (type != schema.end()) {
            if (type->is_string()) {
                if (type->get_ref<const std::string&>() != "null") *type = json::array({*type, "null"});
            } else if (type->is_array()) {
                bool has_null = false;
                for (const auto& t : *type) has_null = has_null || (t.is_string() && t == "null");
                if (!has_null) type->push_back("null");
            }
        }
        return schema;
    } else {
        static_assert(unsupported_type<T>, "no schema for this field type");
    }
}

// Whether the schema's "type" is, or contains, `name`.
bool type_admits(const json& schema, std::string_view name) {
    const auto type = schema.find("type");
    if (type == schema.end()) return false;
    if (type->is_string()) return type->get_ref<const std::string&>() == name;
    if (type->is_array()) {
        for (const auto& t : *type) {
            if (t.is_string() && t.get_ref<const std::string&>() == name) return true;
        }
    }
    return false;
}

void apply_limits(json& schema, const Limits& limits) {
    if (limits.min_length && type_admits(schema, "string")) schema["minLength"] = integer_json(*limits.min_length);
    if (limits.min_items && type_admits(schema, "array")) schema["minItems"] = integer_json(*limits.min_items);
    const bool numeric = type_admits(schema, "number") || type_admits(schema, "integer");
    if (limits.minimum && numeric) schema["minimum"] = integer_json(*limits.minimum);
    if (limits.maximum && numeric) schema["maximum"] = integer_json(*limits.maximum);
}

}  // namespace

nlohmann::json record_json(const ConfigConfig& record) { return record_json_of(record); }
nlohmann::json record_json(const OnnxLoadConfig& record) { return record_json_of(record); }
nlohmann::json record_json(const BuildConfig& record) { return record_json_of(record); }
nlohmann::json record_json(const AccuracyAnalysisConfig& record) { return record_json_of(record); }
nlohmann::json record_json(const ExportConfig& record) { return record_json_of(record); }

template <class Record>
nlohmann::json section_schema() {
    const Record defaults{};
    json document = json{{"type", "object"}};
    json properties = json::object();
    for_each_field<Record>([&](const auto& field, std::size_t) {
        using T = typename std::remove_cvref_t<decltype(field)>::value_type;
        json schema = type_schema<T>();
        if (!schema.is_object()) throw InternalFault("property schema is not an object");
        if (!field.description.empty()) schema["description"] = std::string(field.description);
        apply_limits(schema, field.limits);
        schema["default"] = value_json(field.get(defaults));
        properties[std::string(field.key)] = std::move(schema);
    });
    document["properties"] = std::move(properties);
    document["title"] = std::string(Record::name);
    document["$schema"] = std::string(kSchemaDialect);
    return document;
}

template nlohmann::json section_schema<ConfigConfig>();
template nlohmann::json section_schema<OnnxLoadConfig>();
template nlohmann::json section_schema<BuildConfig>();
template nlohmann::json section_schema<AccuracyAnalysisConfig>();
template nlohmann::json section_schema<ExportConfig>();

}  // namespace vora
