// Checking a configuration file beyond what loading requires: keys and
// sections the configuration does not know (with the key that was likely
// meant) and values outside what a key's description and schema document.
// Loading itself is unchanged: a file that loads still loads, whatever is
// found here.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "toml/toml.hpp"

namespace vora::lint {

enum class Severity { Error, Warning };

// Another place a finding concerns: the key whose value is at fault when
// the finding points at the key's whole table, for one.
struct Related {
    std::string message;
    toml::Span span;
};

// A replacement of the bytes [begin, end) of the checked text (offsets into
// the text as read, a byte-order mark included).
struct Edit {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::string replacement;
};

struct Finding {
    Severity severity = Severity::Warning;
    std::string_view code;                  // a fixed name of the kind of finding
    std::string message;                    // one line, the suggestion included
    std::optional<std::string> suggestion;  // what to write instead, when known
    std::optional<toml::Span> span;         // a key's span for key findings, a value's for value findings
    std::vector<Related> related = {};      // further places, in file order
    std::optional<std::string> help = {};   // the message's terms in plain words, when it uses a type's name
    std::optional<Edit> fix = {};           // the edit `check --fix` makes, when it is certain
};

// Finding codes.
inline constexpr std::string_view kReadError = "read-error";        // cannot be read, or not UTF-8
inline constexpr std::string_view kWriteError = "write-error";      // --fix cannot write the fixed file
inline constexpr std::string_view kParseError = "parse-error";      // not TOML 1.1.0
inline constexpr std::string_view kLoadError = "load-error";        // TOML that does not map onto the records
inline constexpr std::string_view kUnknownSection = "unknown-section";
inline constexpr std::string_view kUnknownKey = "unknown-key";
inline constexpr std::string_view kOutOfRange = "out-of-range";     // below a minimum or above a maximum
inline constexpr std::string_view kTooShort = "too-short";          // shorter than a minimum length or count
inline constexpr std::string_view kUnknownChoice = "unknown-choice"; // a text outside the listed choices

// The warnings of a read document, appended to `out` in the order of the
// tree's walk.
void lint_document(const toml::Document& document, std::vector<Finding>& out);

// Everything found in the text of a configuration file, in file order: the
// error that loading reports (its message and position exactly as loading
// gives them), if any, and the warnings of the document when it reads as
// TOML. The text is read once; the mapping and the warnings share its tree.
std::vector<Finding> check_text(std::string_view text);

}  // namespace vora::lint
