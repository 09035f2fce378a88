// The JSON format: one array of findings, each an object with its fields
// one to a line, as a JSON library's dump(2) lays the array out.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "cli/report_common.hpp"
#include "text/utf8.hpp"

namespace vora::cli {

namespace {

using lint::Finding;

// A JSON string of a file name as the system gives it: each byte that is not
// part of well-formed UTF-8 is written as the lone surrogate U+DC00 + byte,
// so that a reader decoding with surrogateescape gets the very bytes back.
std::string json_name(std::string_view name) {
    std::string out = "\"";
    std::size_t run = 0;  // start of the well-formed bytes not yet written
    const auto flush = [&](std::size_t to) {
        const std::string_view part = name.substr(run, to - run);
        append_json_characters(out, part);
    };
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t at = i;
        const char32_t cp = utf8::next(name, i);
        if (cp == utf8::replacement && name.substr(at, 3) != "\xEF\xBF\xBD") {
            flush(at);
            static constexpr char hex[] = "0123456789abcdef";
            const auto byte = static_cast<unsigned char>(name[at]);
            out += "\\udc";
            out += hex[byte >> 4];
            out += hex[byte & 15];
            run = i;
        }
    }
    flush(name.size());
    out += '"';
    return out;
}

// The four fields of a span, each line opening with `indent`; written out
// field by field, as a loop over them costs the linter's JSON 2 % more.
template <std::size_t N>
void put_span(Writer& o, const char (&indent)[N], const std::optional<toml::Span>& span) {
    if (!span) {
        o.put(indent);
        o.put("\"line\": null,");
        o.put(indent);
        o.put("\"column\": null,");
        o.put(indent);
        o.put("\"end_line\": null,");
        o.put(indent);
        o.put("\"end_column\": null");
        return;
    }
    o.put(indent);
    o.put("\"line\": ");
    o.number(span->begin.line);
    o.put(',');
    o.put(indent);
    o.put("\"column\": ");
    o.number(span->begin.column);
    o.put(',');
    o.put(indent);
    o.put("\"end_line\": ");
    o.number(span->end.line);
    o.put(',');
    o.put(indent);
    o.put("\"end_column\": ");
    o.number(span->end.column);
}

void put_optional(Writer& o, const std::optional<std::string>& text) {
    if (text) {
        o.json_string(*text);
    } else {
        o.put("null");
    }
}

// Each finding an object, its fields one to a line, as dump(2) lays out the
// array of them.
class JsonRenderer final : public Renderer {
public:
    void begin(Output& out) override { out.buffer() += '['; }

    void file(const FileReport& file, Output& out) override {
        // Each object opens with the file.
        const std::string head = "\n  {\n    \"file\": " + json_name(file.name) + ',';
        code_ = {};
        SourceIndex index(file.text);
        for (const Finding& finding : file.findings) {
            write(finding, index, head, out.buffer());
            any_ = true;
            out.spill();
        }
    }

    void end(const Totals&, Output& out) override { out.buffer() += any_ ? "\n]\n" : "]\n"; }

private:
    void write(const Finding& finding, SourceIndex& index, std::string_view head, std::string& buffer) {
        const std::optional<toml::Span> span = lint::span(finding, index);
        Writer& o = writer_;
        if (any_) o.put(',');
        o.put(head);
        put_span(o, "\n    ", span);
        if (finding.severity == lint::Severity::Error) {
            o.put(",\n    \"severity\": \"error\",\n    \"code\": ");
        } else {
            o.put(",\n    \"severity\": \"warning\",\n    \"code\": ");
        }
        // The codes are a few constants: each written once as JSON.
        if (finding.code.text().data() != code_.data() || finding.code.text().size() != code_.size()) {
            code_ = finding.code.text();
            code_json_.clear();
            append_json_string(code_json_, code_);
        }
        o.put(code_json_);
        o.put(",\n    \"message\": ");
        o.json_string(finding.message);
        if (const std::optional<std::string>& section = finding.as_section) {
            o.put(",\n    \"as_section\": ");
            o.json_string(*section);
        }
        o.put(",\n    \"suggestion\": ");
        put_optional(o, finding.suggestion);
        o.put(",\n    \"related\": [");
        const std::vector<lint::Related>& related = finding.related;
        for (std::size_t i = 0; i < related.size(); ++i) {
            if (i > 0) o.put(',');
            o.put("\n      {\n        \"message\": ");
            o.json_string(related[i].message);
            o.put(',');
            put_span(o, "\n        ", lint::span(finding, related[i], index));
            o.put("\n      }");
        }
        if (!related.empty()) o.put("\n    ");
        o.put("],\n    \"help\": ");
        put_optional(o, finding.help);
        if (finding.silenced) o.put(",\n    \"silenced\": true");
        o.put("\n  }");
        o.move_to(buffer);
    }

    Writer writer_;
    bool any_ = false;
    // The last finding's code, of the file's findings, which all live
    // while they are written: the same bytes where the same view.
    std::string_view code_;
    std::string code_json_;  // and it as a JSON string
};

}  // namespace

std::unique_ptr<Renderer> make_json_renderer() { return std::make_unique<JsonRenderer>(); }

}  // namespace vora::cli
