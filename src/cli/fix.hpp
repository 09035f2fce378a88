// `vora-config check --fix` and `--diff`: the certain edits of a file's
// findings (as check_text settles them) made over rounds, shown as a
// unified diff (cli/diff.hpp), or written back whole (io/replace_file.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/diff.hpp"
#include "cli/report.hpp"
#include "lint/lint.hpp"

namespace vora::cli {

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
// as reports show it) in `mode`: the certain fixes of `findings`, then
// those of the fixed text, until none is left. Fix rewrites the file when an edit applies,
// and `text` and `findings` become those of the fixed text (a failed rewrite
// adds a "write-error" and leaves them as they were); standard input is not
// written but given back fixed. Diff only makes the diff. Off does nothing.
FileFix fix_file(FixMode mode, std::string_view path, std::string_view name, std::string& text,
                 lint::Findings& findings);

}  // namespace vora::cli
