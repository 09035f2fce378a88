// A loading error: what went wrong (a kind, what was expected, what was
// found), where known the span of the offending text and its byte offsets,
// the keys leading to the offending value, the message rendered from these,
// and the text for rendering.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text/source_index.hpp"
#include "toml/toml.hpp"

namespace vora {

// Positions and spans are those of the TOML reader: lines and columns
// 1-based, columns counting characters, `end` exclusive.
using Position = toml::Position;
using Span = toml::Span;

// The three lines that show where `span` lies: a gutter, `content` (the
// line the span starts on, as SourceIndex::line gives it), and carets under the span
// (cut at the end of the line, at least one), each ending in a line feed.
void append_snippet(std::string& out, std::string_view content, const Span& span);

// What the mapping expected where a value did not map.
struct Expected {
    enum class Kind : std::uint8_t {
        Nothing,
        String,
        Boolean,
        Sequence,
        U8,
        I32,
        Usize,
        F32,
        Record,             // a table of the record `name`
        TaggedEnum,         // a table selecting its record by the tag (`name`: the enum)
        VariantIdentifier,  // the tag's value, a string
        Variant,            // the variant `name`
        Field,              // the key `name`, which is missing
    };
    Kind kind = Kind::Nothing;
    std::string_view name{};

    // As the message names it: "u8", "a string", "struct ConfigConfig".
    std::string text() const;
    // In plain words, when it is a type a value may be written as ("u8" is
    // "an integer from 0 to 255").
    std::optional<std::string> in_words() const;
};

// What went wrong.
enum class LoadErrorKind : std::uint8_t {
    Syntax,          // the text is not TOML: the reader's message
    InvalidType,     // "invalid type: FOUND, expected EXPECTED"
    InvalidValue,    // "invalid value: FOUND, expected EXPECTED" (an integer out of the type's range)
    MissingField,    // "missing field `EXPECTED`"
    UnknownVariant,  // "unknown variant `FOUND`, expected `EXPECTED`"
};

// The byte offsets of the offending text, [begin, end), as the reader
// holds them.
struct ByteRange {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
};

struct LoadError {
    std::string message;            // rendered from kind, expected and found (of a syntax error: the reader's)
    std::vector<std::string> path;  // outermost key first
    std::string text;               // the source text as read, attached for rendering
    // Where the key at fault is written, as byte offsets, when `range` is its
    // whole table (the entries of [load] beside its tag); set by
    // mapping_errors only.
    std::optional<ByteRange> key = {};
    // Where the offending value itself is written (of a list: its element)
    // when `range` is its whole table as above; set by mapping_errors only.
    std::optional<ByteRange> value_range = {};
    LoadErrorKind kind = LoadErrorKind::Syntax;
    Expected expected = {};
    // Of the offending text (into the text as read, a byte-order mark
    // included); none for an error of the whole file (a missing key).
    std::optional<ByteRange> range = {};
    // Where the message names what was found (a check may collect millions
    // of errors: the words are not held twice).
    std::uint32_t found_at = 0, found_size = 0;

    // The value found, in words ("integer `300`"), or the variant written.
    std::string_view found() const { return std::string_view(message).substr(found_at, found_size); }

    // A mapping error at `value`: the kind, what was expected and what
    // was found, and the message rendered from them.
    static LoadError at(toml::Value value, LoadErrorKind kind, Expected expected, std::string_view found);
    // The same for a type or value error: `found` from the value.
    static LoadError at(toml::Value value, LoadErrorKind kind, Expected expected);

    // The line and column of `range` in the attached text (made when
    // rendered, not kept).
    std::optional<Span> span() const;

    // The error as its user sees it: five lines pointing at the offending
    // text, or the message and the key path.
    std::string render() const;
};

}  // namespace vora
