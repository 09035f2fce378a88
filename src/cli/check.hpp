// `vora-config check`: its options, reading each file, linting and fixing
// it, reporting in the chosen format, and the exit status.
#pragma once

#include <string_view>
#include <vector>

namespace vora::cli {

// Runs `vora-config check ARGS`; its exit status: 1 when a file has an
// error (with --strict, a warning) or a diff was printed, 2 on a usage
// error, else 0.
int check(const std::vector<std::string_view>& args);

}  // namespace vora::cli
