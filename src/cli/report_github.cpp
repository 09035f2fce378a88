// The GitHub format: one workflow-command annotation line per finding.
#include <optional>
#include <string>
#include <string_view>

#include "cli/report_common.hpp"
#include "text/display.hpp"

namespace vora::cli {

namespace {

using lint::Finding;

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

// Text as one line of a log: control characters, bidirectional marks and
// malformed bytes escaped as the text format escapes them.
std::string one_line(std::string_view text) {
    std::string out;
    display::append_one_line(out, text);
    return out;
}

// A file name as the `file` property: escaped as one line but for its line
// breaks, which the property's own escaping writes (%0D, %0A) and GitHub
// reads back to find the file.
std::string file_property(std::string_view name) {
    std::string out;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && name[i] != '\r' && name[i] != '\n') continue;
        display::append_one_line(out, name.substr(start, i - start));
        if (i < name.size()) out += name[i];
        start = i + 1;
    }
    return escape_annotation(out, true);
}

class GithubRenderer final : public Renderer {
public:
    void file(const FileReport& file, Output& out) override {
        const std::string name = file_property(file.name);
        SourceIndex index(file.text);
        for (const Finding& finding : file.findings) {
            if (finding.silenced) continue;
            std::string& o = out.buffer();
            o += "::";
            o += severity_name(finding.severity);
            o += " file=" + name;
            if (const std::optional<toml::Span> place = lint::span(finding, index)) {
                const toml::Span& span = *place;
                o += ",line=";
                append_integer(o, span.begin.line);
                o += ",col=";
                append_integer(o, span.begin.column);
                o += ",endLine=";
                append_integer(o, span.end.line);
                o += ",endColumn=";
                append_integer(o, span.end.column);
            }
            o += ",title=" + escape_annotation("vora-config " + std::string(finding.code.text()), true);
            // Each text escaped as one line: the only line break is the
            // one before the help, which the annotation's escaping keeps.
            std::string message = one_line(message_of(finding, raw_));
            for (const lint::Related& related : finding.related) {
                message += " (";
                display::append_one_line(message, related.message);
                message += " at ";
                append_position(message, lint::span(finding, related, index).begin);
                message += ')';
            }
            // The help on a line of its own under the message.
            if (const std::optional<std::string>& help = finding.help) {
                message += "\nhelp: ";
                message += finding.help_lead;
                display::append_one_line(message, *help);
            }
            o += "::" + escape_annotation(message, false) + "\n";
            out.spill();
        }
    }

    void end(const Totals&, Output&) override {}

private:
    std::string raw_;  // a finding's message as it is, reused
};

}  // namespace

std::unique_ptr<Renderer> make_github_renderer() { return std::make_unique<GithubRenderer>(); }

}  // namespace vora::cli
