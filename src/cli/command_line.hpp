// What the commands of vora-config share: writing to standard output and
// error, usage errors, options with values and reading the file named.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "io/read_file.hpp"

namespace vora::cli {

void out(std::string_view text);
void err(std::string_view text);

// Prints "vora-config: MESSAGE" and the usage lines on standard error;
// returns 2, the exit status of a usage error.
int usage_error(std::string_view message);

// The text of the file at `path` ("-": standard input), within the size of
// a document.
std::variant<std::string, ReadError> read_input(std::string_view path);

// An option's value: "--name VALUE" (taking the next argument) or
// "--name=VALUE". Empty when `args[i]` is not the option; an error text when
// the value is missing.
std::optional<std::variant<std::string_view, std::string>> option_value(std::string_view name,
                                                                        const std::vector<std::string_view>& args,
                                                                        std::size_t& i);

}  // namespace vora::cli
