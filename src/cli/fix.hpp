// `vora-config check --fix` and `--diff`: the certain edits of a file's
// findings applied to its text, shown as a unified diff, or written back in
// one rename so that a crash never leaves half a file.
#pragma once

#include <cstdint>
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
// remove none: line N of one text is line N of the other. The name is
// written as diff tools write it: a tab after a name with a space, a name
// with a control character (or a leading quote) quoted with C escapes.
std::string unified_diff(std::string_view name, std::string_view before, std::string_view after);

// Replaces the contents of the file at `path`, read as `original`, with
// `text`. The file a symbolic link finally names is replaced (the link stays
// a link): a new file is written beside it, given the old file's owner, mode
// and extended attributes, flushed, and renamed over it; a file with more
// than one name is written over in place instead, so that every name sees
// the new text. A file the user may not write, or one that no longer holds
// `original` just before it would be replaced, is left alone. SIGINT, SIGTERM
// and SIGHUP meanwhile remove the new file before the process dies of them.
// The error's text when the file is not replaced (it then is as it was).
std::optional<std::string> replace_file(const std::string& path, std::string_view original, std::string_view text);

// Reads all that `fd` gives, whatever the bytes, up to the size a document
// may have (one byte more tells that it is larger). The error, if reading
// fails (`bytes` then holds what was read).
std::optional<std::string> read_bytes(int fd, std::string& bytes);

enum class FixMode { Off, Fix, Diff };

// One edit made, as the original text has it: where (1-based, columns in
// characters) and the bytes replaced and written.
struct Change {
    std::uint32_t line = 1;
    std::uint32_t column = 1;
    std::string before;
    std::string after;
    bool value = false;  // a value corrected (else a key or section renamed)
};

// What fixing did to one file.
struct FileFix {
    std::size_t edits = 0;                  // edits made (with Diff: that --fix would make)
    std::size_t values = 0;                 // of them, values corrected
    std::vector<Change> changes;            // Fix: each edit made, in file order
    std::string diff;                       // Diff: the file's diff, empty when nothing would change
    std::optional<std::string> fixed_text;  // Fix on standard input: the fixed text, to be printed
};

// Fixes one checked file (`path` as given, "-" for standard input; `name`
// as reports show it) in `mode`. A rename is made only when the value still
// loads under the new key; others stay suggestions. Fix rewrites the file when an edit applies,
// and `text` and `findings` become those of the fixed text (a failed rewrite
// adds a "write-error" and leaves them as they were); standard input is not
// written but given back fixed. Diff only makes the diff. Off does nothing.
FileFix fix_file(FixMode mode, std::string_view path, std::string_view name, std::string& text,
                 std::vector<lint::Finding>& findings);

// Leaves certain only the fixes of `findings` (of `text`) that --fix makes
// in its first round: a rename under whose new key the text would not load
// stays a suggestion. For reports that carry fixes (SARIF).
void settle_fixes(std::string_view text, std::vector<lint::Finding>& findings);

}  // namespace vora::cli
