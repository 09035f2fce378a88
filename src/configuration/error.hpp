// A loading error: a message, where known the span of the offending text, the
// keys leading to the offending value, and the text for rendering.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vora {

// Lines and columns are 1-based and count Unicode code points; `end` is
// exclusive.
struct Position {
    std::size_t line = 1;
    std::size_t column = 1;
    friend bool operator==(const Position&, const Position&) = default;
};

struct Span {
    Position begin;
    Position end;
    friend bool operator==(const Span&, const Span&) = default;
};

struct LoadError {
    std::string message;
    std::optional<Span> span;
    std::vector<std::string> path;  // outermost key first
    std::string text;               // the source text, attached for rendering

    // The error as its user sees it: five lines pointing at the offending
    // text, or the message and the key path.
    std::string render() const;
};

}  // namespace vora
