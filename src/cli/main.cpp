// vora-config: checks, explains and describes configuration files from the
// command line, with the same core as the module.
//
//   vora-config check [--strict] [--quiet] [--fix] [--diff]
//                     [--format text|json|github|sarif] [--color auto|always|never]
//                     [--base DIR] [--no-files] FILE...
//   vora-config explain [--format text|json|list] FILE
//   vora-config plan [--format text|json] [--python 3.X] FILE
//   vora-config schema
//   vora-config init [--output FILE]
//   vora-config rule [--format text|json] CODE | --all
//
// Exit status: 0 on success, 1 when a file has an error (or, with --strict,
// a warning) or cannot be explained, 2 on a usage error.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <variant>
#include <vector>

#include "cli/explain.hpp"
#include "cli/fix.hpp"
#include "cli/init.hpp"
#include "cli/plan.hpp"
#include "cli/report.hpp"
#include "cli/rule.hpp"
#include "configuration/file_schema.hpp"
#include "configuration/load.hpp"
#include "lint/lint.hpp"
#include "lint/preflight.hpp"
#include "io/output.hpp"
#include "io/read_file.hpp"
#include "summary/summary.hpp"
#include "text/display.hpp"
#include "text/integer.hpp"
#include "text/python_repr.hpp"
#include "text/utf8.hpp"
#include "toml/toml.hpp"

#ifndef VORA_VERSION
#define VORA_VERSION "unknown"
#endif

namespace {

using namespace vora;

constexpr std::string_view kUsage =
    "usage: vora-config check [--strict] [--quiet] [--fix] [--diff]\n"
    "                         [--format text|json|github|sarif] [--color auto|always|never]\n"
    "                         [--base DIR] [--no-files] FILE...\n"
    "       vora-config explain [--format text|json|list] FILE\n"
    "       vora-config plan [--format text|json] [--python 3.X] FILE\n"
    "       vora-config schema\n"
    "       vora-config init [--output FILE]\n"
    "       vora-config rule [--format text|json] CODE | --all\n"
    "       vora-config COMMAND --help | --help | --version\n";

constexpr std::string_view kHelp =
    "Checks, explains and describes the configuration files of a VORA model conversion.\n"
    "\n"
    "commands:\n"
    "  check FILE...    report every error and warning of each file, in file order\n"
    "  explain FILE     print the configuration summary, exactly as rust_explain prints it\n"
    "  plan FILE        print the converter calls rust_convert would make, with their arguments\n"
    "  schema           print the JSON Schema (draft-07) of the configuration file\n"
    "  init             print a starting file, every section and key commented out\n"
    "  rule CODE        what a finding code catches, why it matters, an example and its fix\n"
    "\n"
    "`vora-config COMMAND --help` tells more of each.\n"
    "\n"
    "exit status: 0 when no file has an error, 1 when one has (or, with --strict, a warning),\n"
    "2 on a usage error\n";

constexpr std::string_view kCheckHelp =
    "usage: vora-config check [--strict] [--quiet] [--fix] [--diff]\n"
    "                         [--format text|json|github|sarif] [--color auto|always|never]\n"
    "                         [--base DIR] [--no-files] FILE...\n"
    "\n"
    "Loads each file as the converter front end does and reports, in file order, every error that\n"
    "stops it loading (a file that is not TOML gets its one syntax error), errors for keys and\n"
    "sections the configuration does not know, which the converter would ignore (with the key\n"
    "likely meant), and warnings for values outside what a key documents. Then it reads the files\n"
    "a file that loads names: a file or folder that is not there (model, dataset and its entries,\n"
    "input_initial_val_file, accuracy_analysis.inputs, the folder of export_path) is a warning; a\n"
    "model that is no ONNX model, input or output names, shapes or initial arrays the model does\n"
    "not have, an initial values file that is no npy/npz file are errors. What a file gives is\n"
    "written before the next file is read. FILE - reads standard input. A comment that ends a line,\n"
    "`# vora-config: ignore` or `# vora-config: ignore[CODE, ...]`, silences the findings (of those\n"
    "codes) that start on it: they are counted apart and fail nothing.\n"
    "\n"
    "options:\n"
    "  --strict            exit with status 1 on warnings too\n"
    "  --format F          text (the default: each finding with its source line), json (one array\n"
    "                      of findings), github (workflow annotation lines) or sarif (SARIF 2.1.0)\n"
    "  --color WHEN        colours in the text format: auto (the default: on a terminal, unless\n"
    "                      NO_COLOR is set), always or never\n"
    "  -q, --quiet         print only the closing summary line\n"
    "  --fix               rename in place each unknown key whose intended key is certain (a case-only\n"
    "                      difference, or the one nearest key of its table when that is not set there)\n"
    "                      and correct each choice written in other case or one slip from a single\n"
    "                      choice; list each change on standard error, then report what is left; with\n"
    "                      FILE -, print the fixed text and report on standard error\n"
    "  --diff              print a unified diff of what --fix would change and write nothing (exit\n"
    "                      status 1 when there is something to change); not with --fix, nor with\n"
    "                      a --format other than text\n"
    "  --base DIR          take relative paths in the files from DIR, as the converter run there\n"
    "                      would (default: the current directory)\n"
    "  --no-files          read none of the files a configuration names (for CI without models)\n"
    "  -h, --help          print this help\n"
    "\n"
    "exit status: 0 when no file has an error, 1 when one has (or, with --strict, a warning),\n"
    "2 on a usage error\n";

constexpr std::string_view kExplainHelp =
    "usage: vora-config explain [--format text|json|list] FILE\n"
    "\n"
    "Prints the configuration summary of FILE exactly as rust_explain prints it, or the error that\n"
    "stops the file loading on standard error (exit status 1). FILE - reads standard input.\n"
    "\n"
    "options:\n"
    "  --format F          text (the default: the summary, byte for byte the module's, for scripts\n"
    "                      that compare it; about 200 columns wide), list (for a terminal: one key a\n"
    "                      line, `[section] key = value`, then `(default: ...)` where the value differs\n"
    "                      from the default, each line within 80 columns, a long value cut with ...),\n"
    "                      or json: the effective configuration, per section (null when absent) and\n"
    "                      key, one key a line:\n"
    "                      {\"value\", \"default\", \"differs_from_default\", \"description\"}\n";

constexpr std::string_view kPlanHelp =
    "usage: vora-config plan [--format text|json] [--python 3.X] FILE\n"
    "\n"
    "Prints the converter calls that rust_convert would make for FILE, in order, one line each, as\n"
    "the converter receives them: the method, repr() of each positional argument, then\n"
    "keyword=repr() of each keyword argument in call order. accuracy_analysis appears only when it\n"
    "would be called. The arrays of input_initial_val_file are not loaded: the file's path is shown\n"
    "instead. A file that does not load prints the module's error (exit status 1).\n"
    "\n"
    "options:\n"
    "  --format F          text (the default) or json: an array of {\"method\", \"args\", \"kwargs\"},\n"
    "                      the arrays of a numpy file as {\"numpy_load\": PATH}\n"
    "  --python 3.X        show texts as repr() of that Python shows them: 3.8 to 3.15 (the default\n"
    "                      is 3.13). Each escapes the characters its Unicode version has not assigned:\n"
    "                      3.8 Unicode 12.1, 3.9 and 3.10 13.0, 3.11 14.0, 3.12 15.0, 3.13 15.1,\n"
    "                      3.14 16.0, 3.15 17.0\n";

constexpr std::string_view kRuleHelp =
    "usage: vora-config rule [--format text|json] CODE\n"
    "       vora-config rule [--format text|json] --all\n"
    "\n"
    "Prints what the finding code CODE of check catches, when it is an error and when a warning,\n"
    "why it matters to a conversion, an example and what to write instead, and what --fix does of\n"
    "it; --all lists every code with its severity and description, one a line.\n"
    "\n"
    "options:\n"
    "  --format F          text (the default) or json: an object per code, with its \"code\",\n"
    "                      \"severity\", \"description\", \"explanation\", \"example\", \"instead\" and\n"
    "                      \"fix\" (null where it has none); with --all, a list of them\n"
    "  -h, --help          print this help\n";

constexpr std::string_view kInitHelp =
    "usage: vora-config init [--output FILE]\n"
    "\n"
    "Prints a starting file: a header naming the schema, then every section and key commented out,\n"
    "each key with its description, its choices and its default (or an example value).\n"
    "\n"
    "options:\n"
    "  --output FILE       write it to FILE instead (never over an existing file), and the schema\n"
    "                      beside it as vora-config.schema.json unless a file of that name is there\n"
    "  -h, --help          print this help\n";

constexpr std::string_view kSchemaHelp =
    "usage: vora-config schema\n"
    "\n"
    "Prints the JSON Schema (draft-07) of the configuration file, for editors and validators.\n";

void out(std::string_view text) { write_whole(STDOUT_FILENO, text); }
void err(std::string_view text) { write_whole(STDERR_FILENO, text); }

int usage_error(std::string_view message) {
    err("vora-config: " + std::string(message) + "\n");
    err(kUsage);
    return 2;
}

std::variant<std::string, ReadError> read_input(std::string_view path) {
    return path == "-" ? read_text_descriptor(STDIN_FILENO, kDocumentLimit) : read_text_file(path, kDocumentLimit);
}

// An option's value: "--name VALUE" (taking the next argument) or
// "--name=VALUE". Empty when `arg` is not the option; an error text when
// the value is missing.
std::optional<std::variant<std::string_view, std::string>> option_value(std::string_view name,
                                                                        const std::vector<std::string_view>& args,
                                                                        std::size_t& i) {
    const std::string_view arg = args[i];
    if (arg == name) {
        if (i + 1 == args.size()) return std::string(name) + " needs a value";
        return args[++i];
    }
    if (arg.starts_with(name) && arg.size() > name.size() && arg[name.size()] == '=') {
        return arg.substr(name.size() + 1);
    }
    return std::nullopt;
}

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
    cli::Format format = cli::Format::Text;
    std::string_view format_name = "text";
    Color color = Color::Auto;
    std::vector<std::string_view> paths;

    cli::FixMode fix_mode() const { return diff ? cli::FixMode::Diff : fix ? cli::FixMode::Fix : cli::FixMode::Off; }
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
std::optional<cli::Format> format_named(std::string_view name) {
    if (name == "text") return cli::Format::Text;
    if (name == "json") return cli::Format::Json;
    if (name == "github") return cli::Format::Github;
    if (name == "sarif") return cli::Format::Sarif;
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
        const std::optional<cli::Format> format = format_named(name);
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
    if (options.diff && options.format != cli::Format::Text) {
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
    const cli::FixMode mode = options.fix_mode();
    // The files named are read for what is reported: not for a diff.
    lint::DocumentCheck files;
    if (options.files && mode != cli::FixMode::Diff) {
        files = [&options](const toml::Document& document, const Configuration& configuration,
                           std::vector<lint::Finding>& out) {
            lint::check_files(document, configuration, options.file_options, out);
        };
    }
    file.findings = lint::check_text(file.text, files);
    if (mode == cli::FixMode::Off && options.format == cli::Format::Sarif) cli::settle_fixes(file.text, file.findings);
    const cli::FileFix fixed = cli::fix_file(mode, path, name, file.text, file.findings);
    if (!fixed.diff.empty()) {
        out(fixed.diff);
        file.changed = true;
    } else if (mode == cli::FixMode::Diff) {
        err(nothing_to_show(name, file.text, file.findings));
    }
    if (fixed.fixed_text) out(*fixed.fixed_text);
    // A fixed file is checked again, without its files: check them too.
    if (mode == cli::FixMode::Fix && fixed.edits > 0 && files) file.findings = lint::check_text(file.text, files);
    if (mode == cli::FixMode::Fix && fixed.edits > 0) {
        std::string lines;
        for (const cli::Change& change : fixed.changes) {
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
          renderer_(cli::make_renderer(options.format, render_options(options))),
          output_([this](std::string_view bytes) { to_stderr_ ? err(bytes) : out(bytes); }) {
        if (!options_.quiet) renderer_->begin(output_);
    }

    void file(std::string_view name, const CheckedFile& checked) {
        totals_.add(checked.findings);
        if (options_.quiet) return;
        renderer_->file(cli::FileReport{name, checked.text, checked.findings}, output_);
        output_.flush();
    }

    void end() {
        if (options_.diff) return;  // the diffs are the whole output
        if (options_.quiet) {
            (to_stderr_ ? err : out)(cli::summary_line(totals_));
            return;
        }
        renderer_->end(totals_, output_);
        output_.flush();
    }

    // Whether the files so far fail the check: an error, or with --strict
    // a warning.
    bool failed() const { return totals_.errors > 0 || (options_.strict && totals_.warnings > 0); }

private:
    static cli::RenderOptions render_options(const CheckOptions& options) {
        const bool color = options.color == Color::Always ||
                           (options.color == Color::Auto && options.format == cli::Format::Text && color_wanted());
        return cli::RenderOptions{color, VORA_VERSION};
    }

    const CheckOptions& options_;
    bool to_stderr_;
    std::unique_ptr<cli::Renderer> renderer_;
    cli::Output output_;
    cli::Totals totals_;
};

// Exit status: 1 when a file has an error (with --strict, a warning) or a
// diff was printed, else 0.
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

// The Pythons --python takes, as a usage message lists them: "3.8, ... or 3.15".
std::string known_pythons() {
    std::string list;
    for (int minor = kFirstPythonMinor; minor <= kLastPythonMinor; ++minor) {
        if (minor > kFirstPythonMinor) list += minor == kLastPythonMinor ? " or " : ", ";
        list += "3.";
        append_integer(list, minor);
    }
    return list;
}

// The value of plan's --python, or the usage error's message.
std::variant<PythonVersion, std::string> python_option(const std::variant<std::string_view, std::string>& value) {
    if (const auto* problem = std::get_if<std::string>(&value)) return *problem + ": " + known_pythons();
    const std::string_view given = std::get<std::string_view>(value);
    if (const auto python = python_version(given)) return *python;
    return "plan: unknown --python '" + std::string(given) + "': choose " + known_pythons();
}

// The arguments of explain and plan: [--format F] FILE, F one of `formats`
// (the first the default), and for plan (`python` not null) [--python 3.X].
// Null after a usage error, whose status is in `status`.
std::optional<std::pair<std::string_view, std::string_view>> file_and_format(
    std::string_view command, const std::vector<std::string_view>& args,
    std::initializer_list<std::string_view> formats, int& status, PythonVersion* python = nullptr) {
    std::optional<std::string_view> file;
    std::string_view format = *formats.begin();
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (const auto value = python ? option_value("--python", args, i) : std::nullopt) {
            auto chosen = python_option(*value);
            if (auto* message = std::get_if<std::string>(&chosen)) {
                status = usage_error(*message);
                return std::nullopt;
            }
            *python = std::get<PythonVersion>(chosen);
        } else if (const auto value = option_value("--format", args, i)) {
            const auto* name = std::get_if<std::string_view>(&*value);
            if (!name || std::find(formats.begin(), formats.end(), *name) == formats.end()) {
                std::string message = std::string(command) + ": --format is ";
                for (const std::string_view* f = formats.begin(); f != formats.end(); ++f) {
                    if (f != formats.begin()) message += f + 1 == formats.end() ? " or " : ", ";
                    message += *f;
                }
                status = usage_error(message);
                return std::nullopt;
            }
            format = *name;
        } else if (arg.size() > 1 && arg.starts_with('-') && arg != "--") {
            status = usage_error(std::string(command) + ": unknown option '" + std::string(arg) + "'");
            return std::nullopt;
        } else if (arg == "--" && i + 1 < args.size() && !file) {
            file = args[++i];
        } else if (file || arg == "--") {
            status = usage_error(std::string(command) + " needs exactly one FILE");
            return std::nullopt;
        } else {
            file = arg;
        }
    }
    if (!file) {
        status = usage_error(std::string(command) + " needs exactly one FILE");
        return std::nullopt;
    }
    return std::pair{*file, format};
}

// The configuration of FILE, or null once the failure is printed: the file
// named, then the module's message as it is.
std::optional<Configuration> load_for_command(std::string_view path) {
    const auto fail = [&](std::string message) {
        if (!message.ends_with('\n')) message += '\n';
        err("vora-config: " + std::string(path == "-" ? "<stdin>" : path) + ": " + message);
        return std::nullopt;
    };
    auto read = read_input(path);
    if (auto* error = std::get_if<ReadError>(&read)) return fail(std::move(error->message));
    auto loaded = parse_configuration(std::get<std::string>(read));
    if (auto* error = std::get_if<LoadError>(&loaded)) return fail(cli::shown_error(*error));
    return std::move(std::get<Configuration>(loaded));
}

int explain(const std::vector<std::string_view>& args) {
    int status = 0;
    const auto given = file_and_format("explain", args, {"text", "json", "list"}, status);
    if (!given) return status;
    const std::optional<Configuration> configuration = load_for_command(given->first);
    if (!configuration) return 1;
    if (given->second == "json") {
        out(cli::explain_json(*configuration));
    } else if (given->second == "list") {
        out(cli::explain_list(*configuration));
    } else {
        print_stdout_drawn([&](Sink& sink) { draw_configuration_summary(*configuration, sink); });
    }
    return 0;
}

int plan(const std::vector<std::string_view>& args) {
    int status = 0;
    PythonVersion python = kDefaultPython;
    const auto given = file_and_format("plan", args, {"text", "json"}, status, &python);
    if (!given) return status;
    const std::optional<Configuration> configuration = load_for_command(given->first);
    if (!configuration) return 1;
    out(given->second == "json" ? cli::plan_json(*configuration) : cli::plan_text(*configuration, python));
    return 0;
}

int schema(const std::vector<std::string_view>& args) {
    if (!args.empty()) return usage_error("schema takes no arguments");
    out(file_schema().dump(2) + "\n");
    return 0;
}

int init(const std::vector<std::string_view>& args) { return cli::init(args, usage_error); }

int rule(const std::vector<std::string_view>& args) { return cli::rule(args, usage_error); }

struct Command {
    std::string_view name;
    int (*run)(const std::vector<std::string_view>&);
    std::string_view help;
};

constexpr Command kCommands[] = {
    {"check", check, kCheckHelp},    {"explain", explain, kExplainHelp}, {"plan", plan, kPlanHelp},
    {"schema", schema, kSchemaHelp}, {"init", init, kInitHelp},          {"rule", rule, kRuleHelp},
};

const Command* find_command(std::string_view name) {
    for (const Command& command : kCommands) {
        if (command.name == name) return &command;
    }
    return nullptr;
}

int run(int argc, char** argv) {
    std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (args.empty()) return usage_error("a command is needed");
    const std::string_view name = args[0];
    if (name == "--help" || name == "-h" || name == "help") {
        // `help COMMAND` is that command's help.
        if (name == "help" && args.size() > 1) {
            const Command* command = find_command(args[1]);
            if (!command) return usage_error("unknown command '" + std::string(args[1]) + "'");
            out(command->help);
            return 0;
        }
        out(std::string(kUsage) + "\n" + std::string(kHelp));
        return 0;
    }
    if (name == "--version" || name == "-V") {
        out("vora-config " VORA_VERSION "\n");
        return 0;
    }
    const Command* command = find_command(name);
    if (!command) return usage_error("unknown command '" + std::string(name) + "'");
    const std::vector<std::string_view> rest(args.begin() + 1, args.end());
    for (const std::string_view arg : rest) {
        if (arg == "--") break;
        if (arg == "--help" || arg == "-h") {
            out(command->help);
            return 0;
        }
    }
    return command->run(rest);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        try {
            err("vora-config: " + std::string(e.what()) + "\n");
        } catch (...) {
        }
        return 1;
    }
}
