#include "cli/report.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>

#include <nlohmann/json.hpp>

#include "text/display.hpp"
#include "text/utf8.hpp"

namespace vora::cli {

namespace {

using Json = nlohmann::ordered_json;
using lint::Finding;

std::string_view severity_name(lint::Severity severity) {
    return severity == lint::Severity::Error ? "error" : "warning";
}

std::string plural(std::size_t n, std::string_view word) {
    return std::to_string(n) + " " + std::string(word) + (n == 1 ? "" : "s");
}

std::string position_text(const toml::Position& position) {
    return std::to_string(position.line) + ':' + std::to_string(position.column);
}

std::string dump(const Json& json, int indent) {
    // Messages and keys are valid UTF-8: files are checked to be so before
    // they are read. Names are written by json_name.
    return json.dump(indent, ' ', false, Json::error_handler_t::replace);
}

// Writes into room made beforehand at the end of a string, which it cuts
// back to what was written when done.
class Cursor {
public:
    Cursor(std::string& out, std::size_t room) : out_(out) {
        const std::size_t size = out.size();
        out.resize(size + room);
        at_ = out.data() + size;
    }
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;
    ~Cursor() { out_.resize(static_cast<std::size_t>(at_ - out_.data())); }

    // Room a JSON string of `text` may take: six bytes a byte (a control
    // character as \u00XX), its quotes and eight to spare for word stores.
    static std::size_t room_for_json(std::string_view text) { return 6 * text.size() + 10; }

    void put(std::string_view text) {
        std::memcpy(at_, text.data(), text.size());
        at_ += text.size();
    }
    template <std::size_t N>
    void put(const char (&text)[N]) {
        std::memcpy(at_, text, N - 1);
        at_ += N - 1;
    }
    void put(char c) { *at_++ = c; }

    void number(std::uint32_t n) {
        static constexpr std::array<char, 200> pairs = [] {
            std::array<char, 200> p{};
            for (std::size_t i = 0; i < 100; ++i) {
                p[2 * i] = static_cast<char>('0' + i / 10);
                p[2 * i + 1] = static_cast<char>('0' + i % 10);
            }
            return p;
        }();
        if (n < 10) {
            *at_++ = static_cast<char>('0' + n);
            return;
        }
        if (n < 100) {
            std::memcpy(at_, &pairs[2 * n], 2);
            at_ += 2;
            return;
        }
        std::size_t digits = 3;
        for (std::uint32_t ten = 1000; digits < 10 && n >= ten; ten *= 10) ++digits;
        at_ += digits;
        char* digit = at_;
        while (n >= 100) {
            digit -= 2;
            std::memcpy(digit, &pairs[2 * (n % 100)], 2);
            n /= 100;
        }
        if (n >= 10) {
            std::memcpy(digit - 2, &pairs[2 * n], 2);
        } else {
            digit[-1] = static_cast<char>('0' + n);
        }
    }

    // The characters of a JSON string of `text`, without its quotes, as
    // dump() writes them: printable ASCII and well-formed UTF-8 as they are,
    // `"`, `\` and control characters escaped, a malformed sequence replaced
    // by U+FFFD (that last left to dump()).
    void json_text(std::string_view text) {
        // Whether one of the eight bytes of `w` is a control character, `"`,
        // `\` or not ASCII.
        const auto special = [](std::uint64_t w) {
            return word::below(w, 0x20) | word::equal(w, '"') | word::equal(w, '\\') | word::high(w);
        };
        char* const start = at_;
        bool ascii = true;
        std::size_t i = 0;
        while (i < text.size()) {
            std::uint64_t w;
            if (i + 8 <= text.size()) {
                std::memcpy(&w, text.data() + i, 8);
                std::memcpy(at_, &w, 8);
                if (special(w) == 0) {
                    i += 8;
                    at_ += 8;
                    continue;
                }
            } else if (text.size() >= 8 && at_ == start + i) {
                // The last eight bytes, written over the ones before them
                // as they were, when nothing so far was escaped.
                std::memcpy(&w, text.data() + text.size() - 8, 8);
                if (special(w) == 0) {
                    std::memcpy(start + text.size() - 8, &w, 8);
                    at_ = start + text.size();
                    break;
                }
            }
            const auto c = static_cast<unsigned char>(text[i++]);
            if (c >= 0x20 && c != '"' && c != '\\') {
                ascii = ascii && c < 0x80;
                *at_++ = static_cast<char>(c);
                continue;
            }
            *at_++ = '\\';
            switch (c) {
                case '"': *at_++ = '"'; break;
                case '\\': *at_++ = '\\'; break;
                case '\b': *at_++ = 'b'; break;
                case '\t': *at_++ = 't'; break;
                case '\n': *at_++ = 'n'; break;
                case '\f': *at_++ = 'f'; break;
                case '\r': *at_++ = 'r'; break;
                default: {
                    static constexpr char hex[] = "0123456789abcdef";
                    put("u00");
                    *at_++ = hex[c >> 4];
                    *at_++ = hex[c & 15];
                }
            }
        }
        if (ascii || utf8::valid(text)) return;
        // Malformed UTF-8 (a message naming a file may hold it): dump()
        // writes the whole text, each malformed sequence as three bytes.
        at_ = start;
        const std::string quoted = dump(Json(std::string(text)), -1);
        put(std::string_view(quoted).substr(1, quoted.size() - 2));
    }

    void json_string(std::string_view text) {
        put('"');
        json_text(text);
        put('"');
    }

private:
    std::string& out_;
    char* at_;
};

// A JSON string of a file name as the system gives it: each byte that is not
// part of well-formed UTF-8 is written as the lone surrogate U+DC00 + byte,
// so that a reader decoding with surrogateescape gets the very bytes back.
std::string json_name(std::string_view name) {
    std::string out = "\"";
    std::size_t run = 0;  // start of the well-formed bytes not yet written
    const auto flush = [&](std::size_t to) {
        const std::string_view part = name.substr(run, to - run);
        Cursor(out, Cursor::room_for_json(part)).json_text(part);
    };
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t at = i;
        const char32_t cp = utf8::next(name, i);
        if (cp == utf8::replacement && name.substr(at, 3) != "\xEF\xBF\xBD") {
            flush(at);
            static constexpr char hex[] = "0123456789abcdef";
            const auto byte = static_cast<unsigned char>(name[at]);
            out += "\\udc";
            out += hex[byte >> 4];
            out += hex[byte & 15];
            run = i;
        }
    }
    flush(name.size());
    out += '"';
    return out;
}

// A path as a URI reference: every byte but the unreserved ones and `/`
// percent-encoded.
std::string uri_of(std::string_view path) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
    }
    return out;
}

// The escaping of workflow commands: the message escapes %, CR and LF; a
// property value also `:` and `,`.
std::string escape_annotation(std::string_view text, bool property) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '%': out += "%25"; break;
            case '\r': out += "%0D"; break;
            case '\n': out += "%0A"; break;
            case ':': out += property ? "%3A" : ":"; break;
            case ',': out += property ? "%2C" : ","; break;
            default: out += c;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// The text format.
// ---------------------------------------------------------------------------

// The lines of a checked text, found when first asked for. Positions do not
// count a byte-order mark, and the lines shown leave it out.
class Source {
public:
    explicit Source(std::string_view text) : text_(text.starts_with("\xEF\xBB\xBF") ? text.substr(3) : text) {}

    // Line `number` (1-based) without its line feed and a carriage return
    // before it; empty past the last line.
    std::string_view line(std::uint32_t number) {
        if (starts_.empty()) {
            starts_.push_back(0);
            for (std::size_t i = text_.find('\n'); i != std::string_view::npos; i = text_.find('\n', i + 1)) {
                starts_.push_back(static_cast<std::uint32_t>(i + 1));
            }
        }
        if (number == 0 || number > starts_.size()) return {};
        const std::size_t start = starts_[number - 1];
        const std::size_t end = number < starts_.size() ? starts_[number] - 1 : text_.size();
        std::string_view content = text_.substr(start, end - start);
        if (content.ends_with('\r')) content.remove_suffix(1);
        return content;
    }

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
    std::string_view text_;
    std::vector<std::uint32_t> starts_;
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
        lint::Locator locator(file.text);
        for (const Finding& finding : file.findings) {
            std::string& o = out.buffer();
            const Style style = styled(finding.severity == lint::Severity::Error ? "\x1b[1;31m" : "\x1b[1;33m");
            std::string label(severity_name(finding.severity));
            label += '[';
            label += finding.code.text();
            label += ']';
            const std::optional<toml::Span> span = finding.span(locator);
            message_.clear();
            finding.append_message(message_, file.text);
            headline(o, file.name, span, label, style, message_);
            std::size_t gutter = 2;
            if (span) gutter = snippet(o, source, *span, style);
            const Style note = styled("\x1b[1;36m");
            for (const lint::Related& related : finding.related()) {
                headline(o, file.name, related.span, "note", note, related.message);
                snippet(o, source, related.span, note);
            }
            if (const std::optional<std::string_view> help = finding.help()) {
                o.append(gutter, ' ');
                o += "= ";
                o += note.on;
                o += "help";
                o += note.off;
                o += ": expected ";
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
            o += position_text(span->begin);
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
        const std::string number = std::to_string(span.begin.line);
        const std::size_t gutter = number.size() + 1;
        o.append(gutter, ' ');
        o += "|\n";
        o += number;
        o += " | ";
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

// ---------------------------------------------------------------------------
// JSON.
// ---------------------------------------------------------------------------

// The four fields of a span, each line opening with `indent`; written out
// field by field, as a loop over them costs the linter's JSON 2 % more.
template <std::size_t N>
void put_span(Cursor& o, const char (&indent)[N], const std::optional<toml::Span>& span) {
    if (!span) {
        o.put(indent);
        o.put("\"line\": null,");
        o.put(indent);
        o.put("\"column\": null,");
        o.put(indent);
        o.put("\"end_line\": null,");
        o.put(indent);
        o.put("\"end_column\": null");
        return;
    }
    o.put(indent);
    o.put("\"line\": ");
    o.number(span->begin.line);
    o.put(',');
    o.put(indent);
    o.put("\"column\": ");
    o.number(span->begin.column);
    o.put(',');
    o.put(indent);
    o.put("\"end_line\": ");
    o.number(span->end.line);
    o.put(',');
    o.put(indent);
    o.put("\"end_column\": ");
    o.number(span->end.column);
}

void put_optional(Cursor& o, const std::optional<std::string_view>& text) {
    if (text) {
        o.json_string(*text);
    } else {
        o.put("null");
    }
}

// The most a finding's object may take, its file's name and message aside.
std::size_t json_room(const Finding& finding) {
    constexpr std::size_t fields = 400;  // names, punctuation, numbers, nulls
    std::size_t room = fields + Cursor::room_for_json(finding.code.text());
    if (const auto suggestion = finding.suggestion()) room += Cursor::room_for_json(*suggestion);
    if (const auto help = finding.help()) room += Cursor::room_for_json(*help);
    for (const lint::Related& related : finding.related()) room += fields + Cursor::room_for_json(related.message);
    return room;
}

// Each finding an object, its fields one to a line, as dump(2) lays out the
// array of them.
class JsonRenderer final : public Renderer {
public:
    void begin(Output& out) override { out.buffer() += '['; }

    void file(const FileReport& file, Output& out) override {
        // Each object opens with the file.
        const std::string head = "\n  {\n    \"file\": " + json_name(file.name) + ',';
        code_ = {};
        lint::Locator locator(file.text);
        for (const Finding& finding : file.findings) {
            message_.clear();
            finding.append_message(message_, file.text);
            write(finding, finding.span(locator), head, out.buffer());
            any_ = true;
            out.spill();
        }
    }

    void end(const Totals&, Output& out) override { out.buffer() += any_ ? "\n]\n" : "]\n"; }

private:
    void write(const Finding& finding, const std::optional<toml::Span>& span, std::string_view head,
               std::string& buffer) {
        Cursor o(buffer, head.size() + json_room(finding) + Cursor::room_for_json(message_));
        if (any_) o.put(',');
        o.put(head);
        put_span(o, "\n    ", span);
        if (finding.severity == lint::Severity::Error) {
            o.put(",\n    \"severity\": \"error\",\n    \"code\": ");
        } else {
            o.put(",\n    \"severity\": \"warning\",\n    \"code\": ");
        }
        // The codes are a few constants: each written once as JSON.
        if (finding.code.text().data() != code_.data() || finding.code.text().size() != code_.size()) {
            code_ = finding.code.text();
            code_json_.clear();
            Cursor(code_json_, Cursor::room_for_json(code_)).json_string(code_);
        }
        o.put(code_json_);
        o.put(",\n    \"message\": ");
        o.json_string(message_);
        o.put(",\n    \"suggestion\": ");
        put_optional(o, finding.suggestion());
        o.put(",\n    \"related\": [");
        const std::span<const lint::Related> related = finding.related();
        for (std::size_t i = 0; i < related.size(); ++i) {
            if (i > 0) o.put(',');
            o.put("\n      {\n        \"message\": ");
            o.json_string(related[i].message);
            o.put(',');
            put_span(o, "\n        ", related[i].span);
            o.put("\n      }");
        }
        if (!related.empty()) o.put("\n    ");
        o.put("],\n    \"help\": ");
        put_optional(o, finding.help());
        o.put("\n  }");
    }

    bool any_ = false;
    // The last finding's code, of the file's findings, which all live
    // while they are written: the same bytes where the same view.
    std::string_view code_;
    std::string code_json_;  // and it as a JSON string
    std::string message_;    // the finding's, reused
};

// ---------------------------------------------------------------------------
// GitHub workflow annotations.
// ---------------------------------------------------------------------------

class GithubRenderer final : public Renderer {
public:
    void file(const FileReport& file, Output& out) override {
        const std::string name = escape_annotation(file.name, true);
        lint::Locator locator(file.text);
        for (const Finding& finding : file.findings) {
            std::string& o = out.buffer();
            o += "::";
            o += severity_name(finding.severity);
            o += " file=" + name;
            if (const std::optional<toml::Span> place = finding.span(locator)) {
                const toml::Span& span = *place;
                o += ",line=" + std::to_string(span.begin.line) + ",col=" + std::to_string(span.begin.column) +
                     ",endLine=" + std::to_string(span.end.line) + ",endColumn=" + std::to_string(span.end.column);
            }
            o += ",title=" + escape_annotation("vora-config " + std::string(finding.code.text()), true);
            std::string message = finding.message(file.text);
            for (const lint::Related& related : finding.related()) {
                message += " (" + related.message + " at " + position_text(related.span.begin) + ")";
            }
            // The help on a line of its own under the message.
            if (const std::optional<std::string_view> help = finding.help()) {
                message += "\nhelp: expected ";
                message += *help;
            }
            o += "::" + escape_annotation(message, false) + "\n";
            out.spill();
        }
    }

    void end(const Totals&, Output&) override {}
};

// ---------------------------------------------------------------------------
// SARIF 2.1.0.
// ---------------------------------------------------------------------------

struct Rule {
    std::string_view id;
    std::string_view description;
};

constexpr std::array<Rule, 9> kRules{{
    {lint::kReadError, "The file cannot be read, or is not UTF-8 text"},
    {lint::kWriteError, "The fixed file cannot be written"},
    {lint::kParseError, "The file is not a TOML 1.1.0 document"},
    {lint::kLoadError, "A value does not map onto the configuration, so the file does not load"},
    {lint::kUnknownSection, "A section the configuration does not have"},
    {lint::kUnknownKey, "A key the configuration does not have"},
    {lint::kOutOfRange, "A number below the minimum or above the maximum its key documents"},
    {lint::kTooShort, "A text or list shorter than its key allows"},
    {lint::kUnknownChoice, "A text outside the choices its key documents"},
}};

constexpr std::string_view kResults = "\"results\": []";

// A physicalLocation's value, as dump(2) lays it out at the depth of
// `indent` (the spaces that open its closing brace's line).
void put_physical(Cursor& o, std::string_view indent, std::string_view uri_json,
                  const std::optional<toml::Span>& span) {
    const auto line = [&](std::string_view more) {
        o.put('\n');
        o.put(indent);
        o.put(more);
    };
    o.put('{');
    line("  \"artifactLocation\": {");
    line("    \"uri\": ");
    o.put(uri_json);
    line("  }");
    if (span) {
        o.put(',');
        line("  \"region\": {");
        line("    \"startLine\": ");
        o.number(span->begin.line);
        o.put(',');
        line("    \"startColumn\": ");
        o.number(span->begin.column);
        o.put(',');
        line("    \"endLine\": ");
        o.number(span->end.line);
        o.put(',');
        line("    \"endColumn\": ");
        o.number(span->end.column);
        line("  }");
    }
    line("}");
}

// Text as Markdown shows it: code spans (between backticks) as they are,
// elsewhere each character that Markdown reads as markup escaped.
std::string markdown_text(std::string_view text) {
    std::string out;
    bool code = false;
    for (const char c : text) {
        if (c == '`') {
            code = !code;
        } else if (!code && std::string_view("\\*_[]<>#|~!&").find(c) != std::string_view::npos) {
            out += '\\';
        }
        out += c;
    }
    return out;
}

class SarifRenderer final : public Renderer {
public:
    explicit SarifRenderer(std::string_view version) {
        Json log;
        log["version"] = "2.1.0";
        log["$schema"] = "https://docs.oasis-open.org/sarif/sarif/v2.1.0/errata01/os/schemas/sarif-schema-2.1.0.json";
        Json run;
        Json& driver = run["tool"]["driver"];
        driver["name"] = "vora-config";
        driver["version"] = version;
        driver["rules"] = Json::array();
        for (const Rule& rule : kRules) {
            Json entry;
            entry["id"] = rule.id;
            entry["shortDescription"]["text"] = rule.description;
            driver["rules"].push_back(std::move(entry));
        }
        run["columnKind"] = "unicodeCodePoints";
        run["results"] = Json::array();
        log["runs"].push_back(std::move(run));
        // The log is written around its results, which come file by file.
        const std::string text = dump(log, 2);
        const std::size_t at = text.find(kResults);
        head_ = text.substr(0, at + kResults.size() - 1);
        tail_ = text.substr(at + kResults.size() - 1);
    }

    void begin(Output& out) override { out.buffer() += head_; }

    // Each result written as dump(2) lays it out, indented to its place in
    // the log.
    void file(const FileReport& file, Output& out) override {
        const std::string path = uri_of(file.name);
        std::string uri;  // as a JSON string
        Cursor(uri, Cursor::room_for_json(path)).json_string(path);
        lint::Locator locator(file.text);
        for (const Finding& finding : file.findings) {
            message_.clear();
            finding.append_message(message_, file.text);
            const std::optional<std::string_view> help = finding.help();
            markdown_.clear();
            if (help) markdown_ = markdown_text(message_) + "\n\nhelp: expected " + markdown_text(*help);
            const std::span<const lint::Related> related = finding.related();
            std::size_t room = 1000 + 2 * uri.size() + Cursor::room_for_json(message_) + Cursor::room_for_json(markdown_);
            for (const lint::Related& place : related) room += 600 + uri.size() + Cursor::room_for_json(place.message);
            write(finding, locator, uri, related, Cursor(out.buffer(), room));
            any_ = true;
            out.spill();
        }
    }

    void end(const Totals&, Output& out) override {
        if (any_) out.buffer() += "\n      ";
        out.buffer() += tail_;
        out.buffer() += '\n';
    }

private:
    void write(const Finding& finding, lint::Locator& locator, std::string_view uri,
               std::span<const lint::Related> related, Cursor&& o) {
        const bool help = !markdown_.empty();
        o.put(any_ ? ",\n        {" : "\n        {");
        o.put("\n          \"ruleId\": ");
        const std::string_view code = finding.code.text();
        o.json_string(code);
        const auto rule = std::find_if(kRules.begin(), kRules.end(), [&](const Rule& r) { return r.id == code; });
        if (rule != kRules.end()) {
            o.put(",\n          \"ruleIndex\": ");
            o.number(static_cast<std::uint32_t>(rule - kRules.begin()));
        }
        o.put(",\n          \"level\": \"");
        o.put(severity_name(finding.severity));
        o.put("\",\n          \"message\": {\n            \"text\": ");
        o.json_string(message_);
        if (help) {
            o.put(",\n            \"markdown\": ");
            o.json_string(markdown_);
        }
        o.put("\n          },\n          \"locations\": [\n            {\n              \"physicalLocation\": ");
        put_physical(o, "              ", uri, finding.span(locator));
        o.put("\n            }\n          ]");
        if (!related.empty()) {
            o.put(",\n          \"relatedLocations\": [");
            for (std::size_t i = 0; i < related.size(); ++i) {
                o.put(i > 0 ? ",\n            {" : "\n            {");
                o.put("\n              \"id\": ");
                o.number(static_cast<std::uint32_t>(i));
                o.put(",\n              \"physicalLocation\": ");
                put_physical(o, "              ", uri, related[i].span);
                o.put(",\n              \"message\": {\n                \"text\": ");
                o.json_string(related[i].message);
                o.put("\n              }\n            }");
            }
            o.put("\n          ]");
        }
        o.put("\n        }");
    }

    std::string head_, tail_;
    bool any_ = false;
    std::string message_, markdown_;  // the finding's, reused
};

}  // namespace

std::string summary_line(const Totals& totals) {
    return plural(totals.files, "file") + " checked: " + plural(totals.errors, "error") + ", " +
           plural(totals.warnings, "warning") + "\n";
}

std::string shown_error(const LoadError& error) {
    std::string out;
    if (!error.span) {
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
    const Span& span = *error.span;
    out += "TOML parse error at line " + std::to_string(span.begin.line) + ", column " +
           std::to_string(span.begin.column) + '\n';
    // Columns do not count a byte-order mark; the line keeps it, as render() does.
    std::string_view content = line_of(error.text, span.begin.line);
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
    const std::string number = std::to_string(span.begin.line);
    const std::size_t gutter = number.size() + 1;
    out.append(gutter, ' ');
    out += "|\n";
    out += number;
    out += " | ";
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

std::unique_ptr<Renderer> make_renderer(Format format, const RenderOptions& options) {
    switch (format) {
        case Format::Text: return std::make_unique<TextRenderer>(options.color);
        case Format::Json: return std::make_unique<JsonRenderer>();
        case Format::Github: return std::make_unique<GithubRenderer>();
        case Format::Sarif: return std::make_unique<SarifRenderer>(options.version);
    }
    return nullptr;
}

std::string render(Format format, const std::vector<FileReport>& files, const RenderOptions& options) {
    std::string all;
    Output out([&](std::string_view bytes) { all += bytes; });
    const auto renderer = make_renderer(format, options);
    Totals totals;
    renderer->begin(out);
    for (const FileReport& file : files) {
        renderer->file(file, out);
        totals.add(file.findings);
    }
    renderer->end(totals, out);
    out.flush();
    return all;
}

}  // namespace vora::cli
