// Which TOML files are configurations, and the walk of the folders `check`
// is given. Plain functions of a document, a text or a path that print
// nothing, for any front end (the command line, an editor's server).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "toml/toml.hpp"

namespace vora::cli {

// A TOML document is a configuration when its top level holds at least one
// section the converter reads (Configuration's fields), or a name check
// takes for its misspelling ([Load]), and no table that marks another tool's
// file: [project], [tool], [package], [build-system], [workspace].
bool is_configuration(const toml::Document& document);

// The same of a text. Of a text that does not read as TOML, its header
// lines tell: one with a section the converter reads and none of another
// tool's is checked, so that its syntax error is reported, not skipped.
bool is_configuration_text(std::string_view text);

// What a text is by that rule: a configuration, another tool's file (it has
// one of those tables), or neither (no section the converter reads: an
// empty file, or a configuration whose only section is being typed).
enum class TomlKind { Configuration, OtherTool, Neither };
TomlKind toml_kind(std::string_view text);

// What the walk meets: a `*.toml` regular file (symbolic links followed),
// or a folder it cannot read (`error` its system error text).
struct WalkEntry {
    std::string path;   // the folder given joined with the names below it
    std::string error;  // empty for a file
};

// The names the walk never enters: hidden folders and these.
bool skipped_folder(std::string_view name);

// Whether `glob` (fnmatch, `*` crossing `/`) matches an entry: its own name,
// or its path below the folder walked (`relative`).
bool excluded(const std::vector<std::string>& globs, std::string_view name, std::string_view relative);

// Calls `visit` for each `*.toml` file below `folder` and each folder that
// cannot be read, depth first, the names of each folder in byte order (so
// the output is the same on every run). Folders a symbolic link leads back
// into are entered once: a link loop ends. FIFOs, devices and sockets are
// never opened.
void walk_toml_files(std::string_view folder, const std::vector<std::string>& exclude,
                     const std::function<void(const WalkEntry&)>& visit);

// Whether `path` names a folder (symbolic links followed).
bool is_folder(std::string_view path);

}  // namespace vora::cli
