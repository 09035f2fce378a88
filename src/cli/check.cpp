#include "cli/check.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <variant>

#include "cli/command_line.hpp"
#include "cli/fix.hpp"
#include "cli/report.hpp"
#include "cli/targets.hpp"
#include "cli/walk.hpp"
#include "configuration/load.hpp"
#include "io/read_file.hpp"
#include "lint/lint.hpp"
#include "lint/preflight.hpp"
#include "text/display.hpp"
#include "text/integer.hpp"
#include "text/utf8.hpp"
#include "toml/toml.hpp"

#ifndef VORA_VERSION
#define VORA_VERSION "unknown"
#endif

namespace vora::cli {

namespace {

// Copies what is left to read from `fd` to standard output.
void pass_through(int fd) {
    for (char buffer[65536];;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        out(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
}

// Why --diff shows nothing for a file with an error: the first error, on
// one line; empty when the file has none.
std::string nothing_to_show(std::string_view name, std::string_view text, const lint::Findings& findings) {
    // Unknown keys are errors too, but a file with them loads: the errors
    // that stop it are those of reading, syntax and mapping.
    const auto error = std::find_if(findings.begin(), findings.end(), [](const lint::Finding& finding) {
        // (a mapping error of a misspelled section's value is not: loading ignores the section)
        return finding.code == lint::kReadError || finding.code == lint::kParseError ||
               (finding.code == lint::kLoadError && !finding.as_section);
    });
    if (error == findings.end()) return {};
    std::string why = "vora-config: " + std::string(name) + ": nothing to show: ";
    if (error->code == lint::kReadError) return why + "the file cannot be read: " + error->message + "\n";
    why += "the file does not load: ";
    if (const std::optional<toml::Span> span = lint::span(*error, text)) {
        append_integer(why, span->begin.line);
        why += ':';
        append_integer(why, span->begin.column);
        why += ": ";
    }
    return why + error->message + "\n";
}

// Colour on a terminal, unless NO_COLOR is set to anything but nothing.
bool color_wanted() {
    const char* no_color = std::getenv("NO_COLOR");
    return ::isatty(STDOUT_FILENO) == 1 && (no_color == nullptr || *no_color == '\0');
}

// ---------------------------------------------------------------------------
// check: its options, reading a file, linting and fixing it, reporting, and
// the exit status.
// ---------------------------------------------------------------------------

enum class Color { Auto, Always, Never };

struct CheckOptions {
    bool quiet = false;
    bool fix = false;
    bool diff = false;
    bool verbose = false;
    Overrides overrides;  // what wins over the settings files
    Format format = Format::Text;
    std::string_view format_name = "text";
    Color color = Color::Auto;
    std::vector<std::string_view> paths;

    FixMode fix_mode() const { return diff ? FixMode::Diff : fix ? FixMode::Fix : FixMode::Off; }
    // With --fix, /dev/stdin is standard input: the text is printed fixed,
    // not written to whatever file is behind it.
    std::string_view input_path(std::string_view path) const {
        return fix && (path == "/dev/stdin" || path == "/dev/fd/0") ? "-" : path;
    }
    // Whether the fixed text of standard input goes to standard output, and
    // the findings to standard error.
    bool fixes_stdin() const {
        return fix &&
               std::any_of(paths.begin(), paths.end(), [&](std::string_view path) { return input_path(path) == "-"; });
    }
};

// The value of --format, or nothing when it names none.
std::optional<Format> format_named(std::string_view name) {
    if (name == "text") return Format::Text;
    if (name == "json") return Format::Json;
    if (name == "github") return Format::Github;
    if (name == "sarif") return Format::Sarif;
    if (name == "concise") return Format::Concise;
    return std::nullopt;
}

// The value of --color, or nothing when it names none.
std::optional<Color> color_named(std::string_view when) {
    if (when == "auto") return Color::Auto;
    if (when == "always") return Color::Always;
    if (when == "never") return Color::Never;
    return std::nullopt;
}

// Takes the options args[i] that have a value and say what settings files
// would: --select, --ignore, --exclude, --config.
std::optional<int> take_settings_option(const std::vector<std::string_view>& args, std::size_t& i,
                                        Overrides& overrides) {
    for (const std::string_view name : {"--select", "--ignore"}) {
        const auto value = option_value(name, args, i);
        if (!value) continue;
        if (const auto* problem = std::get_if<std::string>(&*value))
            return usage_error(*problem + ": codes, comma-separated");
        auto codes = codes_listed(std::get<std::string_view>(*value));
        if (const auto* unknown = std::get_if<std::string>(&codes)) {
            return usage_error("check: " + std::string(name) + ": '" + *unknown +
                               "' is not a code (vora-config rule --all lists them)");
        }
        (name == "--select" ? overrides.select : overrides.ignore) =
            std::get<std::vector<lint::Code>>(std::move(codes));
        return 0;
    }
    if (const auto value = option_value("--exclude", args, i)) {
        if (const auto* problem = std::get_if<std::string>(&*value)) return usage_error(*problem + ": a glob");
        overrides.exclude.emplace_back(std::get<std::string_view>(*value));
        return 0;
    }
    if (const auto value = option_value("--config", args, i)) {
        if (const auto* problem = std::get_if<std::string>(&*value)) return usage_error(*problem + ": a settings file");
        const std::string path(std::get<std::string_view>(*value));
        struct stat st{};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            return usage_error("check: --config '" + path + "' is not a file");
        }
        overrides.config = path;
        return 0;
    }
    return std::nullopt;
}

// Takes the option args[i] that has a value (--format, --color), moving i
// past its value. Nothing when args[i] is neither; else the usage error's
// exit status, or 0 when it was taken.
std::optional<int> take_value_option(const std::vector<std::string_view>& args, std::size_t& i, CheckOptions& options) {
    if (const auto value = option_value("--format", args, i)) {
        if (const auto* problem = std::get_if<std::string>(&*value)) {
            return usage_error(*problem + ": text, concise, json, github or sarif");
        }
        const std::string_view name = std::get<std::string_view>(*value);
        const std::optional<Format> format = format_named(name);
        if (!format)
            return usage_error("unknown format '" + std::string(name) +
                               "': choose text, concise, json, github or sarif");
        options.format = *format;
        options.format_name = name;
        return 0;
    }
    if (const auto value = option_value("--color", args, i)) {
        if (const auto* problem = std::get_if<std::string>(&*value)) {
            return usage_error(*problem + ": auto, always or never");
        }
        const std::string_view when = std::get<std::string_view>(*value);
        const std::optional<Color> color = color_named(when);
        if (!color) return usage_error("unknown --color '" + std::string(when) + "': choose auto, always or never");
        options.color = *color;
        return 0;
    }
    if (const auto value = option_value("--base", args, i)) {
        if (const auto* problem = std::get_if<std::string>(&*value)) return usage_error(*problem + ": a folder");
        const std::string_view base = std::get<std::string_view>(*value);
        struct stat st{};
        if (base != "config" && (base.empty() || ::stat(std::string(base).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
            return usage_error("check: --base '" + std::string(base) + "' is not a folder");
        }
        options.overrides.base = std::string(base);
        return 0;
    }
    return take_settings_option(args, i, options.overrides);
}

// check's options, or the exit status of a usage error.
std::variant<CheckOptions, int> parse_check(const std::vector<std::string_view>& args) {
    CheckOptions options;
    bool more_options = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (!more_options || arg == "-" || !arg.starts_with('-')) {
            options.paths.push_back(arg);
        } else if (arg == "--") {
            more_options = false;
        } else if (arg == "--strict") {
            options.overrides.strict = true;
        } else if (arg == "--verbose" || arg == "-v") {
            options.verbose = true;
        } else if (arg == "--isolated") {
            options.overrides.isolated = true;
        } else if (arg == "--force-exclude") {
            options.overrides.force_exclude = true;
        } else if (arg == "--quiet" || arg == "-q") {
            options.quiet = true;
        } else if (arg == "--fix") {
            options.fix = true;
        } else if (arg == "--diff") {
            options.diff = true;
        } else if (arg == "--no-files") {
            options.overrides.no_files = true;
        } else if (const std::optional<int> status = take_value_option(args, i, options)) {
            if (*status != 0) return *status;
        } else {
            return usage_error("check: unknown option '" + std::string(arg) + "'");
        }
    }
    if (options.paths.empty()) return usage_error("check needs at least one FILE");
    // --diff shows what --fix would write and writes nothing, as a diff.
    if (options.diff && options.fix) return usage_error("check: --diff and --fix contradict each other: choose one");
    if (options.diff && options.format != Format::Text) {
        return usage_error("check: --diff prints a unified diff, not --format " + std::string(options.format_name));
    }
    // --diff prints the diffs alone.
    options.quiet = options.quiet || options.diff;
    return options;
}

// Standard input read to be fixed, as a filter: what cannot be fixed (it
// cannot be read, or is not UTF-8) is printed as it came.
std::variant<std::string, ReadError> read_stdin_to_fix() {
    std::string bytes;
    auto error = read_bytes(STDIN_FILENO, bytes, kDocumentLimit);
    if (!error && !utf8::valid(bytes)) error = "stream did not contain valid UTF-8";
    if (!error) return bytes;
    out(bytes);
    if (bytes.size() > toml::max_document_size) pass_through(STDIN_FILENO);
    return ReadError{std::move(*error)};
}

// One checked file: its text (empty when it cannot be read) and findings,
// and whether a diff of it was printed.
struct CheckedFile {
    std::string text;
    lint::Findings findings;
    bool changed = false;
    bool other = false;  // no configuration, and rules.skip_others: neither reported nor fixed
};

// Lints `text` and fixes it as the options say: prints its diff or its
// fixed text, and tells on standard error of the keys renamed.
CheckedFile lint_and_fix(const CheckOptions& options, const FileRules& rules, std::string_view path,
                         std::string_view name, std::string text) {
    CheckedFile file{std::move(text), {}, false};
    const FixMode mode = options.fix_mode();
    // The files named are read for what is reported: not for a diff.
    lint::DocumentCheck files;
    const lint::FileCheckOptions file_options{rules.base};
    const bool check_files = rules.files && mode != FixMode::Diff;
    bool loaded = false;  // a document that loads is told from another tool's by the one parse
    if (check_files || rules.skip_others) {
        files = [&](const toml::Document& document, const Configuration& configuration, const Places& places,
                    std::vector<lint::Finding>& out) {
            loaded = true;
            file.other = rules.skip_others && !is_configuration(document);
            if (check_files && !file.other) lint::check_files(configuration, places, file_options, out);
        };
    }
    file.findings = lint::check_text(file.text, files);
    if (rules.skip_others && !loaded) file.other = !is_configuration_text(file.text);
    if (file.other) return file;
    rules.drop_ignored(file.findings);  // neither shown nor fixed
    const FileFix fixed = fix_file(mode, path, name, file.text, file.findings);
    if (!fixed.diff.empty()) {
        out(fixed.diff);
        file.changed = true;
    } else if (mode == FixMode::Diff) {
        err(nothing_to_show(name, file.text, file.findings));
    }
    if (fixed.fixed_text) out(*fixed.fixed_text);
    // A fixed file is checked again, without its files: check them too.
    if (mode == FixMode::Fix && fixed.edits > 0 && check_files) {
        file.findings = lint::check_text(file.text, files);
        rules.drop_ignored(file.findings);
    }
    if (mode == FixMode::Fix && fixed.edits > 0) {
        std::string lines;
        for (const Change& change : fixed.changes) {
            lines += name;
            lines += ':';
            append_integer(lines, change.line);
            lines += ':';
            append_integer(lines, change.column);
            lines += ": `";
            display::append_escaped(lines, change.before);
            lines += "` \u2192 `";
            display::append_escaped(lines, change.after);
            lines += "`\n";
        }
        const std::size_t renames = fixed.edits - fixed.values;
        lines += "vora-config: " + std::string(name) + ": ";
        if (renames > 0) lines += "renamed " + integer_text(renames) + (renames == 1 ? " key" : " keys");
        if (renames > 0 && fixed.values > 0) lines += ", ";
        if (fixed.values > 0) {
            lines += "corrected " + integer_text(fixed.values) + (fixed.values == 1 ? " value" : " values");
        }
        err(lines + "\n");
    }
    return file;
}

// Reads, lints and fixes the file given as `given` ("-": standard input).
CheckedFile check_file(const CheckOptions& options, const FileRules& rules, std::string_view given,
                       std::string_view name) {
    const std::string_view path = options.input_path(given);
    std::variant<std::string, ReadError> read = options.fix && path == "-" ? read_stdin_to_fix() : read_input(path);
    if (auto* text = std::get_if<std::string>(&read)) return lint_and_fix(options, rules, path, name, std::move(*text));
    CheckedFile file;
    file.findings.push_back(lint::Finding{lint::Severity::Error, lint::kReadError, std::get<ReadError>(read).message});
    if (options.diff) err(nothing_to_show(name, file.text, file.findings));
    return file;
}

// Writes the findings in the chosen format, each file's before the next
// file is read, to standard output (standard error when that holds the
// fixed text of standard input); with --quiet, the summary line alone.
class CheckReport {
public:
    explicit CheckReport(const CheckOptions& options)
        : options_(options),
          to_stderr_(options.fixes_stdin()),
          renderer_(make_renderer(options.format, render_options(options))),
          output_([this](std::string_view bytes) { to_stderr_ ? err(bytes) : out(bytes); }) {
        if (!options_.quiet) renderer_->begin(output_);
    }

    // `strict`: a warning fails the check. `configuration`: the file counts
    // as one checked (a settings file's findings do not).
    void file(std::string_view name, std::string_view text, const lint::Findings& findings, bool strict,
              bool configuration = true) {
        const Totals before = totals_;
        totals_.add(findings, configuration);
        failed_ = failed_ || totals_.errors > before.errors || (strict && totals_.warnings > before.warnings);
        if (options_.quiet) return;
        renderer_->file(FileReport{name, text, findings}, output_);
        output_.flush();
    }

    void end() {
        if (options_.diff) return;  // the diffs are the whole output
        if (options_.quiet) {
            (to_stderr_ ? err : out)(summary_line(totals_));
            return;
        }
        renderer_->end(totals_, output_);
        output_.flush();
    }

    // A TOML file of a folder that is no configuration.
    void skipped() { ++totals_.skipped; }

    // Whether the files so far fail the check: an error, or where strict
    // holds for the file a warning.
    bool failed() const { return failed_; }

private:
    static RenderOptions render_options(const CheckOptions& options) {
        const bool color = options.color == Color::Always ||
                           (options.color == Color::Auto && options.format == Format::Text && color_wanted());
        return RenderOptions{color, VORA_VERSION};
    }

    const CheckOptions& options_;
    bool to_stderr_;
    std::unique_ptr<Renderer> renderer_;
    Output output_;
    Totals totals_;
    bool failed_ = false;
};

}  // namespace

int check(const std::vector<std::string_view>& args) {
    std::variant<CheckOptions, int> parsed = parse_check(args);
    if (const int* status = std::get_if<int>(&parsed)) return *status;
    const CheckOptions& options = std::get<CheckOptions>(parsed);
    CheckReport report(options);
    bool changed = false;
    Targets targets(options.overrides);
    Targets::Visitor visitor;
    const auto skipped = [&](std::string_view path) {
        report.skipped();
        if (options.verbose) err("vora-config: " + std::string(path) + ": skipped: not a configuration\n");
    };
    visitor.check = [&](std::string_view given, std::string* text, const FileRules& rules) {
        const std::string_view name = given == "-" ? "<stdin>" : given;
        const CheckedFile checked = text ? lint_and_fix(options, rules, given, name, std::move(*text))
                                         : check_file(options, rules, given, name);
        if (checked.other) return skipped(given);
        changed = changed || checked.changed;
        report.file(name, checked.text, checked.findings, rules.strict);
    };
    visitor.settings = [&](const SettingsFile& settings) {
        report.file(settings.path, settings.text, lint::Findings(settings.findings), false, false);
    };
    visitor.unreadable = [&](std::string_view path, std::string_view error) {
        lint::Findings findings;
        findings.push_back(lint::Finding{lint::Severity::Error, lint::kReadError, std::string(error)});
        report.file(path, "", findings, false);
    };
    for (const std::string_view given : options.paths) targets.run(given, visitor);
    report.end();
    return changed || report.failed() ? 1 : 0;
}

}  // namespace vora::cli
