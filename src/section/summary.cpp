#include "section/summary.hpp"

#include <nlohmann/json.hpp>

#include "configuration/schema.hpp"
#include "section/cell_text.hpp"
#include "table/table.hpp"

namespace vora {
namespace {

using json = nlohmann::json;

const json& member_or_null(const json& object, const std::string& name) {
    static const json null_value;
    if (!object.is_object()) return null_value;
    const auto found = object.find(name);
    return found == object.end() ? null_value : *found;
}

template <class Record>
std::string summary_of(std::string_view section_name, const Record& record) {
    const json schema = section_schema<Record>();
    const json values = record_json(record);
    const json defaults = record_json(Record{});

    Table table;
    table.add_row({"Key", "Value", "Default", "Set by User?", "Description"});
    const auto properties = schema.find("properties");
    if (properties != schema.end() && properties->is_object()) {
        // Members come in ascending byte order of their names.
        for (auto it = properties->begin(); it != properties->end(); ++it) {
            const std::string& key = it.key();
            const json& property = it.value();
            const json& value = member_or_null(values, key);
            const json& default_value = member_or_null(defaults, key);
            std::string description;
            if (property.is_object()) {
                const auto found = property.find("description");
                if (found != property.end() && found->is_string()) description = found->get<std::string>();
            }
            table.add_row(std::vector<std::string>{key, cell_text(value), cell_text(default_value),
                                                   json_equal(value, default_value) ? "No" : "Yes",
                                                   std::move(description)});
        }
    }

    std::string out = "[";
    out += section_name;
    out += "]\n";
    out += render(table);
    out += "\n\n";
    return out;
}

}  // namespace

std::string section_summary(std::string_view section_name, const ConfigConfig& record) {
    return summary_of(section_name, record);
}
std::string section_summary(std::string_view section_name, const OnnxLoadConfig& record) {
    return summary_of(section_name, record);
}
std::string section_summary(std::string_view section_name, const BuildConfig& record) {
    return summary_of(section_name, record);
}
std::string section_summary(std::string_view section_name, const AccuracyAnalysisConfig& record) {
    return summary_of(section_name, record);
}
std::string section_summary(std::string_view section_name, const ExportConfig& record) {
    return summary_of(section_name, record);
}

std::string configuration_summary(const Configuration& configuration) {
    std::string out = "\n[Configuration Summary]\n\n";
    out += section_summary("config", configuration.config);
    out += section_summary("load", configuration.load.onnx());
    out += section_summary("build", configuration.build);
    if (configuration.accuracy_analysis) out += section_summary("accuracy_analysis", *configuration.accuracy_analysis);
    out += section_summary("export", configuration.exports);
    return out;
}

}  // namespace vora
