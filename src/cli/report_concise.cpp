// The concise format: one line per finding, as compilers and linters print
// them for editors' and terminals' "go to" lists, and the text format's
// closing line.
#include <optional>
#include <string>

#include "cli/report_common.hpp"
#include "text/display.hpp"
#include "text/source_index.hpp"

namespace vora::cli {

namespace {

class ConciseRenderer final : public Renderer {
public:
    void file(const FileReport& file, Output& out) override {
        SourceIndex index(file.text);
        for (const lint::Finding& finding : file.findings) {
            if (finding.silenced) continue;
            std::string& o = out.buffer();
            display::append_one_line(o, file.name);
            if (const std::optional<toml::Span> span = lint::span(finding, index)) {
                o += ':';
                append_position(o, span->begin);
            }
            o += ": ";
            o += severity_name(finding.severity);
            o += '[';
            o += finding.code.text();
            o += "] ";
            display::append_one_line(o, message_of(finding, message_));
            o += '\n';
            out.spill();
        }
    }

    void end(const Totals& totals, Output& out) override { out.buffer() += summary_line(totals); }

private:
    std::string message_;  // the finding's, reused
};

}  // namespace

std::unique_ptr<Renderer> make_concise_renderer() { return std::make_unique<ConciseRenderer>(); }

}  // namespace vora::cli
