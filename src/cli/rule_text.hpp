// A code's documentation from the one table of codes, as `vora-config rule
// CODE` prints it and as SARIF's rules carry it.
#pragma once

#include <string>

#include "lint/codes.hpp"

namespace vora::cli {

// "name: description", its severity, why it matters, the example and what
// to write instead (when it has one), and what --fix does, a line each.
std::string rule_text(const lint::CodeInfo& info);

// The same in Markdown: the example and what to write instead as TOML blocks.
std::string rule_markdown(const lint::CodeInfo& info);

}  // namespace vora::cli
