// vora-config: checks, explains and describes configuration files from the
// command line, with the same core as the module.
//
//   vora-config check [--strict] [--format text|json|github] FILE...
//   vora-config explain FILE
//   vora-config schema
//   vora-config init [--output FILE]
//
// Exit status: 0 on success, 1 when a file has an error (or, with --strict,
// a warning) or cannot be explained, 2 on a usage error.
#include <exception>
#include <string>
#include <string_view>
#include <unistd.h>
#include <variant>
#include <vector>

#include "cli/init.hpp"
#include "cli/report.hpp"
#include "configuration/file_schema.hpp"
#include "configuration/load.hpp"
#include "lint/lint.hpp"
#include "output.hpp"
#include "read_file.hpp"
#include "section/summary.hpp"

#ifndef VORA_VERSION
#define VORA_VERSION "unknown"
#endif

namespace {

using namespace vora;

constexpr std::string_view kUsage =
    "usage: vora-config check [--strict] [--format text|json|github] FILE...\n"
    "       vora-config explain FILE\n"
    "       vora-config schema\n"
    "       vora-config init [--output FILE]\n"
    "       vora-config --help | --version\n";

constexpr std::string_view kHelp =
    "Checks, explains and describes the configuration files of a VORA model conversion.\n"
    "\n"
    "commands:\n"
    "  check FILE...    load each file as the converter front end does and report, in file order,\n"
    "                   the error that stops it loading and warnings for keys and sections it does\n"
    "                   not know (with the key likely meant) and for values outside what a key\n"
    "                   documents; FILE - reads standard input\n"
    "      --strict     exit with status 1 on warnings too\n"
    "      --format F   text (the default: findings with the source line), json (one array of\n"
    "                   findings) or github (workflow annotation lines)\n"
    "  explain FILE     print the configuration summary, exactly as rust_explain prints it\n"
    "  schema           print the JSON Schema (draft-07) of the configuration file, for editors\n"
    "                   and validators\n"
    "  init             print a starting file: every section and key commented out, with its\n"
    "                   description, choices and default, under a header naming the schema\n"
    "      --output F   write it to F instead (never over an existing file), and the schema\n"
    "                   beside it as vora-config.schema.json unless that file is there\n"
    "\n"
    "exit status: 0 when no file has an error, 1 when one has (or, with --strict, a warning),\n"
    "2 on a usage error\n";

void out(std::string_view text) { write_whole(STDOUT_FILENO, text); }
void err(std::string_view text) { write_whole(STDERR_FILENO, text); }

int usage_error(std::string_view message) {
    err("vora-config: " + std::string(message) + "\n");
    err(kUsage);
    return 2;
}

std::variant<std::string, ReadError> read_input(std::string_view path) {
    return path == "-" ? read_text_descriptor(STDIN_FILENO) : read_text_file(path);
}

int check(const std::vector<std::string_view>& args) {
    bool strict = false;
    cli::Format format = cli::Format::Text;
    std::vector<std::string_view> paths;
    bool options = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (options && arg == "--") {
            options = false;
        } else if (options && arg == "--strict") {
            strict = true;
        } else if (options && (arg == "--format" || arg.starts_with("--format="))) {
            std::string_view value;
            if (arg == "--format") {
                if (i + 1 == args.size()) return usage_error("--format needs a value: text, json or github");
                value = args[++i];
            } else {
                value = arg.substr(9);
            }
            if (value == "text") {
                format = cli::Format::Text;
            } else if (value == "json") {
                format = cli::Format::Json;
            } else if (value == "github") {
                format = cli::Format::Github;
            } else {
                return usage_error("unknown format '" + std::string(value) + "': choose text, json or github");
            }
        } else if (options && arg.size() > 1 && arg.starts_with('-')) {
            return usage_error("check: unknown option '" + std::string(arg) + "'");
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.empty()) return usage_error("check needs at least one FILE");

    std::vector<cli::FileReport> files;
    bool failed = false;
    for (const std::string_view path : paths) {
        cli::FileReport& file = files.emplace_back();
        file.name = path == "-" ? "<stdin>" : std::string(path);
        auto read = read_input(path);
        if (auto* error = std::get_if<ReadError>(&read)) {
            file.findings.push_back(
                lint::Finding{lint::Severity::Error, "read-error", error->message, std::nullopt, std::nullopt});
        } else {
            file.text = std::move(std::get<std::string>(read));
            file.findings = lint::check_text(file.text);
        }
        for (const lint::Finding& finding : file.findings) {
            failed = failed || finding.severity == lint::Severity::Error || strict;
        }
    }
    switch (format) {
        case cli::Format::Text: out(cli::format_text(files)); break;
        case cli::Format::Json: out(cli::format_json(files)); break;
        case cli::Format::Github: out(cli::format_github(files)); break;
    }
    return failed ? 1 : 0;
}

int explain(const std::vector<std::string_view>& args) {
    if (args.size() != 1) return usage_error("explain needs exactly one FILE");
    auto read = read_input(args[0]);
    if (auto* error = std::get_if<ReadError>(&read)) {
        err(error->message + "\n");
        return 1;
    }
    auto loaded = parse_configuration(std::get<std::string>(read));
    if (auto* error = std::get_if<LoadError>(&loaded)) {
        err(error->render());
        return 1;
    }
    std::string buffer;
    out(draw_configuration_summary(std::get<Configuration>(loaded), buffer));
    return 0;
}

int schema(const std::vector<std::string_view>& args) {
    if (!args.empty()) return usage_error("schema takes no arguments");
    out(file_schema().dump(2) + "\n");
    return 0;
}

int run(int argc, char** argv) {
    std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (args.empty()) return usage_error("a command is needed");
    const std::string_view command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        out(std::string(kUsage) + "\n" + std::string(kHelp));
        return 0;
    }
    if (command == "--version" || command == "-V") {
        out("vora-config " VORA_VERSION "\n");
        return 0;
    }
    const std::vector<std::string_view> rest(args.begin() + 1, args.end());
    for (const std::string_view arg : rest) {
        if (arg == "--") break;
        if (arg == "--help" || arg == "-h") {
            out(std::string(kUsage) + "\n" + std::string(kHelp));
            return 0;
        }
    }
    if (command == "check") return check(rest);
    if (command == "explain") return explain(rest);
    if (command == "schema") return schema(rest);
    if (command == "init") return cli::init(rest, usage_error);
    return usage_error("unknown command '" + std::string(command) + "'");
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
