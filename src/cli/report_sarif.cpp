// The SARIF format: a SARIF 2.1.0 log of one run, laid out as a JSON
// library's dump(2) lays it out, written around its results as they come
// file by file.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "cli/report_common.hpp"
#include "cli/rule_text.hpp"

namespace vora::cli {

namespace {

using lint::Finding;

// A path as a URI reference: every byte but the unreserved ones and `/`
// percent-encoded.
std::string uri_of(std::string_view path) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') || c == '-' ||
            c == '.' || c == '_' || c == '~' || c == '/') {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
    }
    return out;
}

// A physicalLocation's value, as dump(2) lays it out at the depth of
// `indent` (the spaces that open its closing brace's line).
void put_physical(Writer& o, std::string_view indent, std::string_view uri_json,
                  const std::optional<toml::Span>& span) {
    const auto line = [&](std::string_view more) {
        o.put('\n');
        o.put(indent);
        o.put(more);
    };
    o.put('{');
    line("  \"artifactLocation\": {");
    line("    \"uri\": ");
    o.put(uri_json);
    line("  }");
    if (span) {
        o.put(',');
        line("  \"region\": {");
        line("    \"startLine\": ");
        o.number(span->begin.line);
        o.put(',');
        line("    \"startColumn\": ");
        o.number(span->begin.column);
        o.put(',');
        line("    \"endLine\": ");
        o.number(span->end.line);
        o.put(',');
        line("    \"endColumn\": ");
        o.number(span->end.column);
        line("  }");
    }
    line("}");
}

// Text as Markdown shows it: code spans (between backticks) as they are,
// elsewhere each character that Markdown reads as markup escaped.
std::string markdown_text(std::string_view text) {
    std::string out;
    bool code = false;
    for (const char c : text) {
        if (c == '`') {
            code = !code;
        } else if (!code && std::string_view("\\*_[]<>#|~!&").find(c) != std::string_view::npos) {
            out += '\\';
        }
        out += c;
    }
    return out;
}

class SarifRenderer final : public Renderer {
public:
    // The log, as dump(2) lays it out, is written around its results, which
    // come file by file.
    explicit SarifRenderer(std::string_view version) {
        head_ =
            "{\n  \"version\": \"2.1.0\",\n"
            "  \"$schema\": "
            "\"https://docs.oasis-open.org/sarif/sarif/v2.1.0/errata01/os/schemas/sarif-schema-2.1.0.json\",\n"
            "  \"runs\": [\n    {\n      \"tool\": {\n        \"driver\": {\n"
            "          \"name\": \"vora-config\",\n          \"version\": ";
        append_json_string(head_, version, MalformedUtf8::Replace);
        head_ += ",\n          \"rules\": [";
        for (std::size_t i = 0; i < std::size(lint::kCodeTable); ++i) {
            head_ += i > 0 ? ",\n            {\n              \"id\": " : "\n            {\n              \"id\": ";
            append_json_string(head_, lint::kCodeTable[i].name);
            head_ += ",\n              \"shortDescription\": {\n                \"text\": ";
            append_json_string(head_, lint::kCodeTable[i].description);
            head_ += "\n              },\n              \"fullDescription\": {\n                \"text\": ";
            append_json_string(head_, lint::kCodeTable[i].explanation);
            head_ += "\n              },\n              \"help\": {\n                \"text\": ";
            append_json_string(head_, rule_text(lint::kCodeTable[i]));
            head_ += ",\n                \"markdown\": ";
            append_json_string(head_, rule_markdown(lint::kCodeTable[i]));
            head_ += "\n              }\n            }";
        }
        head_ +=
            "\n          ]\n        }\n      },\n      \"columnKind\": \"unicodeCodePoints\",\n      \"results\": [";
    }

    void begin(Output& out) override { out.buffer() += head_; }

    // Each result written as dump(2) lays it out, indented to its place in
    // the log.
    void file(const FileReport& file, Output& out) override {
        const std::string path = uri_of(file.name);
        std::string uri;  // as a JSON string
        append_json_string(uri, path);
        SourceIndex index(file.text);
        for (const Finding& finding : file.findings) {
            message_ = message_of(finding, buffer_);
            const std::optional<std::string>& help = finding.help;
            markdown_.clear();
            if (help) {
                markdown_ =
                    markdown_text(message_) + "\n\nhelp: " + std::string(finding.help_lead) + markdown_text(*help);
            }
            const std::vector<lint::Related>& related = finding.related;
            const std::optional<lint::Fix>& fix = finding.fix;
            if (fix) {
                fix_text_ = "Write `";
                fix_text_ += fix->edit.replacement;
                fix_text_ += "` here";
            }
            write(finding, index, uri, related, fix, writer_);
            writer_.move_to(out.buffer());
            any_ = true;
            out.spill();
        }
    }

    void end(const Totals&, Output& out) override {
        if (any_) out.buffer() += "\n      ";
        out.buffer() += "]\n    }\n  ]\n}\n";
    }

private:
    void write(const Finding& finding, SourceIndex& index, std::string_view uri,
               const std::vector<lint::Related>& related, const std::optional<lint::Fix>& fix, Writer& o) {
        const bool help = !markdown_.empty();
        o.put(any_ ? ",\n        {" : "\n        {");
        o.put("\n          \"ruleId\": ");
        o.json_string(finding.code.text());
        o.put(",\n          \"ruleIndex\": ");
        o.number(static_cast<std::uint32_t>(finding.code.id()));
        o.put(",\n          \"level\": \"");
        o.put(severity_name(finding.severity));
        o.put("\",\n          \"message\": {\n            \"text\": ");
        o.json_string(message_);
        if (help) {
            o.put(",\n            \"markdown\": ");
            o.json_string(markdown_);
        }
        o.put("\n          },\n          \"locations\": [\n            {\n              \"physicalLocation\": ");
        put_physical(o, "              ", uri, lint::span(finding, index));
        o.put("\n            }\n          ]");
        if (!related.empty()) {
            o.put(",\n          \"relatedLocations\": [");
            for (std::size_t i = 0; i < related.size(); ++i) {
                o.put(i > 0 ? ",\n            {" : "\n            {");
                o.put("\n              \"id\": ");
                o.number(static_cast<std::uint32_t>(i));
                o.put(",\n              \"physicalLocation\": ");
                put_physical(o, "              ", uri, lint::span(finding, related[i], index));
                o.put(",\n              \"message\": {\n                \"text\": ");
                o.json_string(related[i].message);
                o.put("\n              }\n            }");
            }
            o.put("\n          ]");
        }
        if (fix) put_fix(o, uri, *fix);
        if (finding.silenced) {
            o.put(
                ",\n          \"suppressions\": [\n            {\n              \"kind\": \"inSource\"\n"
                "            }\n          ]");
        }
        o.put("\n        }");
    }

    // SARIF's `fixes`: the edit as a replacement of bytes (offsets into the
    // file as read, a byte-order mark included), described in words; how far
    // it may be trusted in the fix's properties.
    void put_fix(Writer& o, std::string_view uri, const lint::Fix& fix) const {
        const auto line = [&](std::string_view text) {
            o.put('\n');
            o.put(text);
        };
        o.put(",\n          \"fixes\": [\n            {");
        line("              \"description\": {");
        line("                \"text\": ");
        o.json_string(fix_text_);
        line("              },");
        line("              \"artifactChanges\": [");
        line("                {");
        line("                  \"artifactLocation\": {");
        line("                    \"uri\": ");
        o.put(uri);
        line("                  },");
        line("                  \"replacements\": [");
        line("                    {");
        line("                      \"deletedRegion\": {");
        line("                        \"byteOffset\": ");
        o.number(static_cast<std::uint32_t>(fix.edit.begin));
        o.put(',');
        line("                        \"byteLength\": ");
        o.number(static_cast<std::uint32_t>(fix.edit.end - fix.edit.begin));
        line("                      },");
        line("                      \"insertedContent\": {");
        line("                        \"text\": ");
        o.json_string(fix.edit.replacement);
        line("                      }");
        line("                    }");
        line("                  ]");
        line("                }");
        line("              ],");
        line("              \"properties\": {");
        line("                \"applicability\": ");
        o.put(fix.applicability == lint::Applicability::Certain ? "\"certain\"" : "\"suggestion\"");
        line("              }");
        line("            }");
        line("          ]");
    }

    Writer writer_;
    std::string fix_text_;  // the fix's description, reused
    std::string head_;
    bool any_ = false;
    std::string buffer_;        // a finding's message with its mark, reused
    std::string_view message_;  // the finding's message, while it is written
    std::string markdown_;      // and it with its help, reused
};

}  // namespace

std::unique_ptr<Renderer> make_sarif_renderer(std::string_view version) {
    return std::make_unique<SarifRenderer>(version);
}

}  // namespace vora::cli
