#include "summary/table.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "base/fault.hpp"
#include "summary/table_drawing.hpp"
#include "text/utf8.hpp"

namespace vora {

using namespace table_drawing;

namespace {

bool is_white_space(std::uint32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// A rule's fill character repeated: rules copy their runs from here.
constexpr std::size_t kRunUnits = 128;

// A form lays out this many fill characters after each rule's part before
// the open column, and this many spaces before each line's part after it:
// an open column up to as wide is drawn with them, in one copy with the
// fixed bytes around.
constexpr std::size_t kFillRoom = 128;
constexpr std::size_t kPadRoom = 128;

std::string repeated(const char* unit) {
    std::string run;
    for (std::size_t k = 0; k < kRunUnits; ++k) run.append(unit, kFrameBytes);
    return run;
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

namespace table_drawing {

// Whether a text is drawn as one line exactly as written, as wide as it has
// bytes: it holds no control whitespace character (tab to carriage return,
// line feed included) and no non-ASCII byte, which might start a non-ASCII
// whitespace character.
bool is_plain(std::string_view text) {
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x80 || (c >= 0x09 && c <= 0x0D)) return false;
    }
    return true;
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

void put_run(Sink& out, const std::string& run, std::size_t units) {
    for (; units > kRunUnits; units -= kRunUnits) out.put(run);
    out.put(std::string_view(run.data(), units * kFrameBytes));
}

}  // namespace table_drawing

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

namespace {

// A fixed column is as wide as its widest cell in the variants picked: that
// is the widest cell of all variants only when some row is that wide in
// every variant. `rows` gives each row's variants as [first, first + count)
// of `laid`.
template <class Rows>
std::vector<std::size_t> fixed_widths(const std::vector<std::vector<LaidOut>>& laid, const Rows& rows,
                                      std::size_t columns) {
    std::vector<std::size_t> widths(columns, 0);
    std::vector<std::size_t> sure(columns, 0);
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < columns; ++c) {
            std::size_t narrowest = laid[row.first][c].width();
            for (std::size_t v = row.first; v < row.first + row.count; ++v) {
                widths[c] = std::max(widths[c], laid[v][c].width());
                narrowest = std::min(narrowest, laid[v][c].width());
            }
            sure[c] = std::max(sure[c], narrowest);
        }
    }
    if (sure != widths) throw InternalFault("form column width depends on the variants picked");
    return widths;
}

// Draws the fixed parts of a form's lines into its text, each as every
// drawing draws it; their offsets are the bytes put before them.
struct FixedLines {
    StringSink& out;
    const std::vector<std::size_t>& widths;
    std::size_t open;

    // The frame line and the cells left of the open column of line k of
    // `cells` (blank cells without them).
    void before(const std::vector<LaidOut>* cells, std::size_t k) {
        put(out, kDoubleVertical);
        for (std::size_t c = 0; c < open; ++c) {
            if (cells)
                put_padded(out, (*cells)[c], k, widths[c]);
            else
                out.put_spaces(widths[c]);
            put(out, kColumnLine);
        }
    }
    // The cells right of the open column, the frame line and the line feed.
    void after(const std::vector<LaidOut>* cells, std::size_t k) {
        for (std::size_t c = open + 1; c < widths.size(); ++c) {
            put(out, kColumnLine);
            if (cells)
                put_padded(out, (*cells)[c], k, widths[c]);
            else
                out.put_spaces(widths[c]);
        }
        put(out, kDoubleVertical);
        out.put("\n");
    }
    // A line's two parts, the kPadRoom spaces between them.
    template <class Parts>
    Parts line(const std::vector<LaidOut>* cells, std::size_t k) {
        Parts parts{};
        parts.before = out.written();
        before(cells, k);
        parts.before_size = out.written() - parts.before;
        out.put_spaces(kPadRoom);
        parts.after = out.written();
        after(cells, k);
        parts.after_size = out.written() - parts.after;
        return parts;
    }
    // A rule's two parts, the kFillRoom fill characters between them.
    template <class Parts>
    Parts rule(int kind) {
        const RuleKind& pieces = kRules[kind];
        Parts parts{};
        parts.before = out.written();
        out.put(std::string_view(pieces.left, kFrameBytes));
        for (std::size_t c = 0; c < open; ++c) {
            put_run(out, pieces.run(), widths[c]);
            out.put(std::string_view(pieces.junction, kFrameBytes));
        }
        parts.before_size = out.written() - parts.before;
        put_run(out, pieces.run(), kFillRoom);
        parts.after = out.written();
        for (std::size_t c = open + 1; c < widths.size(); ++c) {
            out.put(std::string_view(pieces.junction, kFrameBytes));
            put_run(out, pieces.run(), widths[c]);
        }
        out.put(std::string_view(pieces.right, kFrameBytes));
        if (kind != kBottom) out.put("\n");
        parts.after_size = out.written() - parts.after;
        return parts;
    }
    // Puts a copy of text already put, the part `from` of `size` bytes.
    void again(std::string& text, std::size_t from, std::size_t size) {
        out.finish();
        const std::string copy = text.substr(from, size);
        out.put(copy);
    }
};

}  // namespace

void TableForm::finish() {
    if (finished_) throw InternalFault("form is already finished");
    if (rows_.empty()) throw InternalFault("table cannot be empty");

    // Every fixed cell laid out (the open column's as one empty line).
    std::vector<std::vector<LaidOut>> laid(cells_.size());
    for (std::size_t v = 0; v < cells_.size(); ++v) {
        for (std::size_t c = 0; c < columns_; ++c) laid[v].push_back(lay_out(cells_[v][c]));
    }
    const std::vector<std::size_t> widths = fixed_widths(laid, rows_, columns_);

    StringSink out(text_);
    FixedLines fixed{out, widths, open_};
    for (int kind : {kTop, kMiddle, kBottom}) rules_[kind] = fixed.rule<Parts>(kind);
    blank_ = fixed.line<Parts>(nullptr, 0);

    const Parts middle = rules_[kMiddle];
    for (const std::vector<LaidOut>& cells : laid) {
        Variant variant{parts_.size(), 1, 0, 0, 0};
        for (std::size_t c = 0; c < columns_; ++c) variant.height = std::max(variant.height, cells[c].lines.size());
        variant.head = out.written();
        fixed.again(text_, middle.after, middle.after_size);
        for (std::size_t k = 0; k < variant.height; ++k) {
            const Parts line = fixed.line<Parts>(&cells, k);
            parts_.push_back(line);
            variant.size += line.before_size + line.after_size;
        }
        variant.tail = out.written();
        fixed.again(text_, middle.before, middle.before_size);
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
    size_ = fixed_ + extra_ + drawn_lines_ * width + rule(kTop) + (rows_.size() - 1) * rule(kMiddle) + rule(kBottom);
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
    const auto open_line = [&](const char* data, std::size_t size, std::size_t padding, const TableForm::Parts& parts) {
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
