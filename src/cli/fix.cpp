#include "cli/fix.hpp"

#include <algorithm>

#include "configuration/load.hpp"
#include "io/read_file.hpp"
#include "io/replace_file.hpp"
#include "text/source_index.hpp"

namespace vora::cli {

namespace {

// The edits of the findings in the order of their offsets, without those
// that overlap one before them or lie outside the text.
std::vector<lint::Edit> ordered_edits(std::string_view text, const std::vector<lint::Finding>& findings) {
    std::vector<lint::Edit> edits;
    for (const lint::Finding& finding : findings) {
        const std::optional<lint::Edit> fix = finding.fix();
        if (fix && fix->begin <= fix->end && fix->end <= text.size()) edits.push_back(*fix);
    }
    std::stable_sort(edits.begin(), edits.end(),
                     [](const lint::Edit& a, const lint::Edit& b) { return a.begin < b.begin; });
    std::vector<lint::Edit> kept;
    for (const lint::Edit& edit : edits) {
        if (kept.empty() || kept.back().end <= edit.begin) kept.push_back(edit);
    }
    return kept;
}

}  // namespace

std::string apply_fixes(std::string_view text, const std::vector<lint::Finding>& findings) {
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    for (const lint::Edit& edit : ordered_edits(text, findings)) {
        out.append(text.substr(at, edit.begin - at));
        out += edit.replacement;
        at = edit.end;
    }
    out.append(text.substr(at));
    return out;
}

namespace {

// The renames among `edits` (made in `before`, giving `after`) under whose
// new key loading `after` fails: the key of a value that does not load, or
// a key on the way to it, is where an edit put a key.
std::vector<const lint::Edit*> renames_that_break_loading(std::string_view after,
                                                          const std::vector<lint::Edit>& edits) {
    std::vector<const lint::Edit*> breaking;
    auto parsed = toml::parse(after);
    const auto* document = std::get_if<toml::Document>(&parsed);
    if (document == nullptr) return breaking;
    // Where each edit's key begins in `after`, as a byte offset.
    std::vector<std::uint32_t> keys;
    std::ptrdiff_t shift = 0;
    for (const lint::Edit& edit : edits) {
        keys.push_back(static_cast<std::uint32_t>(static_cast<std::ptrdiff_t>(edit.begin) + shift));
        shift +=
            static_cast<std::ptrdiff_t>(edit.replacement.size()) - static_cast<std::ptrdiff_t>(edit.end - edit.begin);
    }
    for (const LoadError& error : mapping_errors(*document)) {
        std::optional<toml::Table> table = document->root_table();
        for (const std::string& key : error.path) {
            const std::optional<toml::Member> member = table ? table->member(key) : std::nullopt;
            if (!member) break;
            const auto at = std::find(keys.begin(), keys.end(), member->key_offsets().first);
            if (at != keys.end() &&
                std::find(breaking.begin(), breaking.end(), &edits[at - keys.begin()]) == breaking.end()) {
                breaking.push_back(&edits[at - keys.begin()]);
            }
            table = member->value.is_table() ? std::optional(member->value.as_table()) : std::nullopt;
        }
    }
    return breaking;
}

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

bool has_load_error(const std::vector<lint::Finding>& findings) {
    return std::any_of(findings.begin(), findings.end(),
                       [](const lint::Finding& finding) { return finding.code == lint::kLoadError; });
}

// Drops the fixes of `findings` that are among `breaking`: they stay
// suggestions.
void drop_fixes(std::vector<lint::Finding>& findings, const std::vector<const lint::Edit*>& breaking) {
    for (lint::Finding& finding : findings) {
        const std::optional<lint::Edit> fix = finding.fix();
        if (fix && std::any_of(breaking.begin(), breaking.end(), [&](const lint::Edit* edit) {
                return edit->begin == fix->begin && edit->end == fix->end;
            })) {
            finding.drop_fix();
        }
    }
}

// One round of fixes of `text`: the edits made, the fixed text and its
// findings; nothing when no fix is left. A rename whose value does not load
// under its new key is not certain: it stays a suggestion (its fix dropped
// from `findings`), and the round is made anew without it.
struct Round {
    std::vector<lint::Edit> edits;  // views into `findings`' replacements
    std::string text;
    std::vector<lint::Finding> findings;
};

std::optional<Round> settled_round(std::string_view text, std::vector<lint::Finding>& findings) {
    for (;;) {
        std::vector<lint::Edit> edits = ordered_edits(text, findings);
        if (edits.empty()) return std::nullopt;
        std::string candidate = apply_fixes(text, findings);
        std::vector<lint::Finding> after = lint::check_text(candidate);
        if (has_load_error(after)) {
            const std::vector<const lint::Edit*> breaking = renames_that_break_loading(candidate, edits);
            if (!breaking.empty()) {
                drop_fixes(findings, breaking);
                continue;
            }
        }
        return Round{std::move(edits), std::move(candidate), std::move(after)};
    }
}

}  // namespace

void settle_fixes(std::string_view text, std::vector<lint::Finding>& findings) { settled_round(text, findings); }

FileFix fix_file(FixMode mode, std::string_view path, std::string_view name, std::string& text,
                 std::vector<lint::Finding>& file_findings) {
    FileFix result;
    if (mode == FixMode::Off) return result;
    const bool from_stdin = path == "-";
    // The keys of a section are checked only once its name is right: the
    // fixed text is fixed again until nothing changes (each round renames
    // unknown keys to known ones, which stay; a few rounds at most).
    std::string fixed = text;
    std::vector<lint::Finding> findings;
    std::vector<lint::Finding>* current = &file_findings;
    EditsMade made;
    for (int round = 0; round < 8; ++round) {
        std::optional<Round> made_round = settled_round(fixed, *current);
        if (!made_round) break;
        const std::vector<lint::Edit>& edits = made_round->edits;
        result.edits += edits.size();
        result.values += static_cast<std::size_t>(
            std::count_if(edits.begin(), edits.end(), [](const lint::Edit& edit) { return edit.value; }));
        if (mode == FixMode::Fix) made.add(fixed, edits, result.changes);
        fixed = std::move(made_round->text);
        findings = std::move(made_round->findings);
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
