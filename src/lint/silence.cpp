// Suppression comments, and what a parse error's finding adds to the
// reader's error: its other place, and help for a text written unquoted.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "lint/lint.hpp"
#include "lint/phrases.hpp"
#include "lint/suggest.hpp"

namespace vora::lint {

namespace {

constexpr std::string_view kMarker = "vora-config:";
constexpr std::string_view kIgnore = "ignore";

bool blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && (blank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// Where `c` stands in text[from, to), or `to`.
std::size_t find_byte(std::string_view text, std::size_t from, std::size_t to, char c) {
    const void* at = std::memchr(text.data() + from, c, to - from);
    return at ? static_cast<std::size_t>(static_cast<const char*>(at) - text.data()) : to;
}

// The codes a suppression comment names, each with its offset in the text.
struct Listed {
    std::string_view code;
    std::size_t offset;
};

// A suppression comment that ends the line [begin, end): "# vora-config:
// ignore" (every code: `all` set) or "# vora-config: ignore[CODE, ...]".
struct Suppression {
    bool found = false;
    bool all = false;
    std::vector<Listed> codes;

    bool silences(Code code) const {
        return all || std::any_of(codes.begin(), codes.end(), [&](const Listed& l) { return l.code == code.text(); });
    }
};

// Reads into `s` (found nothing yet) the suppression comment that ends
// text[begin, end), the rest of a line from where a finding starts (a
// comment stands after it). A `#` inside a string is passed over: what
// follows it up to the line's end is then no suppression (the string's
// closing quote stands in its way).
void suppression_of(std::string_view text, std::size_t begin, std::size_t end, Suppression& s) {
    const std::string_view line = text.substr(begin, end - begin);
    for (std::size_t hash = find_byte(text, begin, end, '#') - begin; hash < line.size();
         hash = find_byte(text, begin + hash + 1, end, '#') - begin) {
        std::string_view rest = trim(line.substr(hash + 1));
        if (!rest.starts_with(kMarker)) continue;
        rest = trim(rest.substr(kMarker.size()));
        if (!rest.starts_with(kIgnore)) continue;
        rest = trim(rest.substr(kIgnore.size()));
        if (rest.empty()) {
            s.found = s.all = true;
            return;
        }
        if (rest.front() != '[' || rest.back() != ']') continue;
        // The codes, each trimmed, at their offsets in the text.
        const std::size_t list = begin + static_cast<std::size_t>(rest.data() - line.data()) + 1;
        std::string_view items = rest.substr(1, rest.size() - 2);
        std::size_t at = list;
        while (true) {
            const std::size_t comma = items.find(',');
            const std::string_view raw = items.substr(0, comma);
            std::size_t lead = 0;
            while (lead < raw.size() && blank(raw[lead])) ++lead;
            const std::string_view code = trim(raw);
            if (!code.empty()) s.codes.push_back(Listed{code, at + lead});
            if (comma == std::string_view::npos) break;
            items.remove_prefix(comma + 1);
            at += comma + 1;
        }
        s.found = true;
        return;
    }
}

}  // namespace

std::size_t silence(std::string_view text, Findings& findings) {
    std::size_t count = 0;
    std::vector<Finding> unknown;
    // The findings are in file order: the line of each is read once, from
    // where its first finding starts, and only when a `#` stands on it (the
    // next `#` of the text is looked for once, ahead of the findings).
    std::size_t line_end = 0;
    bool read = false;
    std::size_t next_hash = std::string_view::npos;  // not looked for yet
    Suppression suppression;
    findings.visit_places([&](std::optional<std::size_t> begin, Code code, bool& silenced) {
        if (!begin || code == kParseError || code == kReadError || code == kWriteError) return true;
        if (next_hash == std::string_view::npos || next_hash < *begin)
            next_hash = find_byte(text, *begin, text.size(), '#');
        if (next_hash == text.size()) return false;  // no comment from here on
        if (!read || *begin > line_end) {
            read = true;
            line_end = find_byte(text, *begin, text.size(), '\n');
            suppression.found = suppression.all = false;
            suppression.codes.clear();
            if (next_hash < line_end) suppression_of(text, *begin, line_end, suppression);
            for (const Listed& listed : suppression.codes) {
                if (code_named(listed.code)) continue;
                const std::size_t end = listed.offset + listed.code.size();
                Finding& warning = unknown.emplace_back(Severity::Warning, kUnknownCode, listed.offset, end);
                // Appended, not "`" + std::string(...): GCC 12 warns falsely
                // (-Wrestrict) about the inlined operator+.
                std::string message = "`";
                message.append(listed.code);
                message += "` is not a code of vora-config check; it silences nothing";
                if (const std::optional<std::size_t> near = nearest(listed.code, kCodeNames)) {
                    message += "; did you mean `" + std::string(kCodeNames[*near]) + "`?";
                    warning.suggestion = std::string(kCodeNames[*near]);
                }
                warning.message = std::move(message);
            }
        }
        if (suppression.found && suppression.silences(code)) {
            silenced = true;
            ++count;
        }
        return true;
    });
    if (!unknown.empty()) findings.merge(std::move(unknown));
    return count;
}

std::optional<std::string> unquoted_text_help(std::string_view text, std::size_t at) {
    // A value starts at `at`: after `=` and blanks on the same line.
    std::size_t before = at;
    while (before > 0 && blank(text[before - 1])) --before;
    if (before == 0 || text[before - 1] != '=' || at >= text.size()) return std::nullopt;
    const auto c = static_cast<unsigned char>(text[at]);
    if (!(std::isalpha(c) || c == '_' || c >= 0x80)) return std::nullopt;
    std::size_t end = at;
    while (end < text.size() && text[end] != '\n' && text[end] != '#') ++end;
    const std::string_view word = trim(text.substr(at, end - at));
    if (word.empty() || word == "true" || word == "false") return std::nullopt;
    std::string quoted = "text values are quoted: \"";
    for (const char ch : word) {
        if (ch == '"' || ch == '\\') quoted += '\\';
        quoted += ch;
    }
    quoted += '"';
    return quoted;
}

}  // namespace vora::lint
