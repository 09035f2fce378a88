// The help texts of vora-config: its usage lines, its overview and each
// command's help.
#pragma once

#include <optional>
#include <string_view>

namespace vora::cli {

// The usage lines, printed after a usage error.
std::string_view usage();
// What `vora-config --help` prints after the usage lines.
std::string_view overview();
// What `vora-config COMMAND --help` prints, or nothing for no command.
std::optional<std::string_view> command_help(std::string_view command);

}  // namespace vora::cli
