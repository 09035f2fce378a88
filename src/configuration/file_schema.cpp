#include "configuration/file_schema.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

#include "configuration/schema.hpp"
#include "configuration/structs.hpp"

namespace vora {

namespace {

using json = nlohmann::json;

// What the value type states beyond the section schema: the range of a
// 32-bit integer, and the declared choices of texts (a closed
// list as "enum", an open one as "examples"), down through lists.
template <class T>
void complete_for_file(json& schema, const Choices& choices) {
    if constexpr (is_optional<T>::value) {
        complete_for_file<typename T::value_type>(schema, choices);
    } else if constexpr (is_vector<T>::value) {
        complete_for_file<typename T::value_type>(schema["items"], choices);
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
        if (!schema.contains("minimum")) schema["minimum"] = std::numeric_limits<std::int32_t>::min();
        if (!schema.contains("maximum")) schema["maximum"] = std::numeric_limits<std::int32_t>::max();
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (choices.count == 0) return;
        json items = json::array();
        for (const std::string_view item : choices.items()) items.push_back(std::string(item));
        schema[choices.open ? "examples" : "enum"] = std::move(items);
    }
}

template <class Record>
json section_object(std::string_view section) {
    json properties = section_schema<Record>().at("properties");
    for_each_field<Record>([&](const auto& f, std::size_t) {
        using T = typename std::remove_cvref_t<decltype(f)>::value_type;
        complete_for_file<T>(properties.at(std::string(f.key)), f.choices);
    });
    json object = json{{"type", "object"},
                       {"title", std::string(Record::name)},
                       {"description", "The [" + std::string(section) + "] section: the arguments of VORA." +
                                           std::string(Record::method) + "."}};
    object["properties"] = std::move(properties);
    object["additionalProperties"] = false;
    return object;
}

}  // namespace

json file_schema() {
    json sections = json::object();
    for_each_field<Configuration>([&](const auto& f, std::size_t) {
        json& section = sections[std::string(f.key)] = section_object<section_record_t<decltype(f)>>(f.key);
        if constexpr (std::is_same_v<section_value_t<decltype(f)>, LoadConfig>) {
            // The tag of the section: required, with its one accepted value.
            const std::string tag(LoadConfig::tag_key);
            section["properties"][tag] = json{{"type", "string"},
                                              {"const", std::string(LoadConfig::onnx_tag)},
                                              {"enum", json::array({std::string(LoadConfig::onnx_tag)})},
                                              {"description", std::string(LoadConfig::tag_description)}};
            section["required"] = json::array({tag});
        }
    });

    json document = json{{"$schema", std::string(kFileSchemaDialect)},
                         {"title", "VORA conversion configuration"},
                         {"description",
                          "How an ONNX model becomes a VORA model: one section per converter call. Loading "
                          "ignores keys and sections that are not listed here; `vora-config check` warns of them."},
                         {"type", "object"}};
    document["properties"] = std::move(sections);
    document["additionalProperties"] = false;
    return document;
}

}  // namespace vora
