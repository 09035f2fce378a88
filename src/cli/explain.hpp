// The forms of `vora-config explain` other than the summary itself.
#pragma once

#include <cstddef>
#include <string>

#include "configuration/structs.hpp"

namespace vora::cli {

// The width `explain --format list` keeps each line within.
inline constexpr std::size_t kListColumns = 80;

// The effective configuration one key a line, for a terminal:
// "[section] key = value", followed by "  (default: value)" where the value
// differs from the default. Values are written as in the JSON form (strings
// quoted); control characters are shown escaped; a line longer than
// kListColumns columns has its value cut, ending in "...".
std::string explain_list(const Configuration& configuration);

}  // namespace vora::cli
