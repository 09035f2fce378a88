// The fixes of check_text settled: which edits `check --fix` makes and
// which are only suggestions, decided once for every reader.
#include <algorithm>
#include <cstdint>
#include <utility>
#include <variant>

#include "configuration/load.hpp"
#include "lint/lint.hpp"
#include "lint/phrases.hpp"

namespace vora::lint {

namespace {

// The certain fixes of the findings (Finding or const Finding) in the order
// of their edits' offsets (as found, at one offset), without those that
// overlap one before them or lie outside the text: those into `left_out`.
template <class Whole, class FixPointer = decltype(&*std::declval<Whole&>().front().fix)>
std::vector<FixPointer> ordered_fixes(std::string_view text, Whole& findings,
                                      std::vector<FixPointer>* left_out = nullptr) {
    std::vector<FixPointer> fixes;
    for (auto& finding : findings) {
        if (!certain(finding)) continue;
        const Edit& edit = finding.fix->edit;
        if (edit.begin <= edit.end && edit.end <= text.size()) {
            fixes.push_back(&*finding.fix);
        } else if (left_out) {
            left_out->push_back(&*finding.fix);
        }
    }
    std::stable_sort(fixes.begin(), fixes.end(),
                     [](const Fix* a, const Fix* b) { return a->edit.begin < b->edit.begin; });
    std::vector<FixPointer> kept;
    for (FixPointer fix : fixes) {
        if (kept.empty() || kept.back()->edit.end <= fix->edit.begin) {
            kept.push_back(fix);
        } else if (left_out) {
            left_out->push_back(fix);
        }
    }
    return kept;
}

// The text with the fixes' edits made.
std::string applied(std::string_view text, const std::vector<Fix*>& fixes) {
    std::vector<Edit> edits;
    for (const Fix* fix : fixes) edits.push_back(fix->edit);
    return apply_edits(text, edits);
}

// The fixes among `fixes` (made in the text before, giving `after`) under
// whose new key loading `after` fails: the key of a value that does not
// load, or a key on the way to it, is where an edit put a key.
std::vector<Fix*> renames_that_break_loading(std::string_view after, const std::vector<Fix*>& fixes) {
    std::vector<Fix*> breaking;
    auto parsed = toml::parse(after);
    const auto* document = std::get_if<toml::Document>(&parsed);
    if (document == nullptr) return breaking;
    // Where each edit's key begins in `after`, as a byte offset.
    std::vector<std::uint32_t> keys;
    std::ptrdiff_t shift = 0;
    for (const Fix* fix : fixes) {
        const Edit& edit = fix->edit;
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
            if (at != keys.end()) {
                Fix* fix = fixes[static_cast<std::size_t>(at - keys.begin())];
                if (std::find(breaking.begin(), breaking.end(), fix) == breaking.end()) breaking.push_back(fix);
            }
            table = member->value.is_table() ? std::optional(member->value.as_table()) : std::nullopt;
        }
    }
    return breaking;
}

bool has_load_error(const Findings& findings) {
    return std::any_of(findings.whole().begin(), findings.whole().end(),
                       [](const Finding& finding) { return finding.code == kLoadError; });
}

}  // namespace

std::vector<Edit> certain_edits(std::string_view text, const Findings& findings) {
    std::vector<Edit> edits;
    for (const Fix* fix : ordered_fixes(text, findings.whole())) edits.push_back(fix->edit);
    return edits;
}

std::string apply_edits(std::string_view text, const std::vector<Edit>& edits) {
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    for (const Edit& edit : edits) {
        out.append(text.substr(at, edit.begin - at));
        out += edit.replacement;
        at = edit.end;
    }
    out.append(text.substr(at));
    return out;
}

std::string apply_fixes(std::string_view text, const Findings& findings) {
    return apply_edits(text, certain_edits(text, findings));
}

void settle_fixes(std::string_view text, Findings& findings) {
    std::vector<Finding>& whole = findings.whole();
    // A silenced finding's fix is never made.
    for (Finding& finding : whole) {
        if (finding.silenced && finding.fix) finding.fix->applicability = Applicability::Suggestion;
    }
    for (;;) {
        // An edit left out (it overlaps an earlier one) is not made.
        std::vector<Fix*> left_out;
        const std::vector<Fix*> fixes = ordered_fixes(text, whole, &left_out);
        for (Fix* fix : left_out) fix->applicability = Applicability::Suggestion;
        if (fixes.empty()) return;
        // A rename whose value does not load under its new key stays a
        // suggestion, and the others are tried again without it.
        const std::string candidate = applied(text, fixes);
        if (!has_load_error(unsettled_findings(candidate, {}))) return;
        const std::vector<Fix*> breaking = renames_that_break_loading(candidate, fixes);
        if (breaking.empty()) return;
        for (Fix* fix : breaking) fix->applicability = Applicability::Suggestion;
    }
}

}  // namespace vora::lint
