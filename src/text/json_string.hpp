// JSON strings: the one writer of them, for the summary's cells, the report
// formats (JSON and SARIF) and the file names in them. It writes as a JSON
// library dumps a string without forcing ASCII: `"`, `\` and control
// characters escaped (\b, \t, \n, \f, \r, else \u00xx in lower case), every
// other byte as it is.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vora {

// The most bytes the JSON string of `text` takes, its quotes included: six
// a byte (a control character as \u00XX).
constexpr std::size_t json_string_room(std::string_view text) { return 6 * text.size() + 2; }

// The size of the JSON string of `text`, quotes included, with its bytes
// kept (MalformedUtf8::Keep).
std::size_t json_string_size(std::string_view text);

// What becomes of bytes that are not well-formed UTF-8: kept as they are (a
// text the system made or checked), or each malformed sequence (its longest
// start that a well-formed sequence could have, at least one byte) written
// as U+FFFD.
enum class MalformedUtf8 { Keep, Replace };

// Writes the characters of the JSON string of `text`, without its quotes, at
// `out`, whose room ends at `end`; returns the end of what was written. The
// room needed: json_string_size(text) - 2 bytes with Keep, json_string_room(text) - 2
// with Replace.
char* write_json_characters(char* out, char* end, std::string_view text, MalformedUtf8 malformed = MalformedUtf8::Keep);

// The same between quotes.
char* write_json_string(char* out, char* end, std::string_view text, MalformedUtf8 malformed = MalformedUtf8::Keep);

// write_json_characters's and write_json_string's bytes appended to `out`.
void append_json_characters(std::string& out, std::string_view text, MalformedUtf8 malformed = MalformedUtf8::Keep);
void append_json_string(std::string& out, std::string_view text, MalformedUtf8 malformed = MalformedUtf8::Keep);

}  // namespace vora
