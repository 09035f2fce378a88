// Mapping the text of a configuration file onto a Configuration.
#pragma once

#include <string_view>
#include <variant>

#include "configuration/error.hpp"
#include "configuration/structs.hpp"

namespace vora {

using LoadResult = std::variant<Configuration, LoadError>;

// Parses `text` as TOML 1.1.0 and maps it onto the records. Keeps nothing:
// the record does not refer to the text.
LoadResult parse_configuration(std::string_view text);

}  // namespace vora
