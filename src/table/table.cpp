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

// One laid-out line of a cell. Most lines are drawn exactly as written and
// point into the cell's text; a line whose whitespace had to be replaced
// lives in the table's scratch buffer instead (data == nullptr, offset into
// the buffer).
struct Line {
    const char* data;
    std::size_t offset;
    std::size_t size;
    std::size_t width;
};

// Whether a line may need whitespace replaced: it holds a control
// whitespace character (tab to carriage return) or a non-ASCII byte, which
// might start a non-ASCII whitespace character.
bool needs_rewrite(std::string_view line) {
    for (unsigned char c : line) {
        if (c >= 0x80 || (c >= 0x09 && c <= 0x0D)) return true;
    }
    return false;
}

// Lays out one source line, with every whitespace character that directly
// follows a non-whitespace character replaced by one space.
void add_line(std::string_view source, std::vector<Line>& lines, std::string& scratch) {
    if (!needs_rewrite(source)) {
        lines.push_back(Line{source.data(), 0, source.size(), source.size()});
        return;
    }
    Line line{nullptr, scratch.size(), 0, 0};
    bool after_word = false;
    std::size_t i = 0;
    while (i < source.size()) {
        const std::size_t start = i;
        const bool white = is_white_space(utf8::next(source, i));
        if (white && after_word) {
            scratch.push_back(' ');
        } else {
            scratch.append(source.substr(start, i - start));
        }
        after_word = !white;
        ++line.width;
    }
    line.size = scratch.size() - line.offset;
    lines.push_back(line);
}

// The lines of a cell: split at line feeds, a carriage return directly
// before a line feed dropped, no further line after a final line feed, and
// at least one (empty) line. Returns how many lines were added.
std::size_t add_cell_lines(std::string_view text, std::vector<Line>& lines, std::string& scratch) {
    const std::size_t before = lines.size();
    while (!text.empty()) {
        const std::size_t feed = text.find('\n');
        if (feed == std::string_view::npos) {
            add_line(text, lines, scratch);
            break;
        }
        std::string_view line = text.substr(0, feed);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        add_line(line, lines, scratch);
        text.remove_prefix(feed + 1);
    }
    if (lines.size() == before) lines.push_back(Line{"", 0, 0, 0});
    return lines.size() - before;
}

std::string rule(const std::vector<std::size_t>& widths, std::string_view left, std::string_view fill,
                 std::string_view junction, std::string_view right) {
    std::size_t widest = 0;
    for (std::size_t w : widths) widest = std::max(widest, w);
    std::string run;  // `fill` repeated as often as the widest column needs
    run.reserve(widest * fill.size());
    for (std::size_t k = 0; k < widest; ++k) run += fill;
    std::string out(left);
    for (std::size_t c = 0; c < widths.size(); ++c) {
        if (c > 0) out += junction;
        out.append(run, 0, widths[c] * fill.size());
    }
    out += right;
    return out;
}

}  // namespace

std::string render(const Table& table) {
    if (table.rows.empty() || table.cols.empty()) throw InternalFault("table cannot be empty");
    const std::size_t columns = table.cols.size();
    const std::size_t rows = table.rows.size();

    // Lines of every cell (a missing cell is one empty line), column widths
    // and row heights. cell_first[r * columns + c] is the index of the
    // cell's first line; its last ends where the next cell's begins.
    std::vector<Line> lines;
    std::string scratch;
    std::vector<std::size_t> cell_first(rows * columns + 1);
    std::vector<std::size_t> widths(columns, 0);
    std::vector<std::size_t> heights(rows, 1);
    for (std::size_t r = 0; r < rows; ++r) {
        const Row& row = table.rows[r];
        for (std::size_t c = 0; c < columns; ++c) {
            cell_first[r * columns + c] = lines.size();
            const std::string_view text = c < row.cells.size() ? std::string_view(row.cells[c].text) : std::string_view();
            const std::size_t count = add_cell_lines(text, lines, scratch);
            for (std::size_t k = lines.size() - count; k < lines.size(); ++k) widths[c] = std::max(widths[c], lines[k].width);
            heights[r] = std::max(heights[r], count);
        }
    }
    cell_first[rows * columns] = lines.size();

    const std::string top = rule(widths, kTopLeft, kDoubleHorizontal, kTopJunction, kTopRight);
    const std::string middle = rule(widths, kRuleLeft, kRowRule, kRuleCross, kRuleRight);
    const std::string bottom = rule(widths, kBottomLeft, kDoubleHorizontal, kBottomJunction, kBottomRight);

    std::size_t text_width = 0;
    for (std::size_t w : widths) text_width += w;
    std::size_t size = top.size() + bottom.size() + 1 + (rows - 1) * (middle.size() + 1);
    for (std::size_t h : heights) size += h * (text_width + 4 * columns + 8);
    std::string out;
    out.reserve(size + scratch.size());

    out += top;
    out.push_back('\n');
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t k = 0; k < heights[r]; ++k) {
            out += kDoubleVertical;
            for (std::size_t c = 0; c < columns; ++c) {
                if (c > 0) out += kColumnLine;
                const std::size_t first = cell_first[r * columns + c];
                std::size_t used = 0;
                if (first + k < cell_first[r * columns + c + 1]) {
                    const Line& line = lines[first + k];
                    out.append(line.data ? line.data : scratch.data() + line.offset, line.size);
                    used = line.width;
                }
                out.append(widths[c] - used, ' ');
            }
            out += kDoubleVertical;
            out.push_back('\n');
        }
        if (r + 1 < rows) {
            out += middle;
            out.push_back('\n');
        }
    }
    out += bottom;
    return out;
}

}  // namespace vora
