#include "section/table.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "io/fault.hpp"
#include "text/utf8.hpp"
#include "text/word.hpp"

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

// The frame's characters, as arrays so that copying one is a fixed-size copy.
constexpr char kTopLeft[] = "\u2554";
constexpr char kDoubleHorizontal[] = "\u2550";
constexpr char kTopJunction[] = "\u2564";
constexpr char kTopRight[] = "\u2557";
constexpr char kDoubleVertical[] = "\u2551";
constexpr char kColumnLine[] = "\u2502";
constexpr char kRowRule[] = "\u2500";
constexpr char kRuleLeft[] = "\u255F";
constexpr char kRuleCross[] = "\u253C";
constexpr char kRuleRight[] = "\u2562";
constexpr char kBottomLeft[] = "\u255A";
constexpr char kBottomJunction[] = "\u2567";
constexpr char kBottomRight[] = "\u255D";

// Every frame character takes the same number of bytes.
constexpr std::size_t kFrameBytes = sizeof kDoubleVertical - 1;

template <std::size_t N>
void put(Sink& out, const char (&piece)[N]) {
    static_assert(N - 1 == kFrameBytes);
    out.put(std::string_view(piece, kFrameBytes));
}

bool is_white_space(std::uint32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Whether a text is drawn as one line exactly as written, as wide as it has
// bytes: it holds no control whitespace character (tab to carriage return,
// line feed included) and no non-ASCII byte, which might start a non-ASCII
// whitespace character.
bool is_plain(std::string_view text) {
    const char* p = text.data();
    std::size_t n = text.size();
    // Eight bytes at a time.
    const auto plain_chunk = [](std::uint64_t chunk) {
        return word::high(chunk) == 0 && word::in_ascii_range(chunk, 0x09, 0x0D) == 0;
    };
    const auto plain_word = [&](const char* at) {
        std::uint64_t chunk;
        std::memcpy(&chunk, at, 8);
        return plain_chunk(chunk);
    };
    if (n >= 8) {
        for (; n > 8; p += 8, n -= 8) {
            if (!plain_word(p)) return false;
        }
        // The last eight bytes, some of them looked at already.
        return plain_word(p + n - 8);
    }
    if (n >= 4) {
        // The first four and the last four bytes, which may overlap, as one word.
        std::uint32_t first;
        std::uint32_t last;
        std::memcpy(&first, p, 4);
        std::memcpy(&last, p + n - 4, 4);
        return plain_chunk(first | static_cast<std::uint64_t>(last) << 32);
    }
    for (; n > 0; ++p, --n) {
        const auto c = static_cast<unsigned char>(*p);
        if (c >= 0x80 || (c >= 0x09 && c <= 0x0D)) return false;
    }
    return true;
}

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
std::size_t append_rewritten(std::string& out, std::string_view source) {
    std::size_t width = 0;
    bool after_word = false;
    std::size_t i = 0;
    while (i < source.size()) {
        const std::size_t start = i;
        const bool white = is_white_space(utf8::next(source, i));
        if (white && after_word) {
            out.push_back(' ');
        } else {
            out.append(source.substr(start, i - start));
        }
        after_word = !white;
        ++width;
    }
    return width;
}

// A rule's fill character repeated: rules copy their runs from here.
constexpr std::size_t kRunUnits = 128;

// A form lays out this many fill characters after each rule's part before
// the open column, and this many spaces before each line's part after it:
// an open column up to as wide is drawn with them, in one copy with the
// fixed bytes around.
constexpr std::size_t kFillRoom = 128;
constexpr std::size_t kPadRoom = 128;

struct RuleKind {
    const char* left;
    const char* junction;
    const char* right;
    const std::string& (*run)();
};

std::string repeated(const char* unit) {
    std::string run;
    for (std::size_t k = 0; k < kRunUnits; ++k) run.append(unit, kFrameBytes);
    return run;
}

const std::string& double_run() {
    // Never destroyed: a daemon thread may still draw while the process
    // exits and runs static destructors.
    static const std::string& run = *new std::string(repeated(kDoubleHorizontal));
    return run;
}

const std::string& single_run() {
    static const std::string& run = *new std::string(repeated(kRowRule));
    return run;
}

constexpr RuleKind kRules[] = {
    {kTopLeft, kTopJunction, kTopRight, double_run},
    {kRuleLeft, kRuleCross, kRuleRight, single_run},
    {kBottomLeft, kBottomJunction, kBottomRight, double_run},
};

// `units` fill characters copied from `run`.
void put_run(Sink& out, const std::string& run, std::size_t units) {
    for (; units > kRunUnits; units -= kRunUnits) out.put(run);
    out.put(std::string_view(run.data(), units * kFrameBytes));
}

constexpr int kTop = 0;
constexpr int kMiddle = 1;
constexpr int kBottom = 2;

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

// The drawn lines of a cell that is laid out once, and their widths.
struct LaidOut {
    std::vector<std::string> lines;
    std::vector<std::size_t> widths;

    std::size_t width() const {
        std::size_t widest = 0;
        for (std::size_t w : widths) widest = std::max(widest, w);
        return widest;
    }
};

LaidOut lay_out(std::string_view text) {
    LaidOut cell;
    for_each_source_line(text, [&](std::string_view source) {
        if (is_plain(source)) {
            cell.lines.emplace_back(source);
            cell.widths.push_back(source.size());
        } else {
            std::string line;
            cell.widths.push_back(append_rewritten(line, source));
            cell.lines.push_back(std::move(line));
        }
    });
    return cell;
}

// Puts line k of a laid-out cell (an empty line below its last) padded
// with spaces to `width`.
void put_padded(Sink& out, const LaidOut& cell, std::size_t k, std::size_t width) {
    std::size_t used = 0;
    if (k < cell.lines.size()) {
        out.put(cell.lines[k]);
        used = cell.widths[k];
    }
    out.put_spaces(width - used);
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

TableForm::TableForm(std::size_t columns, std::size_t open_column) : columns_(columns), open_(open_column) {
    if (open_column >= columns) throw InternalFault("form's open column is outside the table");
}

void TableForm::add_row(std::span<const std::vector<std::string_view>> variants) {
    if (finished_) throw InternalFault("form is already finished");
    if (variants.empty()) throw InternalFault("form row without variants");
    rows_.push_back(RowVariants{cells_.size(), variants.size()});
    for (const auto& texts : variants) {
        std::vector<std::string> row(columns_);
        for (std::size_t c = 0; c < std::min(texts.size(), columns_); ++c) {
            if (c != open_) row[c] = texts[c];
        }
        cells_.push_back(std::move(row));
    }
}

void TableForm::add_row(std::initializer_list<std::vector<std::string_view>> variants) {
    add_row(std::span<const std::vector<std::string_view>>(variants.begin(), variants.size()));
}

void TableForm::finish() {
    if (finished_) throw InternalFault("form is already finished");
    if (rows_.empty()) throw InternalFault("table cannot be empty");

    // Every fixed cell laid out (the open column's as one empty line).
    std::vector<std::vector<LaidOut>> laid(cells_.size());
    for (std::size_t v = 0; v < cells_.size(); ++v) {
        for (std::size_t c = 0; c < columns_; ++c) laid[v].push_back(lay_out(cells_[v][c]));
    }

    // A fixed column is as wide as its widest cell in the variants picked:
    // that is the widest cell of all variants only when some row is that
    // wide in every variant.
    std::vector<std::size_t> widths(columns_, 0);
    std::vector<std::size_t> sure(columns_, 0);
    for (const RowVariants& row : rows_) {
        for (std::size_t c = 0; c < columns_; ++c) {
            std::size_t narrowest = laid[row.first][c].width();
            for (std::size_t v = row.first; v < row.first + row.count; ++v) {
                widths[c] = std::max(widths[c], laid[v][c].width());
                narrowest = std::min(narrowest, laid[v][c].width());
            }
            sure[c] = std::max(sure[c], narrowest);
        }
    }
    if (sure != widths) throw InternalFault("form column width depends on the variants picked");

    // The fixed parts are drawn as every drawing is, into text_: their
    // offsets there are the bytes put before them.
    StringSink out(text_);
    const auto put_before = [&](const std::vector<LaidOut>* cells, std::size_t k) {
        put(out, kDoubleVertical);
        for (std::size_t c = 0; c < open_; ++c) {
            if (cells) put_padded(out, (*cells)[c], k, widths[c]);
            else out.put_spaces(widths[c]);
            put(out, kColumnLine);
        }
    };
    const auto put_after = [&](const std::vector<LaidOut>* cells, std::size_t k) {
        for (std::size_t c = open_ + 1; c < columns_; ++c) {
            put(out, kColumnLine);
            if (cells) put_padded(out, (*cells)[c], k, widths[c]);
            else out.put_spaces(widths[c]);
        }
        put(out, kDoubleVertical);
        out.put("\n");
    };
    // Puts a copy of text already put, the part `from` of `size` bytes.
    const auto put_again = [&](std::size_t from, std::size_t size) {
        out.finish();
        const std::string copy = text_.substr(from, size);
        out.put(copy);
    };

    for (int kind : {kTop, kMiddle, kBottom}) {
        const RuleKind& pieces = kRules[kind];
        Parts& rule = rules_[kind];
        rule.before = out.written();
        out.put(std::string_view(pieces.left, kFrameBytes));
        for (std::size_t c = 0; c < open_; ++c) {
            put_run(out, pieces.run(), widths[c]);
            out.put(std::string_view(pieces.junction, kFrameBytes));
        }
        rule.before_size = out.written() - rule.before;
        put_run(out, pieces.run(), kFillRoom);
        rule.after = out.written();
        for (std::size_t c = open_ + 1; c < columns_; ++c) {
            out.put(std::string_view(pieces.junction, kFrameBytes));
            put_run(out, pieces.run(), widths[c]);
        }
        out.put(std::string_view(pieces.right, kFrameBytes));
        if (kind != kBottom) out.put("\n");
        rule.after_size = out.written() - rule.after;
    }

    blank_.before = out.written();
    put_before(nullptr, 0);
    blank_.before_size = out.written() - blank_.before;
    out.put_spaces(kPadRoom);
    blank_.after = out.written();
    put_after(nullptr, 0);
    blank_.after_size = out.written() - blank_.after;

    const Parts middle = rules_[kMiddle];
    for (const std::vector<LaidOut>& cells : laid) {
        Variant variant{parts_.size(), 1, 0, 0, 0};
        for (std::size_t c = 0; c < columns_; ++c) variant.height = std::max(variant.height, cells[c].lines.size());
        variant.head = out.written();
        put_again(middle.after, middle.after_size);
        for (std::size_t k = 0; k < variant.height; ++k) {
            Parts line{};
            line.before = out.written();
            put_before(&cells, k);
            line.before_size = out.written() - line.before;
            out.put_spaces(kPadRoom);
            line.after = out.written();
            put_after(&cells, k);
            line.after_size = out.written() - line.after;
            parts_.push_back(line);
            variant.size += line.before_size + line.after_size;
        }
        variant.tail = out.written();
        put_again(middle.before, middle.before_size);
        put_run(out, kRules[kMiddle].run(), kFillRoom);
        variants_.push_back(variant);
    }
    out.finish();

    cells_.clear();
    cells_.shrink_to_fit();
    finished_ = true;
}

namespace {

// Puts the pieces of a drawing, fixed bytes that follow one another in
// memory gathered into one copy: straight into the sink's buffer when it has
// room for the whole drawing, else through put().
class Pieces {
public:
    Pieces(Sink& out, std::size_t size) noexcept : out_(out), at_(out.room(size)) {}
    Pieces(const Pieces&) = delete;
    Pieces& operator=(const Pieces&) = delete;

    void fixed(const char* data, std::size_t size) {
        if (data == next_) {
            next_ += size;
            return;
        }
        flush();
        start_ = data;
        next_ = data + size;
    }
    void text(const char* data, std::size_t size) {
        flush();
        if (at_) {
            std::memcpy(at_, data, size);
            at_ += size;
        } else {
            out_.put(std::string_view(data, size));
        }
    }
    void spaces(std::size_t count) {
        flush();
        if (at_) {
            std::memset(at_, ' ', count);
            at_ += count;
        } else {
            out_.put_spaces(count);
        }
    }
    void run(const std::string& run, std::size_t units) {
        flush();
        for (; units > kRunUnits; units -= kRunUnits) text(run.data(), run.size());
        text(run.data(), units * kFrameBytes);
    }
    // Puts what is gathered; after the last piece, hands the sink the bytes
    // written straight into its buffer.
    void flush() {
        if (next_ != start_) {
            const auto size = static_cast<std::size_t>(next_ - start_);
            if (at_) {
                std::memcpy(at_, start_, size);
                at_ += size;
            } else {
                out_.put(std::string_view(start_, size));
            }
        }
        start_ = next_ = nullptr;
    }
    void finish() {
        flush();
        if (at_) out_.advance(at_);
    }

private:
    Sink& out_;
    char* at_;
    const char* start_ = nullptr;
    const char* next_ = nullptr;
};

}  // namespace

void FormCells::start(const TableForm& form) {
    if (!form.finished_) throw InternalFault("form is not finished");
    form_ = &form;
    rows_.clear();
    lines_.clear();
    store_.clear();
    open_width_ = 0;
    fixed_ = 0;
    extra_ = 0;
    drawn_lines_ = 0;
    size_ = 0;
}

void FormCells::add(std::string_view text, std::size_t variant) { add_open(text, variant, true, 0); }

void FormCells::add_open(std::string_view text, std::size_t variant, bool by_view, std::size_t offset) {
    const TableForm& form = *form_;
    if (rows_.size() >= form.rows_.size()) throw InternalFault("more rows than the form has");
    const TableForm::RowVariants& variants = form.rows_[rows_.size()];
    if (variant >= variants.count) throw InternalFault("form row has no such variant");
    const std::size_t picked = variants.first + variant;
    const TableForm::Variant& shape = form.variants_[picked];
    if (text.data() == nullptr) text = std::string_view("", 0);  // lines are copied from a real address

    if (is_plain(text)) {
        rows_.push_back(Row{picked, Line{by_view ? text.data() : nullptr, offset, text.size(), text.size()},
                            lines_.size(), 1, shape.height});
        open_width_ = std::max(open_width_, text.size());
        fixed_ += shape.size;
        drawn_lines_ += shape.height;
    } else {
        add_lines(text, picked, by_view, offset);
    }
}

void FormCells::add_lines(std::string_view text, std::size_t picked, bool by_view, std::size_t offset) {
    const TableForm& form = *form_;
    const TableForm::Variant& shape = form.variants_[picked];
    // A rewritten line is never longer than its source: with room for the
    // whole text the store does not move while it is read.
    store_.reserve(store_.size() + text.size());
    if (!by_view) text = std::string_view(store_).substr(offset, text.size());
    Row row{picked, Line{}, lines_.size(), 0, 0};
    for_each_source_line(text, [&](std::string_view source) {
        Line line;
        if (is_plain(source)) {
            const std::size_t at = offset + static_cast<std::size_t>(source.data() - text.data());
            line = Line{by_view ? source.data() : nullptr, at, source.size(), source.size()};
        } else {
            const std::size_t from = store_.size();
            const std::size_t width = append_rewritten(store_, source);
            line = Line{nullptr, from, store_.size() - from, width};
        }
        open_width_ = std::max(open_width_, line.width);
        extra_ += line.size - line.width;
        if (row.count++ == 0) {
            row.line = line;
        } else {
            lines_.push_back(line);
        }
    });
    row.height = std::max(shape.height, row.count);
    fixed_ += shape.size + (row.height - shape.height) * (form.blank_.before_size + form.blank_.after_size);
    drawn_lines_ += row.height;
    rows_.push_back(row);
}

std::size_t FormCells::drawn_size() {
    const TableForm& form = *form_;
    if (rows_.size() != form.rows_.size()) throw InternalFault("form drawing is missing rows");
    const std::size_t width = open_width_;
    const auto rule = [&](int kind) {
        return form.rules_[kind].before_size + width * kFrameBytes + form.rules_[kind].after_size;
    };
    size_ = fixed_ + extra_ + drawn_lines_ * width + rule(kTop) + (rows_.size() - 1) * rule(kMiddle) +
            rule(kBottom);
    return size_;
}

void FormCells::draw_into(std::string& out) const {
    out.reserve(out.size() + size_);
    StringSink sink(out);
    draw(sink);
    sink.finish();
}

void FormCells::draw(Sink& out) const {
    const TableForm& form = *form_;
    const char* const text = form.text_.data();
    const char* const store = store_.data();
    const std::size_t width = open_width_;
    const std::size_t fill = width * kFrameBytes;
    const bool fill_laid = width <= kFillRoom;
    const std::size_t start = out.written();
    Pieces pieces(out, size_);
    const auto fixed = [&](std::size_t at, std::size_t size) { pieces.fixed(text + at, size); };
    // A rule's part before the open column (at `before`, `before_size`
    // bytes, followed in text_ by the fill laid out with it), its fill.
    const auto rule_up_to_after = [&](int kind, std::size_t before, std::size_t before_size) {
        if (fill_laid) {
            fixed(before, before_size + fill);
        } else {
            fixed(before, before_size);
            pieces.run(kRules[kind].run(), width);
        }
    };
    // The open cell's line and its padding up to the line's after part.
    const auto open_line = [&](const char* data, std::size_t size, std::size_t padding,
                               const TableForm::Parts& parts) {
        pieces.text(data, size);
        if (padding <= kPadRoom) {
            fixed(parts.after - padding, padding + parts.after_size);
        } else {
            pieces.spaces(padding);
            fixed(parts.after, parts.after_size);
        }
    };
    const TableForm::Parts& middle = form.rules_[kMiddle];

    rule_up_to_after(kTop, form.rules_[kTop].before, form.rules_[kTop].before_size);
    fixed(form.rules_[kTop].after, form.rules_[kTop].after_size);
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        const Row& row = rows_[r];
        const TableForm::Variant& variant = form.variants_[row.variant];
        if (row.height == 1 && variant.height == 1 && r > 0 && r + 1 < rows_.size() && fill_laid &&
            width - row.line.width <= kPadRoom) {
            // The common row between two others, one line high: from the
            // rule above it to its open cell, the cell, and from the cell's
            // padding to the rule below it, each one piece of text_.
            const TableForm::Parts& parts = form.parts_[variant.first];
            const std::size_t after = parts.after - (width - row.line.width);
            fixed(variant.head, parts.before + parts.before_size - variant.head);
            pieces.text(row.line.data ? row.line.data : store + row.line.offset, row.line.size);
            fixed(after, variant.tail + middle.before_size + fill - after);
            continue;
        }
        if (r > 0) fixed(variant.head, middle.after_size);
        for (std::size_t k = 0; k < row.height; ++k) {
            const TableForm::Parts& parts = k < variant.height ? form.parts_[variant.first + k] : form.blank_;
            fixed(parts.before, parts.before_size);
            if (k < row.count) {
                const Line& line = k == 0 ? row.line : lines_[row.first + k - 1];
                open_line(line.data ? line.data : store + line.offset, line.size, width - line.width, parts);
            } else {
                open_line(text, 0, width, parts);
            }
        }
        if (r + 1 < rows_.size()) {
            // The copy of the rule's before part that follows the row's
            // last line, when that is the variant's last.
            if (row.height == variant.height) {
                rule_up_to_after(kMiddle, variant.tail, middle.before_size);
            } else {
                rule_up_to_after(kMiddle, middle.before, middle.before_size);
            }
        }
    }
    rule_up_to_after(kBottom, form.rules_[kBottom].before, form.rules_[kBottom].before_size);
    fixed(form.rules_[kBottom].after, form.rules_[kBottom].after_size);
    pieces.finish();
    if (out.written() - start != size_) throw InternalFault("table drawing does not fill its size");
}

}  // namespace vora
