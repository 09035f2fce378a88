// The pieces of a table's drawing that TableForm (table.cpp) and the tests'
// reference drawing (tests/support/table_cells.cpp) share: the frame's
// characters, the rules, and how a cell's text becomes its drawn lines.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "io/output.hpp"

namespace vora::table_drawing {

// The frame's characters, as arrays so that copying one is a fixed-size copy.
inline constexpr char kTopLeft[] = "\u2554";
inline constexpr char kDoubleHorizontal[] = "\u2550";
inline constexpr char kTopJunction[] = "\u2564";
inline constexpr char kTopRight[] = "\u2557";
inline constexpr char kDoubleVertical[] = "\u2551";
inline constexpr char kColumnLine[] = "\u2502";
inline constexpr char kRowRule[] = "\u2500";
inline constexpr char kRuleLeft[] = "\u255F";
inline constexpr char kRuleCross[] = "\u253C";
inline constexpr char kRuleRight[] = "\u2562";
inline constexpr char kBottomLeft[] = "\u255A";
inline constexpr char kBottomJunction[] = "\u2567";
inline constexpr char kBottomRight[] = "\u255D";

// Every frame character takes the same number of bytes.
inline constexpr std::size_t kFrameBytes = sizeof kDoubleVertical - 1;

template <std::size_t N>
void put(Sink& out, const char (&piece)[N]) {
    static_assert(N - 1 == kFrameBytes);
    out.put(std::string_view(piece, kFrameBytes));
}

// Whether a text is drawn as one line exactly as written, as wide as it has
// bytes: it holds no control whitespace character (tab to carriage return,
// line feed included) and no non-ASCII byte, which might start a non-ASCII
// whitespace character.
bool is_plain(std::string_view text);

// Calls line(source_line) for every line of a cell's text: split at line
// feeds, a carriage return directly before a line feed dropped, no further
// line after a final line feed, and at least one (empty) line.
template <class Fn>
void for_each_source_line(std::string_view text, Fn&& line) {
    if (text.empty()) {
        line(text);
        return;
    }
    while (!text.empty()) {
        const std::size_t feed = text.find('\n');
        if (feed == std::string_view::npos) {
            line(text);
            return;
        }
        std::string_view piece = text.substr(0, feed);
        if (!piece.empty() && piece.back() == '\r') piece.remove_suffix(1);
        line(piece);
        text.remove_prefix(feed + 1);
    }
}

// Appends one line with every whitespace character that directly follows a
// non-whitespace character replaced by one space. Returns its width.
std::size_t append_rewritten(std::string& out, std::string_view source);

// The parts of a rule: its corners, the junction between columns and its
// fill character repeated.
struct RuleKind {
    const char* left;
    const char* junction;
    const char* right;
    const std::string& (*run)();
};

const std::string& double_run();
const std::string& single_run();

inline constexpr RuleKind kRules[] = {
    {kTopLeft, kTopJunction, kTopRight, double_run},
    {kRuleLeft, kRuleCross, kRuleRight, single_run},
    {kBottomLeft, kBottomJunction, kBottomRight, double_run},
};

inline constexpr int kTop = 0;
inline constexpr int kMiddle = 1;
inline constexpr int kBottom = 2;

// `units` fill characters copied from `run`.
void put_run(Sink& out, const std::string& run, std::size_t units);

}  // namespace vora::table_drawing
