#include "cli/report.hpp"

#include <nlohmann/json.hpp>

#include "configuration/error.hpp"

namespace vora::cli {

namespace {

std::string_view severity_name(lint::Severity severity) {
    return severity == lint::Severity::Error ? "error" : "warning";
}

std::string plural(std::size_t n, std::string_view word) {
    return std::to_string(n) + " " + std::string(word) + (n == 1 ? "" : "s");
}

// The escaping of workflow commands: the message escapes %, CR and LF; a
// property value also `:` and `,`.
std::string escape_annotation(std::string_view text, bool property) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '%': out += "%25"; break;
            case '\r': out += "%0D"; break;
            case '\n': out += "%0A"; break;
            case ':': out += property ? "%3A" : ":"; break;
            case ',': out += property ? "%2C" : ","; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace

std::string format_text(const std::vector<FileReport>& files) {
    std::string out;
    std::size_t errors = 0, warnings = 0;
    for (const FileReport& file : files) {
        // Where each line starts, found once: a file may have many findings.
        // Positions do not count a byte-order mark, and the lines shown leave it out.
        std::string_view text = file.text;
        if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
        std::vector<std::size_t> starts{0};
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\n') starts.push_back(i + 1);
        }
        const auto line = [&](std::size_t number) -> std::string_view {
            if (number == 0 || number > starts.size()) return {};
            return line_of(text.substr(starts[number - 1]), 1);
        };
        for (const lint::Finding& finding : file.findings) {
            (finding.severity == lint::Severity::Error ? errors : warnings) += 1;
            out += file.name;
            if (finding.span) {
                out += ':' + std::to_string(finding.span->begin.line) + ':' +
                       std::to_string(finding.span->begin.column);
            }
            out += ": ";
            out += severity_name(finding.severity);
            out += '[';
            out += finding.code;
            out += "]: ";
            out += finding.message;
            out += '\n';
            if (finding.span) append_snippet(out, line(finding.span->begin.line), *finding.span);
            out += '\n';
        }
    }
    out += plural(files.size(), "file") + " checked: " + plural(errors, "error") + ", " + plural(warnings, "warning") +
           "\n";
    return out;
}

std::string format_json(const std::vector<FileReport>& files) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const FileReport& file : files) {
        for (const lint::Finding& finding : file.findings) {
            nlohmann::ordered_json item;
            item["file"] = file.name;
            if (finding.span) {
                item["line"] = finding.span->begin.line;
                item["column"] = finding.span->begin.column;
                item["end_line"] = finding.span->end.line;
                item["end_column"] = finding.span->end.column;
            } else {
                for (const char* key : {"line", "column", "end_line", "end_column"}) item[key] = nullptr;
            }
            item["severity"] = severity_name(finding.severity);
            item["code"] = finding.code;
            item["message"] = finding.message;
            item["suggestion"] = finding.suggestion ? nlohmann::ordered_json(*finding.suggestion) : nullptr;
            array.push_back(std::move(item));
        }
    }
    // Names and messages are valid UTF-8: files are checked to be so before
    // they are read, and names are passed through as given.
    return array.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string format_github(const std::vector<FileReport>& files) {
    std::string out;
    for (const FileReport& file : files) {
        for (const lint::Finding& finding : file.findings) {
            out += "::";
            out += severity_name(finding.severity);
            out += " file=" + escape_annotation(file.name, true);
            if (finding.span) {
                const toml::Span& span = *finding.span;
                out += ",line=" + std::to_string(span.begin.line) + ",col=" + std::to_string(span.begin.column) +
                       ",endLine=" + std::to_string(span.end.line) + ",endColumn=" + std::to_string(span.end.column);
            }
            out += ",title=" + escape_annotation("vora-config " + std::string(finding.code), true);
            out += "::" + escape_annotation(finding.message, false) + "\n";
        }
    }
    return out;
}

}  // namespace vora::cli
