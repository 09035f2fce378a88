#include "cli/rule.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <unistd.h>

#include "cli/rule_text.hpp"
#include "io/output.hpp"
#include "lint/codes.hpp"
#include "lint/suggest.hpp"
#include "text/json_string.hpp"
#include "text/lines.hpp"

namespace vora::cli {

namespace {

void out(std::string_view text) { write_whole(STDOUT_FILENO, text); }

void append_json_field(std::string& out, std::string_view name, std::string_view value, bool null_when_empty) {
    out += ", ";
    append_json_string(out, name);
    out += ": ";
    if (null_when_empty && value.empty()) {
        out += "null";
    } else {
        append_json_string(out, value);
    }
}

std::string rule_json(const lint::CodeInfo& info) {
    std::string out = "{\"code\": ";
    append_json_string(out, info.name);
    append_json_field(out, "severity", info.severity, false);
    append_json_field(out, "description", info.description, false);
    append_json_field(out, "explanation", info.explanation, false);
    append_json_field(out, "example", info.example, true);
    append_json_field(out, "instead", info.instead, true);
    append_json_field(out, "fix", info.fix, true);
    return out + "}";
}

// One line a code: its name, severity and description in columns.
std::string rule_list() {
    std::size_t name_width = 0, severity_width = 0;
    for (const lint::CodeInfo& info : lint::kCodeTable) {
        name_width = std::max(name_width, info.name.size());
        severity_width = std::max(severity_width, info.severity.size());
    }
    std::string out;
    for (const lint::CodeInfo& info : lint::kCodeTable) {
        std::string line(info.name);
        line.resize(name_width + 2, ' ');
        line += info.severity;
        line.resize(name_width + 2 + severity_width + 2, ' ');
        out += line;
        out += info.description;
        out += '\n';
    }
    return out;
}

}  // namespace

int rule(const std::vector<std::string_view>& args, int (*usage_error)(std::string_view)) {
    std::optional<std::string_view> code;
    bool all = false;
    bool json = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--all") {
            all = true;
        } else if (arg == "--format" || arg.starts_with("--format=")) {
            std::string_view value;
            if (arg == "--format") {
                if (i + 1 == args.size()) return usage_error("rule: --format needs a value: text or json");
                value = args[++i];
            } else {
                value = arg.substr(9);
            }
            if (value != "text" && value != "json") return usage_error("rule: --format is text or json");
            json = value == "json";
        } else if (arg.size() > 1 && arg.starts_with('-')) {
            return usage_error("rule: unknown option '" + std::string(arg) + "'");
        } else if (code) {
            return usage_error("rule takes one CODE, or --all");
        } else {
            code = arg;
        }
    }
    if (all == code.has_value()) return usage_error("rule takes one CODE, or --all");
    if (all) {
        if (!json) {
            out(rule_list());
            return 0;
        }
        std::string text = "[\n";
        for (const lint::CodeInfo& info : lint::kCodeTable) {
            text += "  " + rule_json(info);
            text += &info == &lint::kCodeTable[std::size(lint::kCodeTable) - 1] ? "\n" : ",\n";
        }
        out(text + "]\n");
        return 0;
    }
    const std::optional<lint::Code> found = lint::code_named(*code);
    if (!found) {
        std::string message = "rule: '" + std::string(*code) + "' is no code of vora-config check";
        if (const auto near = lint::nearest(*code, lint::kCodeNames)) {
            message += "; did you mean '" + std::string(lint::kCodeNames[*near]) + "'?";
        }
        return usage_error(message);
    }
    out(json ? rule_json(found->info()) + "\n" : rule_text(found->info()));
    return 0;
}

}  // namespace vora::cli
