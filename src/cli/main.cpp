// vora-config: checks, explains and describes configuration files from the
// command line, with the same core as the module.
//
//   vora-config check [--strict] [--quiet] [--fix] [--diff]
//                     [--format text|concise|json|github|sarif] [--color auto|always|never]
//                     [--base DIR|config] [--no-files] [--select CODES] [--ignore CODES]
//                     [--exclude GLOB] [--config FILE | --isolated] [--force-exclude] [--verbose] PATH...
//   vora-config explain [--format text|json|list] FILE
//   vora-config plan [--format text|json] [--python 3.X] FILE
//   vora-config schema
//   vora-config init [--output FILE]
//   vora-config rule [--format text|json] CODE | --all
//   vora-config lsp
//
// Exit status: 0 on success, 1 when a file has an error (or, with --strict,
// a warning) or cannot be explained, 2 on a usage error.
#include <algorithm>
#include <cstdlib>
#include <exception>
#include <optional>
#include <unistd.h>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/check.hpp"
#include "cli/command_line.hpp"
#include "cli/explain.hpp"
#include "cli/help.hpp"
#include "cli/init.hpp"
#include "cli/plan.hpp"
#include "cli/report.hpp"
#include "cli/rule.hpp"
#include "configuration/file_schema.hpp"
#include "configuration/load.hpp"
#include "io/output.hpp"
#include "lsp/server.hpp"
#include "summary/summary.hpp"
#include "text/integer.hpp"
#include "text/python_repr.hpp"

#ifndef VORA_VERSION
#define VORA_VERSION "unknown"
#endif

namespace {

using namespace vora;
using cli::err;
using cli::option_value;
using cli::out;
using cli::read_input;
using cli::usage_error;

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

int init(const std::vector<std::string_view>& args) { return cli::init(args, cli::usage_error); }

int rule(const std::vector<std::string_view>& args) { return cli::rule(args, cli::usage_error); }

int lsp(const std::vector<std::string_view>& args) {
    if (!args.empty()) return usage_error("lsp takes no arguments");
    return lsp::run(STDIN_FILENO, STDOUT_FILENO, VORA_VERSION);
}

struct Command {
    std::string_view name;
    int (*run)(const std::vector<std::string_view>&);
};

constexpr Command kCommands[] = {
    {"check", cli::check}, {"explain", explain}, {"plan", plan}, {"schema", schema},
    {"init", init},        {"rule", rule},       {"lsp", lsp},
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
            out(*cli::command_help(command->name));
            return 0;
        }
        out(std::string(cli::usage()) + "\n" + std::string(cli::overview()));
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
            out(*cli::command_help(command->name));
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
