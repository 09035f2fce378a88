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

#include "cli/targets.hpp"
#include "lint/finding.hpp"

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
    std::string base;   // the folder relative paths are taken from
    bool files = true;  // read the files the configuration names
    // The codes the settings file that holds for the document leaves out
    // (select, ignore, per-file-ignores), as `check` leaves them out.
    std::optional<cli::FileRules> rules;
};

struct Checked {
    std::vector<Problem> problems;   // in file order
    std::vector<std::string> paths;  // the files and folders the configuration names, as found under `base`
};

// A file the checks read: as it was when they ran.
struct Stamp {
    std::string path;
    long long size = -1;  // -1: not there
    long long mtime_ns = 0;
    friend bool operator==(const Stamp&, const Stamp&) = default;
};

std::vector<Stamp> stamps_of(const std::vector<std::string>& paths);

// What the checks of the files named found in a text, kept for the next
// check of the same document: an edit that changes none of the values they
// read (the [load] table, the dataset, the accuracy inputs, the export path,
// the means and deviations) and none of the places they point at takes
// them over, moved by the edit, while the files named keep their size and
// time. The cost of those checks grows with the files named (one look-up
// each for a list of inputs), the text checks' with the text alone.
class FileCheckCache {
public:
    void clear() { valid_ = false; }

private:
    friend struct FileCheckCacheAccess;
    bool valid_ = false;
    std::string text_;
    std::string read_;  // the values the file checks read, as written
    std::vector<std::string> paths_;
    std::vector<Stamp> stamps_;
    std::vector<lint::Finding> kept_;  // the findings of the file checks, at their places in text_
};

// Everything `check` finds in the text. With `with_fixes`, each finding's
// proposed fix, settled as `check --format sarif` settles it. With `cache`,
// the findings of the files named are taken from it when they hold, and
// kept in it.
Checked check_document(std::string_view text, const CheckSettings& settings, bool with_fixes = false,
                       FileCheckCache* cache = nullptr);

// The text as `check --fix` leaves it.
std::string fixed_text(std::string_view text, const CheckSettings& settings);

// The edit that silences `problem` on its line: a suppression comment added
// at the line's end, or its list of codes extended. Nothing when the
// finding cannot be silenced (reading and syntax errors, a finding without
// a place) or the edit would not silence it.
std::optional<TextEdit> silence_edit(std::string_view text, const Problem& problem);

// What a TOML document is: a configuration when its top level holds a
// section the configuration has and no table of another tool's file
// ([project], [tool], [package], [build-system], [workspace]); another
// tool's file when it holds such a table; else undecided (no table, or
// only unknown ones). Read from the headers and the top-level dotted keys,
// so that a document being edited that does not parse yet is still told.
enum class TomlKind { Configuration, OtherTool, Undecided };
TomlKind toml_kind(std::string_view text);

inline bool is_configuration(std::string_view text) { return toml_kind(text) == TomlKind::Configuration; }

// The section names of the configuration, in declaration order.
std::vector<std::string_view> section_names();

}  // namespace vora::lsp
