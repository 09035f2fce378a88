// `vora-config init`: a complete starting file, every section and key in it
// commented out, with the schema header editors read.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vora::cli {

// The name of the schema file that the starting file's header names, beside
// the file.
inline constexpr std::string_view kSchemaFileName = "vora-config.schema.json";

// The starting file: the `#:schema` header, then per section its description
// and its header as "# [name]", and under it per key its description, the
// choices the description lists, and "# key = value" with the key's default
// (or, where it has none, an example value that loads). It loads as an
// empty file does; uncommenting a header and one of its key lines (for
// [load] also the model_type line) gives a file that loads.
std::string starting_file();

// vora-config init [--output FILE]: prints the starting file, or writes it
// to FILE, which must not exist yet, and the schema beside it unless a file
// of that name is there. Returns the exit status; usage errors go through
// `usage_error`.
int init(const std::vector<std::string_view>& args, int (*usage_error)(std::string_view));

}  // namespace vora::cli
