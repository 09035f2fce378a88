// One file checked as `vora-config check --isolated --format json FILE`
// checks it, for callers other than the command line (the module's
// check()): the same checks and the same writer, no settings files read.
#pragma once

#include <string>
#include <string_view>

#include "io/interrupt.hpp"

namespace vora::cli {

// The JSON array `check --format json` writes for the file at `path`: a file
// that cannot be read is its read-error finding. `files`: read the files it
// names, their relative paths taken from `base` ("": the current folder).
std::string check_as_json(std::string_view path, bool files, const std::string& base, InterruptCheck check = {});

}  // namespace vora::cli
