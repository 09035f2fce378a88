#include "configuration/schema.hpp"

#include "base/fault.hpp"

namespace vora::schema_detail {
namespace {

// Validation values are integers; zero and above take the unsigned
// representation, like every other non-negative integer of the documents.
json integer_json(std::int64_t value) {
    if (value < 0) return json(static_cast<json::number_integer_t>(value));
    return unsigned_json(static_cast<std::uint64_t>(value));
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

json unsigned_json(std::uint64_t value) { return json(static_cast<json::number_unsigned_t>(value)); }

void admit_null(json& schema) {
    auto type = schema.find("type");
    if (type == schema.end()) return;
    if (type->is_string()) {
        if (type->get_ref<const std::string&>() != "null") *type = json::array({*type, "null"});
    } else if (type->is_array()) {
        bool has_null = false;
        for (const auto& t : *type) has_null = has_null || (t.is_string() && t == "null");
        if (!has_null) type->push_back("null");
    }
}

void complete_property(json& schema, std::string_view description, const Limits& limits, json default_value) {
    if (!schema.is_object()) throw InternalFault("property schema is not an object");
    if (!description.empty()) schema["description"] = std::string(description);
    apply_limits(schema, limits);
    schema["default"] = std::move(default_value);
}

json root_document(std::string_view title, json properties) {
    json document = json{{"type", "object"}};
    document["properties"] = std::move(properties);
    document["title"] = std::string(title);
    document["$schema"] = std::string(kSchemaDialect);
    return document;
}

}  // namespace vora::schema_detail
