// Unified diffs of a text before and after its fixes, as `check --diff`
// prints them for `patch` and `git apply`.
#pragma once

#include <string>
#include <string_view>

namespace vora::cli {

// A unified diff from `before` to `after` (both named `name`), three lines of
// context; empty when the texts are equal. Edits change lines, they add or
// remove none: line N of one text is line N of the other. The name is
// written as diff tools write it: a tab after a name with a space, a name
// with a control character (or a leading quote) quoted with C escapes.
std::string unified_diff(std::string_view name, std::string_view before, std::string_view after);

}  // namespace vora::cli
