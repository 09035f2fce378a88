#include "cli/diff.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace vora::cli {

namespace {

// The lines of a text, each with its line feed (the last may have none).
std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t feed = text.find('\n');
        const std::size_t length = feed == std::string_view::npos ? text.size() : feed + 1;
        lines.push_back(text.substr(0, length));
        text.remove_prefix(length);
    }
    return lines;
}

void diff_line(std::string& out, char mark, std::string_view line) {
    out += mark;
    out += line;
    if (!line.ends_with('\n')) out += "\n\\ No newline at end of file\n";
}

std::string range(std::size_t first, std::size_t count) {
    // One line is named alone; a hunk of no lines names the line before it.
    if (count == 1) return std::to_string(first + 1);
    return std::to_string(count == 0 ? first : first + 1) + "," + std::to_string(count);
}
// A file name in a diff header, as diff tools write it: quoted with C
// escapes when it holds a control character or begins with a quote, else as
// it is, with a tab after it when it holds a space (the tab ends the name).
std::string header_name(std::string_view name) {
    const bool control =
        std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
    if (!control && !name.starts_with('"')) {
        return std::string(name) + (name.find(' ') != std::string_view::npos ? "\t" : "");
    }
    std::string out = "\"";
    for (const char c : name) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    const auto byte = static_cast<unsigned char>(c);
                    out += '\\';
                    out += static_cast<char>('0' + (byte >> 6));
                    out += static_cast<char>('0' + ((byte >> 3) & 7));
                    out += static_cast<char>('0' + (byte & 7));
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

}  // namespace

std::string unified_diff(std::string_view name, std::string_view before, std::string_view after) {
    if (before == after) return {};
    const std::vector<std::string_view> old_lines = lines_of(before);
    const std::vector<std::string_view> new_lines = lines_of(after);
    const std::string shown = header_name(name);
    std::string out = "--- " + shown + "\n+++ " + shown + "\n";
    if (old_lines.size() != new_lines.size()) {
        // Not what edits of keys make: the whole text as one hunk.
        out += "@@ -" + range(0, old_lines.size()) + " +" + range(0, new_lines.size()) + " @@\n";
        for (const std::string_view line : old_lines) diff_line(out, '-', line);
        for (const std::string_view line : new_lines) diff_line(out, '+', line);
        return out;
    }
    constexpr std::size_t context = 3;
    const std::size_t n = old_lines.size();
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < n; ++i) {
        if (old_lines[i] != new_lines[i]) changed.push_back(i);
    }
    for (std::size_t c = 0; c < changed.size();) {
        // A hunk: changed lines no more than twice the context apart.
        std::size_t last = c;
        while (last + 1 < changed.size() && changed[last + 1] - changed[last] <= 2 * context + 1) ++last;
        const std::size_t first_line = changed[c] >= context ? changed[c] - context : 0;
        const std::size_t end_line = std::min(n, changed[last] + context + 1);
        const std::size_t count = end_line - first_line;
        out += "@@ -" + range(first_line, count) + " +" + range(first_line, count) + " @@\n";
        std::size_t line = first_line;
        for (std::size_t k = c; k <= last;) {
            // A run of changed lines: the old ones, then the new ones.
            std::size_t run = k;
            while (run + 1 <= last && changed[run + 1] == changed[run] + 1) ++run;
            for (; line < changed[k]; ++line) diff_line(out, ' ', old_lines[line]);
            for (std::size_t r = k; r <= run; ++r) diff_line(out, '-', old_lines[changed[r]]);
            for (std::size_t r = k; r <= run; ++r) diff_line(out, '+', new_lines[changed[r]]);
            line = changed[run] + 1;
            k = run + 1;
        }
        for (; line < end_line; ++line) diff_line(out, ' ', old_lines[line]);
        c = last + 1;
    }
    return out;
}

}  // namespace vora::cli
