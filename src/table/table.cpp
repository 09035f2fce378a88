#include "table/table.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "fault.hpp"
#include "text/utf8.hpp"

namespace vora {

void Table::add_row(std::vector<std::string> texts) {
    Row row;
    row.cells.reserve(texts.size());
    for (auto& text : texts) row.cells.push_back(Cell{std::move(text)});
    if (cols.size() < row.cells.size()) cols.resize(row.cells.size());
    rows.push_back(std::move(row));
}

void Table::add_row(std::span<const std::string_view> texts) {
    Row row;
    row.cells.reserve(texts.size());
    for (auto text : texts) row.cells.push_back(Cell{std::string(text)});
    if (cols.size() < row.cells.size()) cols.resize(row.cells.size());
    rows.push_back(std::move(row));
}

void Table::add_row(std::initializer_list<std::string_view> texts) {
    add_row(std::span<const std::string_view>(texts.begin(), texts.size()));
}

namespace {

constexpr std::string_view kTopLeft = "\u2554";
constexpr std::string_view kDoubleHorizontal = "\u2550";
constexpr std::string_view kTopJunction = "\u2564";
constexpr std::string_view kTopRight = "\u2557";
constexpr std::string_view kDoubleVertical = "\u2551";
constexpr std::string_view kColumnLine = "\u2502";
constexpr std::string_view kRowRule = "\u2500";
constexpr std::string_view kRuleLeft = "\u255F";
constexpr std::string_view kRuleCross = "\u253C";
constexpr std::string_view kRuleRight = "\u2562";
constexpr std::string_view kBottomLeft = "\u255A";
constexpr std::string_view kBottomJunction = "\u2567";
constexpr std::string_view kBottomRight = "\u255D";

bool is_white_space(std::uint32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

struct Line {
    std::string text;
    std::size_t width = 0;
};

// Appends the source line [p, end) to `lines`, with every whitespace
// character that directly follows a non-whitespace character replaced by one
// space.
void add_line(std::string_view source, std::vector<Line>& lines) {
    Line line;
    line.text.reserve(source.size());
    bool after_word = false;
    std::size_t i = 0;
    while (i < source.size()) {
        const std::size_t start = i;
        const bool white = is_white_space(utf8::next(source, i));
        if (white && after_word) {
            line.text.push_back(' ');
        } else {
            line.text.append(source.substr(start, i - start));
        }
        after_word = !white;
        ++line.width;
    }
    lines.push_back(std::move(line));
}

// The lines of a cell: split at line feeds, a carriage return directly
// before a line feed dropped, no further line after a final line feed, and
// at least one (empty) line.
std::vector<Line> cell_lines(std::string_view text) {
    std::vector<Line> lines;
    while (!text.empty()) {
        const std::size_t feed = text.find('\n');
        if (feed == std::string_view::npos) {
            add_line(text, lines);
            break;
        }
        std::string_view line = text.substr(0, feed);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        add_line(line, lines);
        text.remove_prefix(feed + 1);
    }
    if (lines.empty()) lines.emplace_back();
    return lines;
}

void append_repeated(std::string& out, std::string_view piece, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) out += piece;
}

void append_rule(std::string& out, const std::vector<std::size_t>& widths, std::string_view left,
                 std::string_view fill, std::string_view junction, std::string_view right) {
    out += left;
    for (std::size_t c = 0; c < widths.size(); ++c) {
        if (c > 0) out += junction;
        append_repeated(out, fill, widths[c]);
    }
    out += right;
}

}  // namespace

std::string render(const Table& table) {
    if (table.rows.empty() || table.cols.empty()) throw InternalFault("table cannot be empty");
    const std::size_t columns = table.cols.size();

    // Lines of every cell (missing cells included as one empty line), column
    // widths and row heights.
    std::vector<std::vector<std::vector<Line>>> laid_out(table.rows.size());
    std::vector<std::size_t> widths(columns, 0);
    std::vector<std::size_t> heights(table.rows.size(), 1);
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
        const Row& row = table.rows[r];
        auto& cells = laid_out[r];
        cells.resize(columns);
        for (std::size_t c = 0; c < columns; ++c) {
            cells[c] = cell_lines(c < row.cells.size() ? std::string_view(row.cells[c].text) : std::string_view());
            for (const Line& line : cells[c]) widths[c] = std::max(widths[c], line.width);
            heights[r] = std::max(heights[r], cells[c].size());
        }
    }

    std::size_t line_width = 2 + (columns - 1);
    for (std::size_t w : widths) line_width += w;
    std::size_t line_count = 2 + (table.rows.size() - 1);
    for (std::size_t h : heights) line_count += h;
    std::string out;
    // Box-drawing glyphs take three bytes; cell text may take up to four per
    // scalar value. This is an estimate to avoid most reallocations.
    out.reserve(line_count * (line_width * 3 + 1));

    append_rule(out, widths, kTopLeft, kDoubleHorizontal, kTopJunction, kTopRight);
    out.push_back('\n');
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
        const auto& cells = laid_out[r];
        for (std::size_t k = 0; k < heights[r]; ++k) {
            out += kDoubleVertical;
            for (std::size_t c = 0; c < columns; ++c) {
                if (c > 0) out += kColumnLine;
                std::size_t used = 0;
                if (k < cells[c].size()) {
                    out += cells[c][k].text;
                    used = cells[c][k].width;
                }
                out.append(widths[c] - used, ' ');
            }
            out += kDoubleVertical;
            out.push_back('\n');
        }
        if (r + 1 < table.rows.size()) {
            append_rule(out, widths, kRuleLeft, kRowRule, kRuleCross, kRuleRight);
            out.push_back('\n');
        }
    }
    append_rule(out, widths, kBottomLeft, kDoubleHorizontal, kBottomJunction, kBottomRight);
    return out;
}

}  // namespace vora
