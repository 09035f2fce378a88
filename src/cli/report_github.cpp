// The GitHub format: one workflow-command annotation line per finding.
#include <optional>
#include <string>
#include <string_view>

#include "cli/report_common.hpp"

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

class GithubRenderer final : public Renderer {
public:
    void file(const FileReport& file, Output& out) override {
        const std::string name = escape_annotation(file.name, true);
        SourceIndex index(file.text);
        for (const Finding& finding : file.findings) {
            if (finding.silenced()) continue;
            std::string& o = out.buffer();
            o += "::";
            o += severity_name(finding.severity);
            o += " file=" + name;
            if (const std::optional<toml::Span> place = finding.span(index)) {
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
            std::string message = finding.message(file.text);
            append_as_section(message, finding);
            for (const lint::Related& related : finding.related()) {
                message += " (" + related.message + " at ";
                append_position(message, finding.span(related, index).begin);
                message += ')';
            }
            // The help on a line of its own under the message.
            if (const std::optional<std::string_view> help = finding.help()) {
                message += "\nhelp: ";
                message += finding.help_lead();
                message += *help;
            }
            o += "::" + escape_annotation(message, false) + "\n";
            out.spill();
        }
    }

    void end(const Totals&, Output&) override {}
};

}  // namespace

std::unique_ptr<Renderer> make_github_renderer() { return std::make_unique<GithubRenderer>(); }

}  // namespace vora::cli
