// `vora-config rule`: what each finding code catches, why it matters to a
// conversion, an example and what to write instead, when it is an error,
// and what `check --fix` does of it, from the one table of codes.
#pragma once

#include <string_view>
#include <vector>

namespace vora::cli {

// Runs `vora-config rule ARGS`; its exit status. `usage_error` prints a
// usage error and gives its status.
int rule(const std::vector<std::string_view>& args, int (*usage_error)(std::string_view));

}  // namespace vora::cli
