#include "configuration/error.hpp"

#include <algorithm>
#include <limits>

#include "text/format.hpp"
#include "text/utf8.hpp"

namespace vora {

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

namespace {

// A value as type and value errors name what was found.
std::string found_text(toml::Value v) {
    switch (v.type()) {
        case toml::Type::String: return "string " + quoted_text(v.as_string());
        case toml::Type::Integer:
            return "integer `" + (v.is_wide() ? std::to_string(v.as_unsigned()) : std::to_string(v.as_signed())) + "`";
        case toml::Type::Float: return "floating point `" + format_display_double(v.as_float()) + "`";
        case toml::Type::Boolean: return v.as_boolean() ? "boolean `true`" : "boolean `false`";
        case toml::Type::Array: return "sequence";
        default: return "map";
    }
}

template <class Int>
std::string integer_range() {
    return "an integer from " + std::to_string(std::numeric_limits<Int>::min() + 0) + " to " +
           std::to_string(std::numeric_limits<Int>::max() + 0);
}

std::string backticked(std::string_view name) {
    std::string out(1, '`');
    out += name;
    out += '`';
    return out;
}

// The message of a mapping error; `found_at` is set to where it names what
// was found.
std::string message_of(LoadErrorKind kind, const Expected& expected, std::string_view found, std::size_t& found_at) {
    std::string_view head;
    std::string_view tail = ", expected ";
    switch (kind) {
        case LoadErrorKind::InvalidType: head = "invalid type: "; break;
        case LoadErrorKind::InvalidValue: head = "invalid value: "; break;
        case LoadErrorKind::MissingField:
            head = "missing field ";
            tail = {};
            break;
        case LoadErrorKind::UnknownVariant:
            head = "unknown variant `";
            tail = "`, expected ";
            break;
        case LoadErrorKind::Syntax: break;
    }
    std::string message(head);
    found_at = message.size();
    message += found;
    message += tail;
    message += expected.text();
    return message;
}

}  // namespace

std::string Expected::text() const {
    switch (kind) {
        case Kind::String: return "a string";
        case Kind::Boolean: return "a boolean";
        case Kind::Sequence: return "a sequence";
        case Kind::U8: return "u8";
        case Kind::I32: return "i32";
        case Kind::Usize: return "usize";
        case Kind::F32: return "f32";
        case Kind::Record: return "struct " + std::string(name);
        case Kind::TaggedEnum: return "internally tagged enum " + std::string(name);
        case Kind::VariantIdentifier: return "variant identifier";
        case Kind::Variant:
        case Kind::Field: return backticked(name);
        case Kind::Nothing: break;
    }
    return {};
}

std::optional<std::string> Expected::in_words() const {
    switch (kind) {
        case Kind::U8: return integer_range<std::uint8_t>();
        case Kind::I32: return integer_range<std::int32_t>();
        case Kind::Usize: return "a whole number ≥ 0";
        case Kind::F32: return "a number";
        case Kind::Record:
        case Kind::TaggedEnum: return "a table";
        case Kind::VariantIdentifier: return "the string " + quoted_text(name);
        default: return std::nullopt;
    }
}

LoadError LoadError::at(toml::Value value, LoadErrorKind kind, Expected expected, std::string_view found) {
    std::size_t found_at = 0;
    LoadError error{message_of(kind, expected, found, found_at), {}, {}};
    error.kind = kind;
    error.expected = expected;
    error.range = ByteRange{value.offset(), value.end_offset()};
    error.found_at = static_cast<std::uint32_t>(found_at);
    error.found_size = static_cast<std::uint32_t>(found.size());
    return error;
}

LoadError LoadError::at(toml::Value value, LoadErrorKind kind, Expected expected) {
    return at(value, kind, expected, found_text(value));
}

std::optional<Span> LoadError::span() const {
    if (!range) return std::nullopt;
    SourceIndex index(text);
    const LineColumn begin = index.at(range->begin);
    const LineColumn end = index.after(begin, range->begin, range->end);
    return Span{{begin.line, begin.column}, {end.line, end.column}};
}

std::string LoadError::render() const {
    std::string out;
    if (!range) {
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
    const Span span = *this->span();
    SourceIndex index(text);
    out += "TOML parse error at line ";
    out += std::to_string(span.begin.line);
    out += ", column ";
    out += std::to_string(span.begin.column);
    out += '\n';
    append_snippet(out, index.line(span.begin.line), span);
    out += message;
    out += '\n';
    return out;
}

}  // namespace vora
