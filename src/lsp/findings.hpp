// What the language server takes from `check`: the findings of a text as
// plain data, the fixes `check --fix` makes, and the rule of which TOML
// documents are configurations. The one place of the server that reads
// lint::Finding and the fix machinery.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vora::lsp {

struct TextEdit {
    std::size_t begin = 0;  // byte offsets into the checked text, [begin, end)
    std::size_t end = 0;
    std::string text;
};

struct Note {
    std::string message;
    std::size_t begin = 0;
    std::size_t end = 0;
};

struct Problem {
    std::string code;
    bool error = false;
    bool placed = false;  // begin/end hold its place (else it concerns the whole file)
    std::size_t begin = 0;
    std::size_t end = 0;
    std::string message;  // the help on a line of its own after it, when there is one
    std::vector<Note> related;
    bool silenced = false;
    std::optional<TextEdit> fix;  // only when asked for (with_fixes)
    bool certain = false;         // the fix is one `check --fix` makes
};

struct CheckSettings {
    std::string base;    // the folder relative paths are taken from
    bool files = true;   // read the files the configuration names
};

struct Checked {
    std::vector<Problem> problems;     // in file order
    std::vector<std::string> paths;    // the files and folders the configuration names, as found under `base`
};

// Everything `check` finds in the text. With `with_fixes`, each finding's
// proposed fix, settled as `check --format sarif` settles it.
Checked check_document(std::string_view text, const CheckSettings& settings, bool with_fixes = false);

// The text as `check --fix` leaves it.
std::string fixed_text(std::string_view text, const CheckSettings& settings);

// The edit that silences `problem` on its line: a suppression comment added
// at the line's end, or its list of codes extended. Nothing when the
// finding cannot be silenced (reading and syntax errors, a finding without
// a place) or the edit would not silence it.
std::optional<TextEdit> silence_edit(std::string_view text, const Problem& problem);

// Whether a TOML document is a configuration: its top level holds a section
// the configuration has, and no table of another tool's file ([project],
// [tool], [package], [build-system], [workspace]). Read from the headers and
// the top-level dotted keys, so that a document being edited that does not
// parse yet is still told.
bool is_configuration(std::string_view text);

// The section names of the configuration, in declaration order.
std::vector<std::string_view> section_names();

}  // namespace vora::lsp
