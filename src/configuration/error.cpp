#include "configuration/error.hpp"

#include <algorithm>

#include "text/utf8.hpp"

namespace vora {

std::string_view line_of(std::string_view text, std::size_t line) {
    std::size_t start = 0;
    for (std::size_t n = 1; n < line; ++n) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) return {};
        start = nl + 1;
    }
    std::size_t end = text.find('\n', start);
    std::string_view content = text.substr(start, end == std::string_view::npos ? text.size() - start : end - start);
    if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
    return content;
}

void append_snippet(std::string& out, std::string_view content, const Span& span) {
    const std::size_t line = span.begin.line;
    const std::size_t column = span.begin.column;
    const std::string line_number = std::to_string(line);
    const std::string gutter(line_number.size() + 1, ' ');
    const std::size_t line_length = utf8::count_code_points(content);

    // The span's length in characters, cut at the end of the line, at least one.
    std::size_t length;
    if (span.end.line == line && span.end.column >= column) {
        length = span.end.column - column;
    } else {
        length = line_length + 1 > column ? line_length + 1 - column : 0;
    }
    const std::size_t room = line_length + 1 > column ? line_length + 1 - column : 0;
    length = std::max<std::size_t>(std::min(length, room), 1);

    out += gutter;
    out += "|\n";
    out += line_number;
    out += " | ";
    out += content;
    out += '\n';
    out += gutter;
    out += '|';
    out.append(column, ' ');
    out.append(length, '^');
    out += '\n';
}

std::string LoadError::render() const {
    std::string out;
    if (!span) {
        out = message;
        out += '\n';
        if (!path.empty()) {
            out += "in `";
            for (std::size_t i = 0; i < path.size(); ++i) {
                if (i) out += '.';
                out += path[i];
            }
            out += "`\n";
        }
        return out;
    }

    out.reserve(message.size() + 128);
    out += "TOML parse error at line ";
    out += std::to_string(span->begin.line);
    out += ", column ";
    out += std::to_string(span->begin.column);
    out += '\n';
    append_snippet(out, line_of(text, span->begin.line), *span);
    out += message;
    out += '\n';
    return out;
}

}  // namespace vora
