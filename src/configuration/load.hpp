// Mapping the text of a configuration file onto a Configuration.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "configuration/error.hpp"
#include "configuration/places.hpp"
#include "configuration/structs.hpp"
#include "io/read_file.hpp"
#include "toml/toml.hpp"

namespace vora {

// The most of a configuration file that is read: what the TOML reader takes.
inline constexpr SizeLimit kDocumentLimit{toml::max_document_size, toml::too_large_message};

using LoadResult = std::variant<Configuration, LoadError>;

// Parses `text` as TOML 1.1.0 and maps it onto the records. Keeps nothing:
// the record does not refer to the text.
LoadResult parse_configuration(std::string_view text);
// The same into a record that holds the defaults: the error, if any (the
// record's content is then of no use).
std::optional<LoadError> parse_configuration(std::string_view text, Configuration& out);

// The two halves of parse_configuration, for callers that read the tree
// themselves as well: the reader's error as a loading error, and the mapping
// of a read document.
LoadError syntax_error(toml::Error error, std::string_view text);
LoadResult map_configuration(const toml::Document& document);
// With `lean`, the values of lists declared kInputFileList are not kept
// (their errors are found the same): for checks that read them from the
// document. With `places`, where each key mapped from a table is written
// is kept there.
std::optional<LoadError> map_configuration(const toml::Document& document, Configuration& out, bool lean = false,
                                           Places* places = nullptr);

// Every type and value error of a read document, for `check`: the mapping
// goes on past each error, and the first in the list is exactly the error
// map_configuration reports (without the text attached). The values mapped
// are dropped as they go: a long list costs no memory of its own.
std::vector<LoadError> mapping_errors(const toml::Document& document);

// The same for `value` mapped as the section `name` (a table written under
// another name, which loading ignores): the errors it would have under its
// right name, their paths from the section's name.
std::vector<LoadError> section_errors(std::string_view name, toml::Value value);

}  // namespace vora
