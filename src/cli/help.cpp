#include "cli/help.hpp"

namespace vora::cli {

namespace {

constexpr std::string_view kUsage =
    "usage: vora-config check [--strict] [--quiet] [--fix] [--diff]\n"
    "                         [--format text|json|github|sarif] [--color auto|always|never]\n"
    "                         [--base DIR] [--no-files] FILE...\n"
    "       vora-config explain [--format text|json|list] FILE\n"
    "       vora-config plan [--format text|json] [--python 3.X] FILE\n"
    "       vora-config schema\n"
    "       vora-config init [--output FILE]\n"
    "       vora-config rule [--format text|json] CODE | --all\n"
    "       vora-config lsp\n"
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
    "  lsp              a language server on standard input and output, with check's findings\n"
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

constexpr std::string_view kLspHelp =
    "usage: vora-config lsp\n"
    "\n"
    "Runs a language server (Language Server Protocol 3.17) on standard input and output, for an\n"
    "editor to start. In each open configuration (a TOML file whose top level holds a section of\n"
    "the configuration and no [project], [tool], [package], [build-system] or [workspace] table)\n"
    "it shows check's findings as you type, with their fixes, a fix of them all\n"
    "(source.fixAll.vora-config: what check --fix makes) and a silencing comment as code actions;\n"
    "hover tells a key's description, type, default and what the converter receives, and the\n"
    "model's inputs and outputs; completion offers keys, sections, choices, the model's names and\n"
    "files. Relative paths are taken from the configuration's folder. It exits with status 0 after\n"
    "shutdown and exit, 1 when the input ends or exit comes without shutdown.\n";

struct CommandHelp {
    std::string_view command;
    std::string_view help;
};

constexpr CommandHelp kCommandHelp[] = {
    {"check", kCheckHelp}, {"explain", kExplainHelp}, {"plan", kPlanHelp},
    {"schema", kSchemaHelp}, {"init", kInitHelp}, {"rule", kRuleHelp}, {"lsp", kLspHelp},
};

}  // namespace

std::string_view usage() { return kUsage; }

std::string_view overview() { return kHelp; }

std::optional<std::string_view> command_help(std::string_view command) {
    for (const CommandHelp& entry : kCommandHelp) {
        if (entry.command == command) return entry.help;
    }
    return std::nullopt;
}

}  // namespace vora::cli
