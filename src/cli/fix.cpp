#include "cli/fix.hpp"

#include <algorithm>

#include "io/read_file.hpp"
#include "io/replace_file.hpp"
#include "text/source_index.hpp"

namespace vora::cli {

namespace {

// The edits made over the rounds of a fix, as offsets into the original
// text: to tell where a later round's edit (an offset into the text the
// rounds before made) lies in the original.
class EditsMade {
public:
    // Records a round's edits (ordered, into the current text, none inside
    // an earlier edit) with their positions in the original text.
    void add(std::string_view current, const std::vector<lint::Edit>& edits, std::vector<Change>& changes) {
        std::vector<Made> round;
        std::size_t next = 0;
        std::ptrdiff_t shift = 0;  // current minus original offset, before the edit looked at
        for (const lint::Edit& edit : edits) {
            while (next < made_.size() &&
                   made_[next].begin + shift + made_[next].length <= static_cast<std::ptrdiff_t>(edit.begin)) {
                shift += made_[next].length - (made_[next].end - made_[next].begin);
                ++next;
            }
            const auto begin = static_cast<std::ptrdiff_t>(edit.begin) - shift;
            const auto length = static_cast<std::ptrdiff_t>(edit.replacement.size());
            round.push_back(Made{begin, begin + static_cast<std::ptrdiff_t>(edit.end - edit.begin), length});
            changes.push_back(Change{0, 0, std::string(current.substr(edit.begin, edit.end - edit.begin)),
                                     std::string(edit.replacement), edit.value});
            offsets_.push_back(static_cast<std::size_t>(begin));
        }
        const std::size_t middle = made_.size();
        made_.insert(made_.end(), round.begin(), round.end());
        std::inplace_merge(made_.begin(), made_.begin() + static_cast<std::ptrdiff_t>(middle), made_.end(),
                           [](const Made& a, const Made& b) { return a.begin < b.begin; });
    }

    // Gives the changes their lines and columns in `original`, and puts
    // them in file order.
    void place(std::string_view original, std::vector<Change>& changes) const {
        SourceIndex index(original);
        std::vector<std::size_t> order(changes.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return offsets_[a] < offsets_[b]; });
        std::vector<Change> placed;
        placed.reserve(changes.size());
        for (const std::size_t i : order) {
            const LineColumn at = index.at(offsets_[i]);
            placed.push_back(std::move(changes[i]));
            placed.back().line = at.line;
            placed.back().column = at.column;
        }
        changes = std::move(placed);
    }

private:
    struct Made {
        std::ptrdiff_t begin, end;  // in the original text
        std::ptrdiff_t length;      // of the replacement
    };
    std::vector<Made> made_;            // in the order of their offsets
    std::vector<std::size_t> offsets_;  // of each change, in the original text
};

}  // namespace

FileFix fix_file(FixMode mode, std::string_view path, std::string_view name, std::string& text,
                 lint::Findings& file_findings) {
    FileFix result;
    if (mode == FixMode::Off) return result;
    const bool from_stdin = path == "-";
    // The keys of a section are checked only once its name is right: the
    // fixed text is fixed again until nothing changes (each round renames
    // unknown keys to known ones, which stay; a few rounds at most).
    std::string fixed = text;
    lint::Findings findings;
    const lint::Findings* current = &file_findings;
    EditsMade made;
    for (int round = 0; round < 8; ++round) {
        const std::vector<lint::Edit> edits = lint::certain_edits(fixed, *current);
        if (edits.empty()) break;
        result.edits += edits.size();
        result.values += static_cast<std::size_t>(
            std::count_if(edits.begin(), edits.end(), [](const lint::Edit& edit) { return edit.value; }));
        if (mode == FixMode::Fix) made.add(fixed, edits, result.changes);
        fixed = lint::apply_edits(fixed, edits);
        findings = lint::check_text(fixed);
        current = &findings;
    }
    if (mode == FixMode::Diff) {
        result.diff = unified_diff(name, text, fixed);
        return result;
    }
    if (from_stdin) result.fixed_text = fixed;
    if (fixed == text) return result;
    if (!from_stdin) {
        if (auto error = replace_file(std::string(path), text, fixed)) {
            result.edits = 0;
            result.values = 0;
            result.changes.clear();
            file_findings.push_back(lint::Finding{lint::Severity::Error, lint::kWriteError, std::move(*error)});
            return result;
        }
    }
    made.place(text, result.changes);
    text = std::move(fixed);
    file_findings = std::move(findings);
    return result;
}

}  // namespace vora::cli
