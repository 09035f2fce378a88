#include "support/table_cells.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "base/fault.hpp"
#include "summary/table_drawing.hpp"

namespace vora {

using namespace table_drawing;

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

// A whole rule across columns of the given widths (no line feed).
void draw_rule(Sink& out, int kind, const std::vector<std::size_t>& widths) {
    const RuleKind& pieces = kRules[kind];
    const std::string& run = pieces.run();
    out.put(std::string_view(pieces.left, kFrameBytes));
    for (std::size_t c = 0; c < widths.size(); ++c) {
        if (c > 0) out.put(std::string_view(pieces.junction, kFrameBytes));
        put_run(out, run, widths[c]);
    }
    out.put(std::string_view(pieces.right, kFrameBytes));
}

}  // namespace

void TableCells::start(std::size_t columns) {
    columns_ = columns;
    lines_.clear();
    cells_.clear();
    rewritten_.clear();
    size_ = 0;
}

void TableCells::add(std::string_view text) {
    if (text.data() == nullptr) text = std::string_view("", 0);  // lines are copied from a real address
    const std::size_t first = lines_.size();
    if (is_plain(text)) {
        lines_.push_back(Line{text.data(), 0, text.size(), text.size()});
    } else {
        for_each_source_line(text, [&](std::string_view line) {
            if (is_plain(line)) {
                lines_.push_back(Line{line.data(), 0, line.size(), line.size()});
            } else {
                const std::size_t from = rewritten_.size();
                const std::size_t width = append_rewritten(rewritten_, line);
                lines_.push_back(Line{nullptr, from, rewritten_.size() - from, width});
            }
        });
    }
    cells_.push_back(CellLines{first, lines_.size() - first});
}

std::size_t TableCells::drawn_size() {
    if (columns_ == 0 || cells_.empty()) throw InternalFault("table cannot be empty");
    while (cells_.size() % columns_ != 0) add(std::string_view());
    const std::size_t rows = cells_.size() / columns_;
    // The rewritten lines stay where they are from now on.
    for (Line& line : lines_) {
        if (!line.data) line.data = rewritten_.data() + line.offset;
    }

    widths_.assign(columns_, 0);
    heights_.assign(rows, 1);
    std::size_t extra = 0;  // bytes beyond one per scalar value, over all lines
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < columns_; ++c) {
            const CellLines cell = cells_[r * columns_ + c];
            for (std::size_t k = cell.first; k < cell.first + cell.count; ++k) {
                widths_[c] = std::max(widths_[c], lines_[k].width);
                extra += lines_[k].size - lines_[k].width;
            }
            heights_[r] = std::max(heights_[r], cell.count);
        }
    }

    std::size_t text_width = 0;
    for (std::size_t w : widths_) text_width += w;
    // A rule: two corners, a junction between columns, the fill runs.
    const std::size_t rule = (columns_ + 1) * kFrameBytes + text_width * kFrameBytes;
    // A line of text: two frame lines, a column line between columns, the
    // padded cells, a line feed.
    const std::size_t text_line = (columns_ + 1) * kFrameBytes + text_width + 1;
    std::size_t lines = 0;
    for (std::size_t h : heights_) lines += h;
    size_ = 2 * rule + 1 + (rows - 1) * (rule + 1) + lines * text_line + extra;
    return size_;
}

void TableCells::draw_into(std::string& out) const {
    out.reserve(out.size() + size_);
    StringSink sink(out);
    draw(sink);
    sink.finish();
}

void TableCells::draw(Sink& out) const {
    const std::size_t start = out.written();
    const std::size_t rows = heights_.size();
    const auto rule = [&](int kind) { draw_rule(out, kind, widths_); };
    rule(kTop);
    out.put("\n");
    for (std::size_t r = 0; r < rows; ++r) {
        const CellLines* row = cells_.data() + r * columns_;
        for (std::size_t k = 0; k < heights_[r]; ++k) {
            put(out, kDoubleVertical);
            for (std::size_t c = 0; c < columns_; ++c) {
                if (c > 0) put(out, kColumnLine);
                std::size_t padding = widths_[c];
                if (k < row[c].count) {
                    const Line& line = lines_[row[c].first + k];
                    out.put(std::string_view(line.data, line.size));
                    padding -= line.width;
                }
                out.put_spaces(padding);
            }
            put(out, kDoubleVertical);
            out.put("\n");
        }
        if (r + 1 < rows) {
            rule(kMiddle);
            out.put("\n");
        }
    }
    rule(kBottom);
    if (out.written() - start != size_) throw InternalFault("table drawing does not fill its size");
}

std::string render(const Table& table) {
    if (table.rows.empty() || table.cols.empty()) throw InternalFault("table cannot be empty");
    const std::size_t columns = table.cols.size();
    TableCells cells;
    cells.start(columns);
    for (const Row& row : table.rows) {
        for (std::size_t c = 0; c < columns; ++c) {
            cells.add(c < row.cells.size() ? std::string_view(row.cells[c].text) : std::string_view());
        }
    }
    std::string out;
    cells.drawn_size();
    cells.draw_into(out);
    return out;
}

}  // namespace vora
