#include "cli/plan.hpp"

#include "configuration/call_plan.hpp"
#include "configuration/value_json.hpp"
#include "summary/summary.hpp"

namespace vora::cli {

std::string plan_text(const Configuration& configuration, PythonVersion python) {
    std::string out;
    for (const PlannedCall& call : call_plan(configuration, python)) {
        out += call_line(call);
        out.push_back('\n');
    }
    return out;
}

std::string plan_json(const Configuration& configuration) {
    // The JSON forms alone are written: the Python whose repr() is made matters not.
    const std::vector<PlannedCall> calls = call_plan(configuration, kDefaultPython);
    std::string out = "[\n";
    for (std::size_t c = 0; c < calls.size(); ++c) {
        out += "  {\"method\": ";
        append_json_string(out, calls[c].method);
        out += ", \"args\": [";
        bool first = true;
        for (const PlannedArgument& argument : calls[c].arguments) {
            if (!argument.keyword.empty()) continue;
            if (!first) out += ", ";
            first = false;
            out += argument.json;
        }
        out += "], \"kwargs\": {";
        first = true;
        for (const PlannedArgument& argument : calls[c].arguments) {
            if (argument.keyword.empty()) continue;
            if (!first) out += ", ";
            first = false;
            append_json_string(out, argument.keyword);
            out += ": ";
            out += argument.json;
        }
        out += c + 1 < calls.size() ? "}},\n" : "}}\n";
    }
    out += "]\n";
    return out;
}

namespace {

template <class Record>
void append_section_json(std::string& out, const Record& record) {
    static const Record defaults{};
    constexpr auto order = summary_detail::rows_in_key_order<Record>();
    out += "{\n";
    for (std::size_t row = 0; row < order.size(); ++row) {
        for_each_field<Record>([&](const auto& f, std::size_t index) {
            if (index != order[row]) return;
            out += "    ";
            append_json_string(out, f.key);
            out += ": {\"value\": ";
            json_form::append_json(out, f.get(record));
            out += ", \"default\": ";
            json_form::append_json(out, f.get(defaults));
            out += ", \"differs_from_default\": ";
            out += same_json_form(f.get(record), f.get(defaults)) ? "false" : "true";
            out += ", \"description\": ";
            append_json_string(out, f.description);
            out += row + 1 < order.size() ? "},\n" : "}\n";
        });
    }
    out += "  }";
}

}  // namespace

std::string explain_json(const Configuration& configuration) {
    std::string out = "{\n";
    constexpr std::size_t sections = field_count<Configuration>();
    for_each_field<Configuration>([&](const auto& f, std::size_t index) {
        out += "  ";
        append_json_string(out, f.key);
        out += ": ";
        const auto& value = f.get(configuration);
        if constexpr (is_optional<std::remove_cvref_t<decltype(value)>>::value) {
            if (value) {
                append_section_json(out, section_record(*value));
            } else {
                out += "null";
            }
        } else {
            append_section_json(out, section_record(value));
        }
        out += index + 1 < sections ? ",\n" : "\n";
    });
    out += "}\n";
    return out;
}

}  // namespace vora::cli
