// One JSON Schema (draft-07, the draft TOML editors and validators read) of
// a whole configuration file: an object per section, its keys' property
// schemas those of the section schemas, with what the section schemas leave
// to the value types (the range of 32-bit integers) and the choices that the
// descriptions list. Every table it knows is closed ("additionalProperties":
// false on the top level and on each section), so that an editor marks an
// unknown key or section where `vora-config check` warns of one; loading
// itself still ignores them.
#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

namespace vora {

inline constexpr std::string_view kFileSchemaDialect = "http://json-schema.org/draft-07/schema#";

nlohmann::json file_schema();

}  // namespace vora
