// `vora-config check --fix` and `--diff`: the certain edits of a file's
// findings applied to its text, shown as a unified diff, or written back in
// one rename so that a crash never leaves half a file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/report.hpp"
#include "lint/lint.hpp"

namespace vora::cli {

// The text with the edits that the findings carry made; every other byte
// as it was. Edits are applied in the order of their offsets; one that
// overlaps an earlier one is left out.
std::string apply_fixes(std::string_view text, const std::vector<lint::Finding>& findings);

// A unified diff from `before` to `after` (both named `name`), three lines of
// context; empty when the texts are equal. Edits change lines, they add or
// remove none: line N of one text is line N of the other.
std::string unified_diff(std::string_view name, std::string_view before, std::string_view after);

// Replaces the contents of the file at `path` with `text`: a new file is
// written beside the file a symbolic link finally names (the link stays a
// link), given the old file's mode, flushed, and renamed over it. The error's
// text when that fails (the old file then is as it was).
std::optional<std::string> replace_file(const std::string& path, std::string_view text);

enum class FixMode { Off, Fix, Diff };

// What fixing did to one file.
struct FileFix {
    std::size_t edits = 0;                  // edits made (with Diff: that --fix would make)
    std::string diff;                       // Diff: the file's diff, empty when nothing would change
    std::optional<std::string> fixed_text;  // Fix on standard input: the fixed text, to be printed
};

// Fixes one checked file (`path` as given, "-" for standard input; `name`
// as reports show it) in `mode`. Fix rewrites the file when an edit applies,
// and `text` and `findings` become those of the fixed text (a failed rewrite
// adds a "write-error" and leaves them as they were); standard input is not
// written but given back fixed. Diff only makes the diff. Off does nothing.
FileFix fix_file(FixMode mode, std::string_view path, std::string_view name, std::string& text,
                 std::vector<lint::Finding>& findings);

}  // namespace vora::cli
