#include "cli/help.hpp"

namespace vora::cli {

namespace {

constexpr std::string_view kUsage =
    "usage: vora-config check [--strict] [--quiet] [--fix] [--diff]\n"
    "                         [--format text|concise|json|github|sarif] [--color auto|always|never]\n"
    "                         [--base DIR|config] [--no-files] [--select CODES] [--ignore CODES]\n"
    "                         [--exclude GLOB] [--config FILE | --isolated] [--force-exclude]\n"
    "                         [--verbose] PATH...\n"
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
    "  check PATH...    report every error and warning of each file, in file order\n"
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
    "                         [--format text|concise|json|github|sarif] [--color auto|always|never]\n"
    "                         [--base DIR|config] [--no-files] [--select CODES] [--ignore CODES]\n"
    "                         [--exclude GLOB] [--config FILE | --isolated] [--force-exclude]\n"
    "                         [--verbose] PATH...\n"
    "\n"
    "Loads each file as the converter front end does and reports, in file order, every error that\n"
    "stops it loading (a file that is not TOML gets its one syntax error), keys and sections the\n"
    "configuration does not know (with the key likely meant), and values the converter would take\n"
    "otherwise than the file means. Then it reads the files a file that loads names: the model,\n"
    "the initial values, the dataset and its entries, the accuracy inputs, the export's folder.\n"
    "An error: the converter will fail, or will convert something other than what the file says\n"
    "or the model needs (a file that is not there, a shape count or size the model does not take,\n"
    "a deviation of 0, a name twice). A warning: likely a mistake, but a conversion may mean it.\n"
    "Nothing: what is fine, even if unusual. The same whether or not `inputs` is set and whether\n"
    "or not the model was read. What a file gives is\n"
    "written before the next file is read. FILE - reads standard input. A comment that ends a line,\n"
    "`# vora-config: ignore` or `# vora-config: ignore[CODE, ...]`, silences the findings (of those\n"
    "codes) that start on it: they are counted apart and fail nothing.\n"
    "\n"
    "A PATH that is a folder is walked (hidden folders, build, node_modules and __pycache__ left\n"
    "out; names in byte order; links followed, a folder entered once; FIFOs and devices never\n"
    "opened; a folder that cannot be read is reported as a read-error) and each *.toml in it that\n"
    "is a configuration is checked: one whose top level has a section the converter reads (or,\n"
    "having none, one check takes for its misspelling, as [Load]) and no [project], [tool],\n"
    "[package], [build-system] or [workspace]. Other TOML files are counted in the closing line as\n"
    "skipped. A FILE named is always checked (with --force-exclude, taken as the walk takes it).\n"
    "\n"
    "Settings: the nearest vora-config.toml, or pyproject.toml with a [tool.vora-config] table,\n"
    "in the file's folder or above it (vora-config.toml first) holds for each file: select,\n"
    "ignore (lists of codes), per-file-ignores (glob = [codes], the glob matched against the path\n"
    "below the settings' folder or the file's name), strict, files (false: as --no-files), base\n"
    "(\"config\" or a folder from the settings' folder) and exclude (globs). An option given\n"
    "wins over the file. A code selected away or ignored is dropped: not shown, not counted, not\n"
    "fixed (unlike a suppression comment, which silences it); read and parse errors never are.\n"
    "A fault in the settings is a finding of the settings file (bad-setting, unknown-code).\n"
    "\n"
    "options:\n"
    "  --strict            exit with status 1 on warnings too\n"
    "  --format F          text (the default: each finding with its source line), concise (one line\n"
    "                      each: file:line:column: severity[code] message), json (one array of\n"
    "                      findings), github (workflow annotation lines) or sarif (SARIF 2.1.0)\n"
    "  --color WHEN        colours in the text format: auto (the default: on a terminal, unless\n"
    "                      NO_COLOR is set), always or never\n"
    "  -q, --quiet         print only the closing summary line\n"
    "  -v, --verbose       name on standard error each TOML file skipped as no configuration\n"
    "  --fix               rename in place each unknown key whose intended key is certain (a case-only\n"
    "                      difference, or the one nearest key of its table when that is not set there)\n"
    "                      and correct each choice written in other case or one slip from a single\n"
    "                      choice; list each change on standard error, then report what is left; with\n"
    "                      FILE -, print the fixed text and report on standard error\n"
    "  --diff              print a unified diff of what --fix would change and write nothing (exit\n"
    "                      status 1 when there is something to change); not with --fix, nor with\n"
    "                      a --format other than text\n"
    "  --base DIR          take relative paths in the files from DIR, as the converter run there\n"
    "                      would (default: the current directory); --base config: from each\n"
    "                      file's own folder (a folder named config: --base ./config)\n"
    "  --no-files          read none of the files a configuration names (for CI without models)\n"
    "  --select CODES      report only these codes (comma-separated), in place of the settings'\n"
    "  --ignore CODES      drop these codes (comma-separated), in place of the settings'\n"
    "  --exclude GLOB      walk past files and folders whose name or path below the folder given\n"
    "                      matches GLOB (more than once: any of them), beside the settings' exclude\n"
    "  --config FILE       take the settings from FILE for every file, looking for no other\n"
    "  --isolated          read no settings file\n"
    "  --force-exclude     take each FILE named as a folder's files are taken: skipped when excluded\n"
    "                      or no configuration (for pre-commit, which names every TOML file touched)\n"
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
    {"check", kCheckHelp}, {"explain", kExplainHelp}, {"plan", kPlanHelp}, {"schema", kSchemaHelp},
    {"init", kInitHelp},   {"rule", kRuleHelp},       {"lsp", kLspHelp},
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
