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
std::string nothing_to_show(std::string_view name, std::string_view text, const std::vector<lint::Finding>& findings) {
    // Unknown keys are errors too, but a file with them loads: the errors
    // that stop it are those of reading, syntax and mapping.
    const auto error = std::find_if(findings.begin(), findings.end(), [](const lint::Finding& finding) {
        // (a mapping error of a misspelled section's value is not: loading ignores the section)
        return finding.code == lint::kReadError || finding.code == lint::kParseError ||
               (finding.code == lint::kLoadError && !finding.as_section());
    });
    if (error == findings.end()) return {};
    std::string why = "vora-config: " + std::string(name) + ": nothing to show: ";
    if (error->code == lint::kReadError) return why + "the file cannot be read: " + error->message(text) + "\n";
    why += "the file does not load: ";
    if (const std::optional<toml::Span> span = error->span(text)) {
        append_integer(why, span->begin.line);
        why += ':';
        append_integer(why, span->begin.column);
        why += ": ";
    }
    return why + error->message(text) + "\n";
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
    bool strict = false;
    bool quiet = false;
    bool fix = false;
    bool diff = false;
    bool files = true;  // check the files a configuration names
    lint::FileCheckOptions file_options;
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
    return std::nullopt;
}

// The value of --color, or nothing when it names none.
std::optional<Color> color_named(std::string_view when) {
    if (when == "auto") return Color::Auto;
    if (when == "always") return Color::Always;
    if (when == "never") return Color::Never;
    return std::nullopt;
}

// Takes the option args[i] that has a value (--format, --color), moving i
// past its value. Nothing when args[i] is neither; else the usage error's
// exit status, or 0 when it was taken.
std::optional<int> take_value_option(const std::vector<std::string_view>& args, std::size_t& i, CheckOptions& options) {
    if (const auto value = option_value("--format", args, i)) {
        if (const auto* problem = std::get_if<std::string>(&*value)) {
            return usage_error(*problem + ": text, json, github or sarif");
        }
        const std::string_view name = std::get<std::string_view>(*value);
        const std::optional<Format> format = format_named(name);
        if (!format)
            return usage_error("unknown format '" + std::string(name) + "': choose text, json, github or sarif");
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
        if (base.empty() || ::stat(std::string(base).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            return usage_error("check: --base '" + std::string(base) + "' is not a folder");
        }
        options.file_options.base = base;
        return 0;
    }
    return std::nullopt;
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
            options.strict = true;
        } else if (arg == "--quiet" || arg == "-q") {
            options.quiet = true;
        } else if (arg == "--fix") {
            options.fix = true;
        } else if (arg == "--diff") {
            options.diff = true;
        } else if (arg == "--no-files") {
            options.files = false;
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
    std::vector<lint::Finding> findings;
    bool changed = false;
};

// Lints `text` and fixes it as the options say: prints its diff or its
// fixed text, and tells on standard error of the keys renamed.
CheckedFile lint_and_fix(const CheckOptions& options, std::string_view path, std::string_view name, std::string text) {
    CheckedFile file{std::move(text), {}, false};
    const FixMode mode = options.fix_mode();
    // The files named are read for what is reported: not for a diff.
    lint::DocumentCheck files;
    if (options.files && mode != FixMode::Diff) {
        files = [&options](const toml::Document&, const Configuration& configuration, const Places& places,
                           std::vector<lint::Finding>& out) {
            lint::check_files(configuration, places, options.file_options, out);
        };
    }
    file.findings = lint::check_text(file.text, files);
    if (mode == FixMode::Off && options.format == Format::Sarif) settle_fixes(file.text, file.findings);
    const FileFix fixed = fix_file(mode, path, name, file.text, file.findings);
    if (!fixed.diff.empty()) {
        out(fixed.diff);
        file.changed = true;
    } else if (mode == FixMode::Diff) {
        err(nothing_to_show(name, file.text, file.findings));
    }
    if (fixed.fixed_text) out(*fixed.fixed_text);
    // A fixed file is checked again, without its files: check them too.
    if (mode == FixMode::Fix && fixed.edits > 0 && files) file.findings = lint::check_text(file.text, files);
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
CheckedFile check_file(const CheckOptions& options, std::string_view given, std::string_view name) {
    const std::string_view path = options.input_path(given);
    std::variant<std::string, ReadError> read = options.fix && path == "-" ? read_stdin_to_fix() : read_input(path);
    if (auto* text = std::get_if<std::string>(&read)) return lint_and_fix(options, path, name, std::move(*text));
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

    void file(std::string_view name, const CheckedFile& checked) {
        totals_.add(checked.findings);
        if (options_.quiet) return;
        renderer_->file(FileReport{name, checked.text, checked.findings}, output_);
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

    // Whether the files so far fail the check: an error, or with --strict
    // a warning.
    bool failed() const { return totals_.errors > 0 || (options_.strict && totals_.warnings > 0); }

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
};

}  // namespace

int check(const std::vector<std::string_view>& args) {
    std::variant<CheckOptions, int> parsed = parse_check(args);
    if (const int* status = std::get_if<int>(&parsed)) return *status;
    const CheckOptions& options = std::get<CheckOptions>(parsed);
    CheckReport report(options);
    bool changed = false;
    for (const std::string_view given : options.paths) {
        const std::string_view name = given == "-" ? "<stdin>" : given;
        const CheckedFile checked = check_file(options, given, name);
        changed = changed || checked.changed;
        report.file(name, checked);
    }
    report.end();
    return changed || report.failed() ? 1 : 0;
}

}  // namespace vora::cli
