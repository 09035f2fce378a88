// A loading error: a message, where known the span of the offending text, the
// keys leading to the offending value, and the text for rendering.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "toml/toml.hpp"

namespace vora {

// Positions and spans are those of the TOML reader: lines and columns
// 1-based, columns counting characters, `end` exclusive.
using Position = toml::Position;
using Span = toml::Span;

// Line `line` (1-based) of `text`, without its line feed and without a
// carriage return before it. Empty when the text has fewer lines.
std::string_view line_of(std::string_view text, std::size_t line);

// The three lines that show where `span` lies: a gutter, `content` (the
// line the span starts on, as line_of gives it), and carets under the span
// (cut at the end of the line, at least one), each ending in a line feed.
void append_snippet(std::string& out, std::string_view content, const Span& span);

struct LoadError {
    std::string message;
    std::optional<Span> span;
    std::vector<std::string> path;  // outermost key first
    std::string text;               // the source text, attached for rendering
    // Where the key at fault is written, when `span` is its whole table (the
    // entries of [load] beside its tag); set by mapping_errors only.
    std::optional<Span> key = {};

    // The error as its user sees it: five lines pointing at the offending
    // text, or the message and the key path.
    std::string render() const;
};

}  // namespace vora
