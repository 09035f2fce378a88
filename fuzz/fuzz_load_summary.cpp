// Fuzz target: vora::parse_configuration and what rust_explain makes of its
// result, on every input that is well-formed UTF-8 (the file reader refuses
// any other before the loader sees it).
//
// A refused file is rendered as its user sees it; an accepted one is turned
// into the whole configuration summary. Checked on the way:
//   - the loader never accepts a text the bare reader refuses;
//   - an error has a message, its span runs forwards between positions of
//     the text, and its rendering is well-formed UTF-8;
//   - the summary opens with its banner and is well-formed UTF-8;
//   - `vora-config check` finds an error exactly when loading fails, one of
//     them with loading's message (a hint may follow it) at loading's span,
//     around it (a list whose elements all fail alike) or with that span as
//     a related place, every finding's span (and
//     related place) lies in the text, and its report is well-formed UTF-8;
//   - check's JSON reads back as JSON that dump(2) lays out byte for byte
//     as it was written;
//   - the edits of `check --fix` lie in the text apart from each other, and
//     the fixed text still reads as TOML (no rename makes a duplicate key).
// Anything thrown out of the loader or the renderers is a fault: the module
// would report it as an internal error.

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/fix.hpp"
#include "cli/report.hpp"
#include "configuration/load.hpp"
#include "lint/lint.hpp"
#include "summary/summary.hpp"
#include "support/summary_text.hpp"
#include "text_index.hpp"
#include "toml/toml.hpp"

namespace {

using fuzz::require;

volatile std::size_t sink;

void check_findings(std::string_view text, const vora::LoadResult& loaded) {
    const vora::lint::Findings findings = vora::lint::check_text(text);
    const vora::cli::FileReport report{"fuzz.toml", text, findings};
    const auto* err = std::get_if<vora::LoadError>(&loaded);
    std::size_t errors = 0;
    bool loading_error_found = false;
    const fuzz::LineIndex lines(text);
    const std::optional<vora::Span> loading_span = err ? err->span() : std::nullopt;
    const auto inside = [&](const vora::Span& s) {
        require(fuzz::before_or_same(s.begin, s.end), "finding span ends before it begins");
        require(lines.contains(s.begin.line, s.begin.column), "finding begins outside the text");
        require(lines.contains(s.end.line, s.end.column), "finding ends outside the text");
    };
    for (const vora::lint::Finding& finding : report.findings) {
        const std::optional<vora::Span> span = vora::lint::span(finding, text);
        // The errors of a file that loads all the same (unknown keys, say,
        // or a misspelled section's values mapped as the section meant) are
        // not loading's.
        vora::SourceIndex index(text);
        if (finding.code == vora::lint::kParseError ||
            (finding.code == vora::lint::kLoadError && !finding.as_section)) {
            ++errors;
            require(err != nullptr, "check reports an error that loading does not");
            const auto& related = finding.related;
            const bool around = span && loading_span && fuzz::before_or_same(span->begin, loading_span->begin) &&
                                fuzz::before_or_same(loading_span->end, span->end);
            const bool at_loadings = around || std::any_of(related.begin(), related.end(), [&](const auto& r) {
                                         return loading_span && vora::lint::span(finding, r, index) == *loading_span;
                                     });
            loading_error_found = loading_error_found || (finding.message.starts_with(err->message) && at_loadings);
        }
        if (span) inside(*span);
        for (const vora::lint::Related& related : finding.related) {
            require(related.begin <= related.end && related.end <= text.size(),
                    "a related range lies outside the text");
            inside(vora::lint::span(finding, related, index));
        }
        if (const std::optional<vora::lint::Fix>& fix = finding.fix) {
            require(fix->edit.begin < fix->edit.end && fix->edit.end <= text.size(),
                    "a proposed fix is empty or lies outside the text");
        }
    }
    require((errors > 0) == (err != nullptr), "check and loading disagree on whether the file loads");
    require(!err || loading_error_found, "check does not report loading's error");
    std::size_t fixed_until = 0;
    for (const vora::lint::Finding& finding : report.findings) {
        if (!vora::lint::certain(finding)) continue;
        const vora::lint::Edit* fix = &finding.fix->edit;
        require(fixed_until <= fix->begin && fix->begin < fix->end && fix->end <= text.size(),
                "fixes overlap, are empty or lie outside the text");
        fixed_until = fix->end;
    }
    if (fixed_until > 0) {
        const std::string fixed = vora::lint::apply_fixes(text, report.findings);
        require(std::holds_alternative<vora::toml::Document>(vora::toml::parse(fixed)), "a fix breaks the TOML");
    }
    const std::string shown = vora::cli::render(vora::cli::Format::Text, {report});
    require(fuzz::valid_utf8(shown), "check report is not UTF-8");
    const std::string json = vora::cli::render(vora::cli::Format::Json, {report});
    require(nlohmann::ordered_json::parse(json).dump(2) + "\n" == json,
            "check's JSON is not laid out as dump(2) lays it out");
    sink = sink + fuzz::touch(shown) + fuzz::touch(json) +
           fuzz::touch(vora::cli::render(vora::cli::Format::Github, {report})) +
           fuzz::touch(vora::cli::render(vora::cli::Format::Sarif, {report}));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!fuzz::valid_utf8(text)) return 0;

    const vora::LoadResult loaded = vora::parse_configuration(text);
    check_findings(text, loaded);
    if (const auto* err = std::get_if<vora::LoadError>(&loaded)) {
        require(!err->message.empty(), "load error without a message");
        if (const std::optional<vora::Span> span = err->span()) {
            const fuzz::LineIndex lines(text);
            const vora::Span& s = *span;
            require(fuzz::before_or_same(s.begin, s.end), "load error span ends before it begins");
            require(lines.contains(s.begin.line, s.begin.column), "load error begins outside the text");
            require(lines.contains(s.end.line, s.end.column), "load error ends outside the text");
        }
        for (const std::string& key : err->path) sink = sink + fuzz::touch(key);
        const std::string shown = err->render();
        require(!shown.empty() && shown.back() == '\n', "rendered error is empty or unterminated");
        require(fuzz::valid_utf8(shown), "rendered error is not UTF-8");
        sink = sink + fuzz::touch(shown);
        return 0;
    }

    require(!std::holds_alternative<vora::toml::Error>(vora::toml::parse(text)),
            "loader accepts a text the reader refuses");
    const std::string summary = vora::summary_test::configuration_summary(std::get<vora::Configuration>(loaded));
    require(summary.starts_with("\n[Configuration Summary]\n\n"), "summary without its banner");
    require(fuzz::valid_utf8(summary), "summary is not UTF-8");
    sink = sink + fuzz::touch(summary);
    return 0;
}
