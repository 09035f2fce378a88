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

// Moves from `at` up to `n` characters forwards, stopping at the end.
std::size_t forward(std::string_view content, std::size_t at, std::size_t n) {
    for (; n > 0 && at < content.size(); --n) {
        ++at;
        while (at < content.size() && (static_cast<unsigned char>(content[at]) & 0xC0) == 0x80) ++at;
    }
    return at;
}

// Moves from `at` up to `n` characters backwards, stopping at the start.
std::size_t backward(std::string_view content, std::size_t at, std::size_t n) {
    for (; n > 0 && at > 0; --n) {
        --at;
        while (at > 0 && (static_cast<unsigned char>(content[at]) & 0xC0) == 0x80) --at;
    }
    return at;
}

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
        SourceIndex index(file.text);
        for (const Finding& finding : file.findings) {
            if (finding.silenced) continue;
            std::string& o = out.buffer();
            const Style style = styled(finding.severity == lint::Severity::Error ? "\x1b[1;31m" : "\x1b[1;33m");
            std::string label(severity_name(finding.severity));
            label += '[';
            label += finding.code.text();
            label += ']';
            const std::optional<toml::Span> span = lint::span(finding, index);
            headline(o, file.name, span, label, style, message_of(finding, message_));
            std::size_t gutter = 2;
            if (span) gutter = snippet(o, index, span->begin.line, finding.range->begin, finding.range->end, style);
            const Style note = styled("\x1b[1;36m");
            for (const lint::Related& related : finding.related) {
                const toml::Span place = lint::span(finding, related, index);
                headline(o, file.name, place, "note", note, related.message);
                snippet(o, index, place.begin.line, related.begin, related.end, note);
            }
            if (const std::optional<std::string>& help = finding.help) {
                o.append(gutter, ' ');
                o += "= ";
                o += note.on;
                o += "help";
                o += note.off;
                o += ": ";
                o += finding.help_lead;
                display::append_one_line(o, *help);
                o += '\n';
            }
            o += '\n';
            out.spill();
        }
    }

    void end(const Totals& totals, Output& out) override { out.buffer() += summary_line(totals); }

private:
    Style styled(std::string_view on) const { return color_ ? Style{on, "\x1b[0m"} : Style{}; }

    // "name:line:column: label: message", the name and message written as
    // one line each (whatever bytes they hold, from a model file or a path).
    static void headline(std::string& o, std::string_view name, const std::optional<toml::Span>& span,
                         std::string_view label, const Style& style, std::string_view message) {
        display::append_one_line(o, name);
        if (span) {
            o += ':';
            append_position(o, span->begin);
        }
        o += ": ";
        o += style.on;
        o += label;
        o += style.off;
        o += ": ";
        display::append_one_line(o, message);
        o += '\n';
    }

    // Line `line`, on which the bytes [from, to) of the text start, cut to
    // a window around them when it is long, between gutter lines, and
    // carets under them (cut at the end of the line, at least one).
    // Returns the gutter's width.
    static std::size_t snippet(std::string& o, SourceIndex& index, std::uint32_t line, std::size_t from, std::size_t to,
                               const Style& style) {
        const std::string_view content = index.line(line);
        const std::size_t start = index.line_start(line);
        const std::size_t begin = std::min(from > start ? from - start : 0, content.size());
        const std::size_t end = std::max(begin, std::min(to > start ? to - start : 0, content.size()));
        std::size_t first = 0, last = content.size(), marked = end;
        if (content.size() > kWhole) {
            first = backward(content, begin, kContext);
            marked = std::min(end, forward(content, begin, kMarked));
            last = forward(content, marked, kContext);
        }
        const std::size_t gutter = append_line_head(o, line);
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
    if (totals.skipped > 0) line += "; " + plural(totals.skipped, "TOML file") + " skipped: not configurations";
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
    out += "TOML parse error at line " + integer_text(span.begin.line) + ", column " + integer_text(span.begin.column) +
           '\n';
    // The line as render() shows it; a second byte-order mark that starts
    // it is shown apart, the carets placed after it.
    SourceIndex index(error.text);
    std::string_view content = index.line(span.begin.line);
    const std::size_t start = index.line_start(span.begin.line) + (content.starts_with("\xEF\xBB\xBF") ? 3 : 0);
    const std::string_view mark = content.substr(0, start - index.line_start(span.begin.line));
    content.remove_prefix(mark.size());
    // The range's bytes in the line: cut at its end, at least one caret;
    // the carriage return a line may end in is a column past it.
    const std::size_t from = error.range->begin > start ? error.range->begin - start : 0;
    const std::size_t begin = std::min(from, content.size());
    const std::size_t end =
        std::max(begin, std::min<std::size_t>(error.range->end > start ? error.range->end - start : 0, content.size()));
    const std::size_t past = from - begin;
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
