// Checking a configuration file beyond what loading requires: keys and
// sections the configuration does not know (with the key that was likely
// meant) and values outside what a key's description and schema document.
// Loading itself is unchanged: a file that loads still loads, whatever is
// found here.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lint/codes.hpp"
#include "lint/finding.hpp"
#include "toml/toml.hpp"

namespace vora {
struct Configuration;
class Places;
}  // namespace vora

namespace vora::lint {

// The warnings of a read document in the order of the tree's walk:
// appended to `out`, but for the unknown names that `names` keeps as its
// records.
void lint_document(const toml::Document& document, std::vector<Finding>& out, Findings& names);

// Further checks of a document that loads (vora-config's of the files it
// names), given what it maps to, where its keys are written, and the
// findings so far to append to.
using DocumentCheck =
    std::function<void(const toml::Document&, const Configuration&, const Places&, std::vector<Finding>&)>;

// Everything found in the text of a configuration file, in file order: the
// error that loading reports (its message and position exactly as loading
// gives them), if any, and the warnings of the document when it reads as
// TOML, then what `more` finds when it loads. The text is read once; the
// mapping and the warnings share its tree. Findings on a line that ends in
// a suppression comment are silenced (silence(), below). The fixes are
// settled here, once for every reader: a certain fix is one `check --fix`
// makes in its first round. A rename under whose new key the text would
// not load, a fix of a silenced finding and an edit that overlaps an
// earlier one are only suggestions.
Findings check_text(std::string_view text, const DocumentCheck& more = {});

// The edits of the certain fixes of `findings` (of `text`) in the order of
// their offsets, but one that overlaps an earlier one or lies outside the
// text (which check_text leaves suggestions).
std::vector<Edit> certain_edits(std::string_view text, const Findings& findings);
// The text with the edits (from certain_edits) made; every other byte as
// it was.
std::string apply_edits(std::string_view text, const std::vector<Edit>& edits);
std::string apply_fixes(std::string_view text, const Findings& findings);

// Findings on a line that ends in a suppression comment are silenced:
// `# vora-config: ignore` silences every finding of the line, `#
// vora-config: ignore[CODE, ...]` those of the codes listed. The findings
// go in file order, and only their lines are read. A code the comment lists
// that is no code gets an `unknown-code` warning of its own. Errors of
// reading and of syntax are never silenced. Returns how many were.
std::size_t silence(std::string_view text, Findings& findings);

// For a parse error at `at` where a value starts with a letter (`key =
// vora-m1`): the help "text values are quoted: \"vora-m1\"", the word as
// written up to the line's end or comment.
std::optional<std::string> unquoted_text_help(std::string_view text, std::size_t at);

}  // namespace vora::lint
