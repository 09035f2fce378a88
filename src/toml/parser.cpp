// The TOML 1.1.0 reader: one forward pass over the text, no recursion.
//
// Values are parsed with an explicit stack of open arrays and inline tables.
// Spans are kept as byte offsets while reading; positions are worked out
// when asked (positions.cpp). This file reads lines, keys, strings, tables,
// arrays and inline tables; numbers.cpp numbers and date-times, and
// document.cpp keeps the arena.

#include <string>

#include "toml/parser.hpp"

namespace vora::toml {

using namespace scan;

// ---------------------------------------------------------------------------
// Keys
// ---------------------------------------------------------------------------

namespace {

// A character that cannot follow a key but belongs to no other construct
// either: part of a mistyped bare key.
bool mistyped_in_key(unsigned char b) {
    return b >= 0x80 || b == '+' || b == '@' || b == '$' || b == '%' || b == '&' || b == '*' || b == '!' || b == '?' ||
           b == '/' || b == '~' || b == '^' || b == '|';
}

}  // namespace

inline void Parser::read_bare_key(std::string_view context, Segment& k) {
    const std::size_t begin = pos_;
    pos_ = bare_key_end(s_.data(), begin, n_);
    if (pos_ == begin) {
        const auto b = static_cast<unsigned char>(peek(pos_));
        if (b >= 0x80 || b == '+')
            fail(pos_, "a bare key may only hold ASCII letters, digits, `-` and `_`, found " + found(pos_) +
                           "; put keys with other characters in quotes");
        expected(pos_, context);
    }
    k.name = static_cast<std::uint32_t>(begin);
    k.name_len = static_cast<std::uint32_t>(pos_ - begin);
    if (pos_ < n_ && mistyped_in_key(static_cast<unsigned char>(s_[pos_])))
        fail(pos_, "a bare key may only hold ASCII letters, digits, `-` and `_`, found " + found(pos_) +
                       "; put keys with other characters in quotes");
}

void Parser::read_simple_key(std::string_view context) {
    Segment k{};
    k.begin = pos_;
    const char c = peek(pos_);
    if (c == '"') {
        if (s_.substr(pos_, 3) == "\"\"\"") fail(pos_, "a key may not be a multi-line string", pos_ + 3);
        parse_basic_string(true, &k);
    } else if (c == '\'') {
        if (s_.substr(pos_, 3) == "'''") fail(pos_, "a key may not be a multi-line string", pos_ + 3);
        parse_literal_string(true, &k);
    } else {
        read_bare_key(context, k);
    }
    k.end = pos_;
    keys_.push_back(k);
}

void Parser::read_key(std::string_view context) {
    keys_.clear();
    for (;;) {
        read_simple_key(keys_.empty() ? context : "a key after `.`");
        skip_ws();
        if (peek(pos_) != '.') return;
        ++pos_;
        skip_ws();
    }
}

std::string Parser::key_path(std::size_t count, bool within_header) const {
    std::string out;
    const std::size_t prefix = within_header ? header_keys_.size() : 0;
    for (std::size_t i = 0; i < prefix + count; ++i) {
        if (i) out += '.';
        const std::string_view k = name(i < prefix ? header_keys_[i] : keys_[i - prefix]);
        bool bare = !k.empty();
        for (unsigned char c : k) bare = bare && is_bare_key_char(c);
        if (bare) {
            out += k;
        } else {
            out += '"';
            for (char c : k) {
                if (c == '"' || c == '\\') out += '\\';
                out += c;
            }
            out += '"';
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Strings
// ---------------------------------------------------------------------------

std::pair<std::uint32_t, std::uint32_t> Parser::keep(std::size_t content, std::size_t content_end, bool copied) {
    if (!copied) return {static_cast<std::uint32_t>(content), static_cast<std::uint32_t>(content_end - content)};
    const auto offset = static_cast<std::uint32_t>(doc_.buffer_.size());
    const auto length = static_cast<std::uint32_t>(scratch_.size()) | detail::in_buffer;
    doc_.buffer_ += scratch_;
    return {offset, length};
}

NodeId Parser::string_node(std::size_t begin, std::size_t end, std::uint32_t offset, std::uint32_t length) {
    const NodeId id = new_node(Type::String, span(begin, end));
    node(id).v.r = {offset, length};
    return id;
}

// Reads one escape sequence at s_[pos_] == '\\' into scratch_.
void Parser::escape() {
    const std::size_t esc = pos_;
    const char e = peek(pos_ + 1);
    std::size_t digits = 0;
    switch (e) {
        case 'b': scratch_ += '\b'; break;
        case 't': scratch_ += '\t'; break;
        case 'n': scratch_ += '\n'; break;
        case 'f': scratch_ += '\f'; break;
        case 'r': scratch_ += '\r'; break;
        case 'e': scratch_ += '\x1B'; break;
        case '"': scratch_ += '"'; break;
        case '\\': scratch_ += '\\'; break;
        case 'x': digits = 2; break;
        case 'u': digits = 4; break;
        case 'U': digits = 8; break;
        default:
            if (pos_ + 1 >= n_) fail(esc, "unterminated string: expected an escape after `\\`");
            fail(esc,
                 "invalid escape sequence `\\" + std::string(s_.substr(pos_ + 1, char_length(pos_ + 1))) +
                     "`; the escapes are \\b \\t \\n \\f \\r \\e \\\" \\\\ \\xHH \\uHHHH \\UHHHHHHHH",
                 pos_ + 1 + char_length(pos_ + 1));
    }
    if (digits == 0) {
        pos_ += 2;
        return;
    }
    char32_t cp = 0;
    for (std::size_t d = 0; d < digits; ++d) {
        const char h = peek(pos_ + 2 + d);
        if (!is_hex(h) || pos_ + 2 + d >= n_)
            fail(pos_ + 2 + d, "invalid escape sequence: `\\" + std::string(1, e) + "` needs " +
                                   std::to_string(digits) + " hexadecimal digits, found " + found(pos_ + 2 + d));
        cp = (cp << 4) | hex_value(h);
    }
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        fail(esc,
             "invalid escape sequence: " + std::string(s_.substr(esc, 2 + digits)) + " is not a Unicode scalar value",
             esc + 2 + digits);
    utf8::append(scratch_, cp);
    pos_ += 2 + digits;
}

NodeId Parser::parse_basic_string(bool as_key, Segment* key) {
    const std::size_t begin = pos_;
    ++pos_;
    const std::size_t content = pos_;
    bool escaped = false;
    const auto* p = reinterpret_cast<const unsigned char*>(s_.data());
    for (;;) {
        pos_ = plain_run_end<'"'>(p, pos_, n_);
        if (pos_ >= n_) fail(begin, "unterminated string: expected `\"` before the end of the file", n_);
        const std::uint8_t cls = classes.c[p[pos_]];
        if (cls == cls_quote) break;
        if (cls == cls_high) {
            const std::size_t len = utf8_length(s_, pos_);
            if (!len) bad_utf8(pos_);
            if (escaped) scratch_.append(s_.substr(pos_, len));
            pos_ += len;
        } else if (cls == cls_backslash) {
            if (!escaped) {
                escaped = true;
                scratch_.assign(s_.substr(content, pos_ - content));
            }
            escape();
        } else if (cls == cls_newline || (cls == cls_cr && peek(pos_ + 1) == '\n')) {
            fail(begin, "unterminated string: expected `\"` before the end of the line", pos_);
        } else {
            fail(pos_, "the control character " + hex4(p[pos_]) + " must be escaped in a string");
        }
        if (escaped) {
            // Copy the plain run that follows in one piece.
            const std::size_t from = pos_;
            pos_ = plain_run_end<'"'>(p, pos_, n_);
            scratch_.append(s_.substr(from, pos_ - from));
        }
    }
    const auto [offset, length] = keep(content, pos_, escaped);
    ++pos_;  // the closing quote
    if (as_key) {
        key->name = offset;
        key->name_len = length;
        return no_node;
    }
    return string_node(begin, pos_, offset, length);
}

NodeId Parser::parse_literal_string(bool as_key, Segment* key) {
    const std::size_t begin = pos_;
    ++pos_;
    const std::size_t content = pos_;
    const auto* p = reinterpret_cast<const unsigned char*>(s_.data());
    for (;;) {
        pos_ = plain_run_end<'\''>(p, pos_, n_);
        if (pos_ >= n_) fail(begin, "unterminated string: expected `'` before the end of the file", n_);
        const std::uint8_t cls = classes.c[p[pos_]];
        if (cls == cls_apostrophe) break;
        if (cls == cls_high) {
            const std::size_t len = utf8_length(s_, pos_);
            if (!len) bad_utf8(pos_);
            pos_ += len;
        } else if (cls == cls_newline || (cls == cls_cr && peek(pos_ + 1) == '\n')) {
            fail(begin, "unterminated string: expected `'` before the end of the line", pos_);
        } else {
            fail(pos_, "literal strings may not hold the control character " + hex4(p[pos_]));
        }
    }
    const auto offset = static_cast<std::uint32_t>(content);
    const auto length = static_cast<std::uint32_t>(pos_ - content);
    ++pos_;
    if (as_key) {
        key->name = offset;
        key->name_len = length;
        return no_node;
    }
    return string_node(begin, pos_, offset, length);
}

// At a run of the closing quote of a multi-line string: fewer than three
// belong to the string; three to five close it, all but the last three
// belonging to the string. Returns where the content ends, or npos (having
// stepped over the run) when the string goes on.
std::size_t Parser::closing_quotes(char quote, bool copied) {
    std::size_t run = 0;
    while (pos_ + run < n_ && s_[pos_ + run] == quote) ++run;
    if (run < 3) {
        if (copied) scratch_.append(run, quote);
        pos_ += run;
        return std::string::npos;
    }
    if (run > 5)
        fail(pos_ + 5,
             std::string("too many quotes: a multi-line string ends at the third of at most five `") + quote + "`");
    if (copied) scratch_.append(run - 3, quote);
    const std::size_t content_end = pos_ + run - 3;
    pos_ += run;
    return content_end;
}

// At a backslash of a multi-line basic string: a line-ending backslash (the
// backslash, spaces and tabs, a line break) is dropped with every space, tab
// and line break up to the next other character; returns false, having read
// nothing, when the backslash starts an escape instead.
bool Parser::skip_line_ending_backslash() {
    std::size_t j = ws_end(pos_ + 1);
    if (!(j < n_ && (s_[j] == '\n' || (s_[j] == '\r' && peek(j + 1) == '\n')))) return false;
    pos_ = j;
    for (;;) {
        if (pos_ < n_ && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n')) {
            ++pos_;
        } else if (pos_ + 1 < n_ && s_[pos_] == '\r' && s_[pos_ + 1] == '\n') {
            pos_ += 2;
        } else {
            return true;
        }
    }
}

// A multi-line string: `"""` with escapes and line-ending backslashes, or
// `'''` taken as written.
NodeId Parser::parse_multiline(char quote) {
    const bool basic = quote == '"';
    const std::uint8_t closing = basic ? cls_quote : cls_apostrophe;
    // The classes taken as they stand: in a basic string also `'`, in a
    // literal one also `"` and `\`.
    const unsigned ordinary = (1u << plain) | (1u << cls_newline) |
                              (basic ? (1u << cls_apostrophe) : (1u << cls_quote) | (1u << cls_backslash));
    const std::size_t begin = pos_;
    pos_ += 3;
    newline();  // a line break right after the opening quotes is no part of the string
    const std::size_t content = pos_;
    bool copied = false;
    const auto start_copy = [&] {
        if (!copied) {
            copied = true;
            scratch_.assign(s_.substr(content, pos_ - content));
        }
    };
    const auto* p = reinterpret_cast<const unsigned char*>(s_.data());
    for (;;) {
        const std::size_t from = pos_;
        while (pos_ < n_ && ((ordinary >> classes.c[p[pos_]]) & 1u)) ++pos_;
        if (copied) scratch_.append(s_.substr(from, pos_ - from));
        if (pos_ >= n_)
            fail(begin, "unterminated string: expected `" + std::string(3, quote) + "` before the end of the file",
                 begin + 3);
        const std::uint8_t cls = classes.c[p[pos_]];
        if (cls == closing) {
            const std::size_t content_end = closing_quotes(quote, copied);
            if (content_end == std::string::npos) continue;
            const auto [offset, length] = keep(content, content_end, copied);
            return string_node(begin, pos_, offset, length);
        }
        if (cls == cls_high) {
            const std::size_t len = utf8_length(s_, pos_);
            if (!len) bad_utf8(pos_);
            if (copied) scratch_.append(s_.substr(pos_, len));
            pos_ += len;
        } else if (cls == cls_cr) {
            if (peek(pos_ + 1) != '\n')
                fail(pos_, "a carriage return may only stand before a line feed, found one alone in a string");
            start_copy();
            scratch_ += '\n';  // line breaks read as a line feed
            pos_ += 2;
        } else if (basic && cls == cls_backslash) {
            start_copy();
            if (!skip_line_ending_backslash()) escape();
        } else if (basic) {
            fail(pos_, "the control character " + hex4(p[pos_]) + " must be escaped in a string");
        } else {
            fail(pos_, "literal strings may not hold the control character " + hex4(p[pos_]));
        }
    }
}

// ---------------------------------------------------------------------------
// Values: scalars, and arrays and inline tables without recursion
// ---------------------------------------------------------------------------

NodeId Parser::parse_scalar() {
    const std::size_t begin = pos_;
    const char c = peek(pos_);
    if (c == '"') {
        if (peek(pos_ + 1) == '"' && peek(pos_ + 2) == '"') return parse_multiline('"');
        return parse_basic_string(false, nullptr);
    }
    if (c == '\'') {
        if (peek(pos_ + 1) == '\'' && peek(pos_ + 2) == '\'') return parse_multiline('\'');
        return parse_literal_string(false, nullptr);
    }
    if (c == 't' && s_.substr(pos_, 4) == "true") {
        pos_ += 4;
        const NodeId id = new_node(Type::Boolean, span(begin, pos_));
        node(id).v.b = true;
        return id;
    }
    if (c == 'f' && s_.substr(pos_, 5) == "false") {
        pos_ += 5;
        const NodeId id = new_node(Type::Boolean, span(begin, pos_));
        node(id).v.b = false;
        return id;
    }
    if (is_digit(c) || c == '+' || c == '-' || c == 'i' || c == 'n') return parse_number_or_date();
    no_value();
}

// An array or inline table (`c`) starts at pos_, at `depth`: an empty one
// is read whole; else it is opened and its first element or key/value pair
// comes next.
inline Parser::Step Parser::open_container(char c, std::uint32_t& depth, NodeId& value) {
    check_depth(depth, pos_);
    const bool table = c == '{';
    const NodeId id = new_node(table ? Type::Table : Type::Array, span(pos_, pos_));
    if (table) set_state(id, inline_table);
    stack_.push_back(Frame{id, table, depth});
    ++pos_;
    skip_ws_comments_newlines();
    if (peek(pos_) == (table ? '}' : ']')) {
        ++pos_;
        stack_.pop_back();
        node(id).end = static_cast<std::uint32_t>(pos_);
        value = id;
        return Step::complete;
    }
    if (table) return Step::key;
    ++depth;
    return Step::value;
}

// A value is complete: hand it to the innermost open container, then read
// the `,` and what follows, or close the container, itself a complete value.
inline Parser::Step Parser::complete_value(std::uint32_t& depth, NodeId& value) {
    if (stack_.empty()) return Step::done;
    const Frame top = stack_.back();
    const char close = top.table ? '}' : ']';
    if (top.table) {
        // The value of the pending key of an inline table.
        doc_.entries_[pending_.back()].value = value;
        pending_.pop_back();
    } else {
        append_element(top.node, value);
    }
    skip_ws_comments_newlines();
    if (peek(pos_) == ',') {
        ++pos_;
        skip_ws_comments_newlines();
        if (peek(pos_) != close) {
            if (top.table) return Step::key;
            depth = top.depth + 1;
            return Step::value;
        }
    } else if (peek(pos_) != close) {
        no_separator(top.node, top.table);
    }
    ++pos_;
    node(top.node).end = static_cast<std::uint32_t>(pos_);
    value = top.node;
    stack_.pop_back();
    return Step::complete;
}

// A value, nested arrays and inline tables read with an explicit stack of
// the open ones (stack_) and of the entries of inline tables awaiting their
// value (pending_), step by step.
NodeId Parser::parse_value(std::uint32_t depth) {
    stack_.clear();
    NodeId value = no_node;
    Step step = Step::value;
    for (;;) {
        switch (step) {
            case Step::value: {
                const char c = peek(pos_);
                if (c == '[' || c == '{') {
                    step = open_container(c, depth, value);
                } else {
                    value = parse_scalar();
                    step = Step::complete;
                }
                break;
            }
            case Step::key:
                depth = inline_key();
                step = Step::value;
                break;
            case Step::complete: step = complete_value(depth, value); break;
            case Step::done: return value;
        }
    }
}

// A key/value pair of the innermost inline table, up to its value: the
// entry waits in pending_. Returns the depth of the value.
std::uint32_t Parser::inline_key() {
    const Frame top = stack_.back();
    read_key("a key or `}`");
    if (peek(pos_) != '=') expected(pos_, "`=` after the key");
    ++pos_;
    skip_ws();
    std::uint32_t holder_depth = 0;
    const NodeId holder = dotted_parent(top.node, top.depth, &holder_depth, false);
    const Segment& last = keys_.back();
    std::uint32_t tag = 0;
    if (const std::uint32_t e = find(holder, name(last), &tag); e != no_node) duplicate_key(e, false);
    pending_.push_back(add_entry(holder, last, no_node, tag));
    return holder_depth + 1;
}

// ---------------------------------------------------------------------------
// Tables
// ---------------------------------------------------------------------------

NodeId Parser::dotted_parent(NodeId table, std::uint32_t depth, std::uint32_t* out_depth, bool within_header) {
    NodeId cur = table;
    for (std::size_t i = 0; i + 1 < keys_.size(); ++i) {
        const Segment& k = keys_[i];
        ++depth;
        check_depth(depth, k.begin);
        std::uint32_t tag = 0;
        const std::uint32_t e = find(cur, name(k), &tag);
        if (e == no_node) {
            const NodeId t = new_node(Type::Table, span(k.begin, k.end));
            set_state(t, dotted_table);
            add_entry(cur, k, t, tag);
            cur = t;
            continue;
        }
        const NodeId v = doc_.entries_[e].value;
        const detail::Node& nd = node(v);
        if (nd.type == Type::Table) {
            const std::uint8_t st = state(v);
            if (st == header_table)
                fail(k.begin,
                     "cannot add keys to table " + key_path(i + 1, within_header) +
                         " here: it is defined by its own [" + key_path(i + 1, within_header) + "] header",
                     k.end);
            if (st == inline_table)
                fail(k.begin,
                     "cannot add keys to " + key_path(i + 1, within_header) +
                         ": it is an inline table, closed when written",
                     k.end);
            if (st == implicit_table) set_state(v, dotted_table);
            cur = v;
            continue;
        }
        if (nd.type == Type::Array && (nd.flags & array_of_tables))
            fail(
                k.begin,
                "cannot add keys to " + key_path(i + 1, within_header) + " with a dotted key: it is an array of tables",
                k.end);
        fail(k.begin, "cannot use " + key_path(i + 1, within_header) + " as a table: it already holds a value", k.end);
    }
    *out_depth = depth;
    return cur;
}

void Parser::key_value() {
    // Most keys are one bare word and `=`: read here, with nothing to check
    // that read_key would.
    const char* s = s_.data();
    const std::size_t i = bare_key_end(s, pos_, n_);
    const std::size_t after = ws_end(i);
    if (i > pos_ && after < n_ && s[after] == '=') {
        keys_.clear();
        keys_.push_back(Segment{static_cast<std::uint32_t>(pos_), static_cast<std::uint32_t>(i - pos_), pos_, i});
        pos_ = after;
    } else {
        read_key("a key");
        if (peek(pos_) != '=') expected(pos_, "`=` after the key");
    }
    ++pos_;
    skip_ws();
    std::uint32_t depth = current_depth_;
    const NodeId holder = keys_.size() == 1 ? current_ : dotted_parent(current_, current_depth_, &depth, true);
    const Segment& last = keys_.back();
    std::uint32_t tag = 0;
    if (const std::uint32_t e = find(holder, name(last), &tag); e != no_node) duplicate_key(e, true);
    const std::uint32_t entry = add_entry(holder, last, no_node, tag);
    NodeId value;
    if (const char c = peek(pos_); c == '[' || c == '{') {
        pending_.clear();
        value = parse_value(depth + 1);
    } else {
        value = parse_scalar();
    }
    doc_.entries_[entry].value = value;
    // The end of the line, most often right here.
    if (pos_ < n_ && s[pos_] == '\n') {
        ++pos_;
        return;
    }
    end_of_line("the value");
}

// The table that part i of the key of a [header] (or [[header]], `array`)
// names within `cur`: made, or defined when the part is the last, as the
// header says. `depth` counts the levels walked.
inline NodeId Parser::header_table_of(NodeId cur, std::size_t i, bool array, Range header_span, std::uint32_t& depth) {
    const Segment& k = keys_[i];
    const bool last = i + 1 == keys_.size();
    ++depth;
    check_depth(depth, k.begin);
    std::uint32_t tag = 0;
    const std::uint32_t e = find(cur, name(k), &tag);
    if (e == no_node) {
        if (!(last && array)) {
            const NodeId t = new_node(Type::Table, header_span);
            set_state(t, last ? header_table : implicit_table);
            add_entry(cur, k, t, tag);
            return t;
        }
        const NodeId a = new_node(Type::Array, header_span);
        node(a).flags |= array_of_tables;
        add_entry(cur, k, a, tag);
        ++depth;
        check_depth(depth, k.begin);
        const NodeId t = new_node(Type::Table, header_span);
        set_state(t, header_table);
        append_element(a, t);
        return t;
    }
    const NodeId v = doc_.entries_[e].value;
    const detail::Node nd = node(v);
    if (nd.type == Type::Table) {
        const std::uint8_t st = state(v);
        if (st == inline_table)
            fail(k.begin, "cannot add to " + key_path(i + 1) + ": it is an inline table, closed when written", k.end);
        if (last) {
            if (array)
                fail(k.begin, "cannot define " + key_path(i + 1) + " as an array of tables: it is already a table",
                     k.end);
            if (st != implicit_table) table_twice(i, nd);
            set_state(v, header_table);
            node(v).begin = header_span.begin;
            node(v).end = header_span.end;
        }
        return v;
    }
    if (nd.type == Type::Array && (nd.flags & array_of_tables)) {
        ++depth;
        if (!last) return nd.v.r.last;
        if (!array)
            fail(k.begin, "cannot define " + key_path(i + 1) + " as a table: it is already an array of tables", k.end);
        check_depth(depth, k.begin);
        const NodeId t = new_node(Type::Table, header_span);
        set_state(t, header_table);
        append_element(v, t);
        return t;
    }
    if (nd.type == Type::Array)
        fail(k.begin, "cannot add to " + key_path(i + 1) + ": it is an array written as a value", k.end);
    fail(k.begin, "cannot use " + key_path(i + 1) + " as a table: it already holds a value", k.end);
}

void Parser::header() {
    const std::size_t begin = pos_;
    const bool array = peek(pos_ + 1) == '[';
    pos_ += array ? 2 : 1;
    skip_ws();
    read_key(array ? "a key after `[[`" : "a key after `[`");
    if (array) {
        if (peek(pos_) != ']' || peek(pos_ + 1) != ']') expected(pos_, "`]]` to close the header");
        pos_ += 2;
    } else {
        if (peek(pos_) != ']') expected(pos_, "`]` to close the header");
        ++pos_;
    }
    const Range header_span = span(begin, pos_);
    NodeId cur = 0;
    std::uint32_t depth = 0;
    for (std::size_t i = 0; i < keys_.size(); ++i) cur = header_table_of(cur, i, array, header_span, depth);
    current_ = cur;
    current_depth_ = depth;
    header_keys_ = keys_;
    end_of_line("the table header");
}

void Parser::run() {
    if (s_.size() > max_document_size) {
        error = Error{std::string(too_large_message), Span{}};
        throw Failure{};
    }
    if (s_.starts_with("\xEF\xBB\xBF")) {
        pos_ = 3;
        bom_ = true;
    }
    const NodeId root = new_node(Type::Table, span(pos_, pos_));
    set_state(root, header_table);
    while (pos_ < n_) {
        skip_ws();
        if (pos_ >= n_) break;
        const char c = s_[pos_];
        if (c == '#') {
            skip_comment();
            if (pos_ < n_ && !newline()) expected(pos_, "a line break");
        } else if (newline()) {
            continue;
        } else if (c == '[') {
            header();
        } else {
            key_value();
        }
    }
    node(root).end = static_cast<std::uint32_t>(n_);
}

// The errors that name another place, kept out of the way of the reading.
void Parser::no_value() {
    if (!stack_.empty() && next_line_starts(pos_)) expected(pos_, "a value", opening(stack_.back().node));
    expected(pos_, "a value");
}

void Parser::no_separator(NodeId container, bool table) {
    const std::string_view what =
        table ? "`,` or `}` after a value in an inline table" : "`,` or `]` after an array element";
    if (next_line_starts(pos_)) expected(pos_, what, opening(container));
    expected(pos_, what);
}

void Parser::duplicate_key(std::uint32_t entry, bool key_value_line) {
    const Segment& last = keys_.back();
    fail(last.begin,
         "duplicate key " + key_path(keys_.size(), key_value_line) + (key_value_line ? "" : " in an inline table"),
         last.end, first_definition(entry));
}

void Parser::table_twice(std::size_t i, const detail::Node& first) {
    const Segment& k = keys_[i];
    fail(k.begin, "table " + key_path(i + 1) + " is defined more than once", k.end,
         ErrorPlace{kFirstDefined, first.begin, first.end});
}

// Whether what stands at `i` is a line of its own that no value could
// start: a `key =` or a `[header]` first on its line, or the end of the
// text. Found where a value or its `,` should be, it tells an array or
// inline table left open.
bool Parser::next_line_starts(std::size_t i) const {
    if (i >= n_) return true;
    std::size_t line = i;
    while (line > 0 && (s_[line - 1] == ' ' || s_[line - 1] == '\t')) --line;
    if (line > 0 && s_[line - 1] != '\n') return false;
    const char* s = s_.data();
    if (s[i] == '[') {
        const std::size_t end = bare_key_end(s, ws_end(i + 1), n_);
        return end > ws_end(i + 1) && peek(ws_end(end)) == ']';
    }
    const std::size_t end = bare_key_end(s, i, n_);
    return end > i && (peek(ws_end(end)) == '=' || peek(ws_end(end)) == '.');
}

Error Parser::take_error() {
    if (!related_ && error.begin == n_ && !stack_.empty()) related_ = opening(stack_.back().node);
    error.related = related_;
    return std::move(error);
}

Result parse(std::string_view text, const Options& options) {
    Document doc;
    Parser parser(text, options, doc);
    try {
        parser.run();
    } catch (const Failure&) {
        return parser.take_error();
    }
    return doc;
}

}  // namespace vora::toml
