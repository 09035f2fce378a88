// Mapping the text of a configuration file onto a Configuration.
#pragma once

#include <string_view>
#include <variant>

#include "configuration/error.hpp"
#include "configuration/structs.hpp"
#include "toml/toml.hpp"

namespace vora {

using LoadResult = std::variant<Configuration, LoadError>;

// Parses `text` as TOML 1.1.0 and maps it onto the records. Keeps nothing:
// the record does not refer to the text.
LoadResult parse_configuration(std::string_view text);

// The two halves of parse_configuration, for callers that read the tree
// themselves as well: the reader's error as a loading error, and the mapping
// of a read document.
LoadError syntax_error(toml::Error error, std::string_view text);
LoadResult map_configuration(const toml::Document& document);

}  // namespace vora
