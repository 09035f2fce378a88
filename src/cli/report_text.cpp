// The text format: per finding its headline, the source line with carets
// under the span, notes for related places and a help line; the summary
// line at the end. shown_error, explain's form of a loading error, shows
// its line the same way.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/report_common.hpp"
#include "text/display.hpp"
#include "text/source_index.hpp"
#include "text/utf8.hpp"

namespace vora::cli {

namespace {

// The head of a shown source line: an empty gutter line, then the line's
// number and the bar. Returns the gutter's width.
std::size_t append_line_head(std::string& out, std::uint32_t line) {
    const std::string number = integer_text(line);
    out.append(number.size() + 1, ' ');
    out += "|\n";
    out += number;
    out += " | ";
    return number.size() + 1;
}

using lint::Finding;

std::string plural(std::size_t n, std::string_view word) {
    return integer_text(n) + " " + std::string(word) + (n == 1 ? "" : "s");
}

// The lines of a checked text (from its SourceIndex, which also gives the
// findings' positions), and the byte offsets of columns in a line.
class Source {
public:
    explicit Source(std::string_view text) : index_(text) {}

    SourceIndex& index() { return index_; }
    // Line `number` (1-based) as SourceIndex::line gives it.
    std::string_view line(std::uint32_t number) { return index_.line(number); }

    // The byte offset in `content` (line `number`) of its character at
    // `column` (1-based), or its size past its end. A long line is read
    // once: the offset of every 64th character is kept for the last line
    // asked about, and findings come in file order.
    std::size_t offset(std::uint32_t number, std::string_view content, std::uint32_t column) {
        std::size_t at = 0;
        std::size_t left = column > 0 ? column - 1 : 0;
        if (content.size() > 1024) {
            if (marked_ != number) {
                marked_ = number;
                marks_.clear();
                std::size_t count = 0;
                for (std::size_t i = 0; i < content.size(); ++i) {
                    if ((static_cast<unsigned char>(content[i]) & 0xC0) == 0x80) continue;
                    if (count++ % 64 == 0) marks_.push_back(static_cast<std::uint32_t>(i));
                }
            }
            const std::size_t mark = std::min(left / 64, marks_.size() - 1);
            at = marks_[mark];
            left -= mark * 64;
        }
        return forward(content, at, left);
    }

    // Moves from `at` up to `n` characters forwards, stopping at the end.
    static std::size_t forward(std::string_view content, std::size_t at, std::size_t n) {
        for (; n > 0 && at < content.size(); --n) {
            ++at;
            while (at < content.size() && (static_cast<unsigned char>(content[at]) & 0xC0) == 0x80) ++at;
        }
        return at;
    }

    // Moves from `at` up to `n` characters backwards, stopping at the start.
    static std::size_t backward(std::string_view content, std::size_t at, std::size_t n) {
        for (; n > 0 && at > 0; --n) {
            --at;
            while (at > 0 && (static_cast<unsigned char>(content[at]) & 0xC0) == 0x80) --at;
        }
        return at;
    }

private:
    SourceIndex index_;
    std::uint32_t marked_ = 0;
    std::vector<std::uint32_t> marks_;
};

// A line longer than this many bytes is cut to a window around the span:
// so many characters on either side of it, and at most kMarked of the span.
constexpr std::size_t kWhole = 160;
constexpr std::size_t kContext = 40;
constexpr std::size_t kMarked = 80;

struct Style {
    std::string_view on;   // starts the colour of a label and its carets
    std::string_view off;  // ends it
};

class TextRenderer final : public Renderer {
public:
    explicit TextRenderer(bool color) : color_(color) {}

    void file(const FileReport& file, Output& out) override {
        Source source(file.text);
        for (const Finding& finding : file.findings) {
            if (finding.silenced()) continue;
            std::string& o = out.buffer();
            const Style style = styled(finding.severity == lint::Severity::Error ? "\x1b[1;31m" : "\x1b[1;33m");
            std::string label(severity_name(finding.severity));
            label += '[';
            label += finding.code.text();
            label += ']';
            const std::optional<toml::Span> span = finding.span(source.index());
            message_.clear();
            finding.append_message(message_, file.text);
            headline(o, file.name, span, label, style, message_);
            std::size_t gutter = 2;
            if (span) gutter = snippet(o, source, *span, style);
            const Style note = styled("\x1b[1;36m");
            for (const lint::Related& related : finding.related()) {
                const toml::Span place = finding.span(related, source.index());
                headline(o, file.name, place, "note", note, related.message);
                snippet(o, source, place, note);
            }
            if (const std::optional<std::string_view> help = finding.help()) {
                o.append(gutter, ' ');
                o += "= ";
                o += note.on;
                o += "help";
                o += note.off;
                o += ": ";
                o += finding.help_lead();
                display::append_escaped(o, *help);
                o += '\n';
            }
            o += '\n';
            out.spill();
        }
    }

    void end(const Totals& totals, Output& out) override { out.buffer() += summary_line(totals); }

private:
    Style styled(std::string_view on) const { return color_ ? Style{on, "\x1b[0m"} : Style{}; }

    static void headline(std::string& o, std::string_view name, const std::optional<toml::Span>& span,
                         std::string_view label, const Style& style, std::string_view message) {
        o += name;
        if (span) {
            o += ':';
            append_position(o, span->begin);
        }
        o += ": ";
        o += style.on;
        o += label;
        o += style.off;
        o += ": ";
        display::append_escaped(o, message);
        o += '\n';
    }

    // The line the span starts on, cut to a window around the span when it
    // is long, between gutter lines, and carets under the span (cut at the
    // end of the line, at least one). Returns the gutter's width.
    static std::size_t snippet(std::string& o, Source& source, const toml::Span& span, const Style& style) {
        const std::string_view content = source.line(span.begin.line);
        const std::size_t begin = source.offset(span.begin.line, content, span.begin.column);
        std::size_t end = content.size();
        if (span.end.line == span.begin.line) {
            end = std::max(begin, span.end.column > span.begin.column
                                      ? source.offset(span.begin.line, content, span.end.column)
                                      : begin);
        }
        std::size_t first = 0, last = content.size(), marked = end;
        if (content.size() > kWhole) {
            first = Source::backward(content, begin, kContext);
            marked = std::min(end, Source::forward(content, begin, kMarked));
            last = Source::forward(content, marked, kContext);
        }
        const std::size_t gutter = append_line_head(o, span.begin.line);
        if (first > 0) o += "...";
        display::append_shown(o, content.substr(first, last - first));
        if (last < content.size()) o += "...";
        o += '\n';
        o.append(gutter, ' ');
        o += "| ";
        o.append((first > 0 ? 3 : 0) + display::width(content.substr(first, begin - first)), ' ');
        o += style.on;
        o.append(std::max<std::size_t>(display::width(content.substr(begin, marked - begin)), 1), '^');
        o += style.off;
        o += '\n';
        return gutter;
    }

    bool color_;
    std::string message_;  // the finding's, reused
};

}  // namespace

std::unique_ptr<Renderer> make_text_renderer(bool color) { return std::make_unique<TextRenderer>(color); }

std::string summary_line(const Totals& totals) {
    std::string line = plural(totals.files, "file") + " checked: " + plural(totals.errors, "error") + ", " +
                       plural(totals.warnings, "warning");
    if (totals.silenced > 0) line += ", " + integer_text(totals.silenced) + " silenced";
    return line + "\n";
}

std::string shown_error(const LoadError& error) {
    std::string out;
    const std::optional<Span> place = error.span();
    if (!place) {
        display::append_escaped(out, error.message);
        out += '\n';
        if (!error.path.empty()) {
            out += "in `";
            for (std::size_t i = 0; i < error.path.size(); ++i) {
                if (i) out += '.';
                display::append_escaped(out, error.path[i]);
            }
            out += "`\n";
        }
        return out;
    }
    const Span& span = *place;
    out += "TOML parse error at line " + integer_text(span.begin.line) + ", column " +
           integer_text(span.begin.column) + '\n';
    // Columns do not count a byte-order mark; the line keeps it, as render() does.
    SourceIndex index(error.text);
    std::string_view content = index.line(span.begin.line);
    std::string_view mark;
    if (span.begin.line == 1 && content.starts_with("\xEF\xBB\xBF")) {
        mark = content.substr(0, 3);
        content.remove_prefix(3);
    }
    // The span in characters as render() counts it: cut at the end of the
    // line, at least one.
    const std::size_t characters = utf8::count_code_points(content);
    const std::size_t column = span.begin.column;
    const std::size_t room = characters + 1 > column ? characters + 1 - column : 0;
    std::size_t length = span.end.line == span.begin.line && span.end.column >= column ? span.end.column - column : room;
    length = std::min(length, room);
    const std::size_t begin = Source::forward(content, 0, column > 0 ? column - 1 : 0);
    const std::size_t end = Source::forward(content, begin, length);
    const std::size_t past = column > characters + 1 ? column - characters - 1 : 0;  // columns past the line's end
    const std::size_t gutter = append_line_head(out, span.begin.line);
    out += mark;
    display::append_shown(out, content);
    out += '\n';
    out.append(gutter, ' ');
    out += "| ";
    out.append(display::width(content.substr(0, begin)) + past, ' ');
    out.append(std::max<std::size_t>(display::width(content.substr(begin, end - begin)), 1), '^');
    out += '\n';
    display::append_escaped(out, error.message);
    out += '\n';
    return out;
}

}  // namespace vora::cli
