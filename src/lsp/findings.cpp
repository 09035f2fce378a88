#include "lsp/findings.hpp"

#include <algorithm>
#include <cctype>

#include "cli/fix.hpp"
#include "configuration/structs.hpp"
#include "lint/lint.hpp"
#include "lint/preflight.hpp"

namespace vora::lsp {

namespace {

std::string resolved(const std::string& base, const std::string& path) {
    if (path.empty() || path.front() == '/' || base.empty()) return path;
    return base + (base.back() == '/' ? "" : "/") + path;
}

// The files and folders whose change changes what the file checks find.
// A list of files as long as the user makes it (accuracy_analysis.inputs)
// is followed for its first entries only: the editor's watch of the
// folder tells of the others.
std::vector<std::string> named_paths(const Configuration& configuration, const std::string& base) {
    constexpr std::size_t kMostListed = 64;
    std::vector<std::string> paths;
    const OnnxLoadConfig& load = configuration.load.onnx();
    paths.push_back(resolved(base, load.model));
    if (load.input_initial_val_file) paths.push_back(resolved(base, *load.input_initial_val_file));
    if (configuration.build.dataset) paths.push_back(resolved(base, *configuration.build.dataset));
    if (configuration.accuracy_analysis) {
        const std::vector<Text>& inputs = configuration.accuracy_analysis->inputs;
        for (std::size_t i = 0; i < inputs.size() && i < kMostListed; ++i) paths.push_back(resolved(base, inputs[i]));
    }
    if (configuration.exports.export_path) {
        const std::string path = resolved(base, *configuration.exports.export_path);
        const std::size_t slash = path.rfind('/');
        paths.push_back(slash == std::string::npos ? "." : path.substr(0, slash + 1));
    }
    return paths;
}

Problem problem_of(const lint::Finding& finding, std::string_view text, bool with_fixes) {
    Problem problem;
    problem.code = std::string(finding.code.text());
    problem.error = finding.severity == lint::Severity::Error;
    if (const auto begin = finding.begin()) {
        problem.placed = true;
        problem.begin = *begin;
        problem.end = finding.end().value_or(*begin);
    }
    problem.message = finding.message(text);
    if (const auto help = finding.help()) {
        problem.message += '\n';
        problem.message += finding.help_lead();
        problem.message += *help;
    }
    for (const lint::Related& related : finding.related()) {
        problem.related.push_back(Note{related.message, related.begin, related.end});
    }
    problem.silenced = finding.silenced();
    if (with_fixes) {
        if (const std::optional<lint::Fix> fix = finding.proposed_fix()) {
            problem.fix = TextEdit{fix->edit.begin, fix->edit.end, std::string(fix->edit.replacement)};
            problem.certain = fix->applicability == lint::Applicability::Certain;
        }
    }
    return problem;
}

std::string_view trimmed_end(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// The byte offset where the line holding `at` ends (before "\r\n" or "\n").
std::size_t line_end(std::string_view text, std::size_t at) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    if (end > at && text[end - 1] == '\r') --end;
    return end;
}

// Whether a multi-line string opens on the rest of a line: a comment added
// at its end would fall inside the string.
bool opens_multiline_string(std::string_view rest) {
    std::size_t quotes = 0;
    for (const std::string_view delimiter : {std::string_view("\"\"\""), std::string_view("'''")}) {
        for (std::size_t at = rest.find(delimiter); at != std::string_view::npos; at = rest.find(delimiter, at + 3)) {
            ++quotes;
        }
    }
    return quotes % 2 == 1;
}

}  // namespace

Checked check_document(std::string_view text, const CheckSettings& settings, bool with_fixes) {
    Checked checked;
    const lint::FileCheckOptions options{settings.base};
    lint::DocumentCheck files;
    if (settings.files) {
        files = [&](const toml::Document& document, const Configuration& configuration,
                    std::vector<lint::Finding>& out) {
            lint::check_files(document, configuration, options, out);
            checked.paths = named_paths(configuration, settings.base);
        };
    }
    std::vector<lint::Finding> findings = lint::check_text(text, files);
    if (with_fixes) cli::settle_fixes(text, findings);
    checked.problems.reserve(findings.size());
    for (const lint::Finding& finding : findings) checked.problems.push_back(problem_of(finding, text, with_fixes));
    return checked;
}

std::string fixed_text(std::string_view text, const CheckSettings&) {
    // The checks of the files named carry no fixes: the text alone is checked.
    std::string fixed(text);
    std::vector<lint::Finding> findings = lint::check_text(fixed);
    cli::FileFix result = cli::fix_file(cli::FixMode::Fix, "-", "-", fixed, findings);
    return result.fixed_text ? std::move(*result.fixed_text) : fixed;
}

std::optional<TextEdit> silence_edit(std::string_view text, const Problem& problem) {
    const std::optional<lint::Code> code = lint::code_named(problem.code);
    if (!code || !problem.placed || problem.begin > text.size()) return std::nullopt;
    if (*code == lint::kReadError || *code == lint::kParseError) return std::nullopt;
    const std::size_t end = line_end(text, problem.begin);
    const std::string_view rest = text.substr(problem.begin, end - problem.begin);
    if (opens_multiline_string(rest)) return std::nullopt;
    const std::size_t start = text.rfind('\n', problem.begin == 0 ? 0 : problem.begin - 1);
    const std::size_t line_start = start == std::string_view::npos || problem.begin == 0 ? 0 : start + 1;
    const std::string_view line = trimmed_end(text.substr(line_start, end - line_start));
    TextEdit edit;
    if (line.rfind("# vora-config: ignore[") != std::string_view::npos && line.ends_with(']')) {
        // The list extended: before its closing bracket.
        const std::size_t close = line_start + line.size() - 1;
        edit = TextEdit{close, close, ", " + problem.code};
    } else {
        const std::size_t at = line_start + line.size();
        edit = TextEdit{at, end, "  # vora-config: ignore[" + problem.code + "]"};
    }
    // Kept only when the comment reads as one that silences the finding.
    std::string edited(text);
    edited.replace(edit.begin, edit.end - edit.begin, edit.text);
    std::vector<lint::Finding> probe;
    probe.emplace_back(lint::Severity::Warning, *code, problem.begin, problem.end);
    if (lint::silence(edited, probe) != 1) return std::nullopt;
    return edit;
}

std::vector<std::string_view> section_names() {
    std::vector<std::string_view> names;
    for_each_field<Configuration>([&](const auto& f, std::size_t) { names.push_back(f.key); });
    return names;
}

namespace {

// The first segment of a key or header name: bare, or quoted.
std::string_view first_segment(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    if (!s.empty() && (s.front() == '"' || s.front() == '\'')) {
        const std::size_t close = s.find(s.front(), 1);
        return close == std::string_view::npos ? std::string_view{} : s.substr(1, close - 1);
    }
    std::size_t n = 0;
    while (n < s.size() && (std::isalnum(static_cast<unsigned char>(s[n])) || s[n] == '_' || s[n] == '-')) ++n;
    return s.substr(0, n);
}

}  // namespace

bool is_configuration(std::string_view text) {
    static constexpr std::string_view kForeign[] = {"project", "tool", "package", "build-system", "workspace"};
    const std::vector<std::string_view> sections = section_names();
    bool known = false;
    bool in_header = false;  // a table header was seen: keys below it are no top-level names
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        std::string_view name;
        if (line.starts_with('[')) {
            in_header = true;
            name = first_segment(line.substr(line.starts_with("[[") ? 2 : 1));
        } else if (!in_header) {
            // A top-level dotted key or inline table names a table too.
            name = first_segment(line);
            const std::size_t eq = line.find('=');
            const bool dotted = line.find('.') < eq;
            const bool inline_table = eq != std::string_view::npos && line.find('{', eq) != std::string_view::npos;
            if (!dotted && !inline_table) name = {};
        }
        if (name.empty()) continue;
        if (std::find(std::begin(kForeign), std::end(kForeign), name) != std::end(kForeign)) return false;
        known = known || std::find(sections.begin(), sections.end(), name) != sections.end();
    }
    return known;
}

}  // namespace vora::lsp
