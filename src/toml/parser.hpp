// The parser of the TOML reader: one forward pass over the text, no
// recursion. Internal to the reader (src/toml/): its parts are defined in
// parser.cpp (lines, keys, strings, tables, arrays and inline tables),
// numbers.cpp (numbers and date-times) and document.cpp (the arena and its
// index).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text/source_index.hpp"
#include "toml/scan.hpp"
#include "toml/toml.hpp"

namespace vora::toml {

// Node flags of a table: how it came to be, which decides which later lines
// may add to it.
inline constexpr std::uint8_t state_mask = 0x3;
inline constexpr std::uint8_t implicit_table = 0;  // opened on the way to a [header]; a header may still define it
inline constexpr std::uint8_t header_table = 1;    // defined by its own [header] or [[header]]
inline constexpr std::uint8_t dotted_table = 2;    // defined by dotted keys
inline constexpr std::uint8_t inline_table = 3;    // written { ... }; closed to any addition
// Of an array: made by [[header]] lines.
inline constexpr std::uint8_t array_of_tables = 0x4;
// Of an integer: above the largest int64_t, read as unsigned.
inline constexpr std::uint8_t wide_integer = 0x8;

// Tables with fewer entries are searched along their list, larger ones
// through the index (document.cpp): a walk compares lengths first and pays
// no hash of the key, but grows with the table. Measured with callgrind
// (bench/reader_ir.py): bench/config_819.toml, whose tables hold fewer than
// 16 keys, costs 25.7 Ir/B at 16 (the same at 32 and 64), 27.7 at 8 and
// 28.6 at 4; on generated tables of 24 keys all alike in length and prefix
// (key_00 = 0 ...), the walk's worst case, 8 would do better (63 against 80
// Ir/B) and 32 worse (95). 16 serves the configuration files read here.
inline constexpr std::uint16_t index_threshold = 16;

// The hash of a key of a table: picks its home slot in the index.
inline std::uint64_t hash_key(NodeId table, std::string_view key) {
    // Eight bytes at a time, seeded with the table, then mixed so that the
    // bits the index uses depend on every byte.
    std::uint64_t h = (std::uint64_t{table} * 0x9E3779B97F4A7C15ull) ^ (key.size() * 0xC2B2AE3D27D4EB4Full);
    const char* p = key.data();
    std::size_t n = key.size();
    while (true) {
        std::uint64_t w = 0;
        const std::size_t take = n < 8 ? n : 8;
        std::memcpy(&w, p, take);
        h = (h ^ w) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 32;
        if (n <= 8) break;
        p += 8;
        n -= 8;
    }
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return h;
}

struct Failure {};  // thrown inside the parser only, caught in parse()

// How many nodes and entries a text makes at most. A key of k parts, each
// an entry, holds k - 1 `.` and comes before a `=` or, a header's, after a
// `[`; the tables it makes are as many (a `[[header]]` makes an array and a
// table: two `[`). Every other node but the root is a value: after a `=`,
// or an element of an array after its `[` or a `,`. Those bytes in strings,
// comments and floats count too: a bound, not a count; 16 more for the root.
struct Bound {
    std::size_t nodes;
    std::size_t entries;
};
inline Bound arena_bound(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t left = text.size();
    std::size_t parts = 0, commas = 0;
    // Counted in blocks of 240 bytes (15 steps of 16) into byte counters,
    // which the compiler turns into 16 bytes a step: the 1 MB files of
    // bench/reader_ir.py pay 1.0 to 1.3 Ir/B for the pass (string_list.toml
    // 12.21 -> 13.51), where counting into size_t a byte a step cost 7.
    // (The sum of the tests, not their `|`: GCC makes that a bit test on a
    // 64-bit mask, which it does not vectorise.)
    while (left > 0) {
        const auto n = static_cast<unsigned>(std::min<std::size_t>(240, left));
        unsigned char block_parts = 0, block_commas = 0;
        for (unsigned i = 0; i < n; ++i) {
            const unsigned char c = p[i];
            block_parts = static_cast<unsigned char>(block_parts + (c == '=') + (c == '.') + (c == '['));
            block_commas = static_cast<unsigned char>(block_commas + (c == ','));
        }
        parts += block_parts;
        commas += block_commas;
        p += n;
        left -= n;
    }
    return Bound{parts + commas + 16, parts + 16};
}

class Parser {
public:
    Parser(std::string_view text, const Options& options, Document& doc)
        : s_(text), n_(text.size()), options_(options), doc_(doc) {
        doc_.text_ = text;
        // Room for all the nodes and entries the text can make, from the
        // start: growing a large arena would hold the old and the new copy
        // at once, while room that is never written costs no memory. (A list
        // of 5,000,000 `[1]`, 25 MB, grew its nodes to 400 MB, old and new,
        // for 240 MB kept, when they had room for one node per 12 bytes.)
        // A text below 64 KiB makes less than 1 MB of arena, where growing
        // costs little: it takes room for a node per 12 bytes and an entry
        // per 24 (the densest file of bench/reader_ir.py, small_tables.toml,
        // has a node per 12.4 and an entry per 16.5; config_819.toml a node
        // per 20 and an entry per 31.5), without a pass over the text.
        const Bound most =
            text.size() < (64u << 10) ? Bound{text.size() / 12 + 16, text.size() / 24 + 16} : arena_bound(text);
        doc_.nodes_.reserve(most.nodes);
        doc_.entries_.reserve(most.entries);
    }

    void run();
    // The error, with its other place when the reader knows one: set before
    // fail(), or, for an error at the end of the text inside an array or
    // inline table, where the innermost one opened.
    Error take_error();
    Error error;

private:
    // -- positions ---------------------------------------------------------
    // The position of a byte offset before the document is indexed: errors
    // only, so a walk from the start will do.
    Position locate(std::size_t offset) const {
        std::uint32_t line = 1;
        std::uint32_t column = 1;
        const std::size_t first = bom_ ? 3 : 0;
        if (offset > first) advance(s_.data(), first, std::min(offset, n_), line, column);
        return Position{line, column};
    }
    struct Range {
        std::uint32_t begin;
        std::uint32_t end;
    };
    static Range span(std::size_t begin, std::size_t end) {
        return Range{static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(end)};
    }

    // -- errors --------------------------------------------------------------
    [[noreturn]] void fail(std::size_t offset, std::string message, std::size_t end = 0) {
        if (end <= offset) end = offset + char_length(offset);
        offset = std::min(offset, n_);
        end = std::min(end, n_);
        error = Error{std::move(message), Span{locate(offset), locate(end)}, static_cast<std::uint32_t>(offset),
                      static_cast<std::uint32_t>(end)};
        throw Failure{};
    }
    // The same, with the other place the error concerns.
    [[noreturn]] void fail(std::size_t offset, std::string message, std::size_t end, ErrorPlace related) {
        related_ = related;
        fail(offset, std::move(message), end);
    }
    // Where the entry of `entry` was first written.
    ErrorPlace first_definition(std::uint32_t entry) const {
        return ErrorPlace{kFirstDefined, doc_.entries_[entry].key_begin, doc_.entries_[entry].key_end};
    }
    static constexpr std::string_view kFirstDefined = "first defined here";
    // The opening bracket or brace of an open array or inline table.
    ErrorPlace opening(NodeId container) const {
        const std::uint32_t at = doc_.nodes_[container].begin;
        return ErrorPlace{"opened here", at, at + 1};
    }
    std::size_t char_length(std::size_t i) const {
        if (i >= n_) return 0;
        const auto c = static_cast<unsigned char>(s_[i]);
        if (c < 0x80) return 1;
        const std::size_t len = scan::utf8_length(s_, i);
        return len ? len : 1;
    }
    // What stands at `i`, as error messages name it.
    std::string found(std::size_t i) const {
        if (i >= n_) return "the end of the file";
        const auto c = static_cast<unsigned char>(s_[i]);
        if (c == '\n' || (c == '\r' && i + 1 < n_ && s_[i + 1] == '\n')) return "a line break";
        if (c < 0x20 || c == 0x7F) return "the control character " + scan::hex4(c);
        if (c < 0x80) return std::string("`") + static_cast<char>(c) + "`";
        const std::size_t len = scan::utf8_length(s_, i);
        if (!len) return "a byte that is not valid UTF-8";
        // Appended, not "`" + std::string(...): GCC 12 warns falsely
        // (-Wrestrict) about the inlined operator+.
        std::string quoted = "`";
        quoted.append(s_.substr(i, len));
        quoted += '`';
        return quoted;
    }
    [[noreturn]] void expected(std::size_t i, std::string_view what) {
        fail(i, "expected " + std::string(what) + ", found " + found(i));
    }
    [[noreturn]] void expected(std::size_t i, std::string_view what, ErrorPlace related) {
        related_ = related;
        expected(i, what);
    }
    [[noreturn]] void bad_utf8(std::size_t i) { fail(i, "the text is not valid UTF-8"); }

    // -- whitespace, comments, newlines --------------------------------------
    char peek(std::size_t i) const { return i < n_ ? s_[i] : '\0'; }
    void skip_ws() { pos_ = ws_end(pos_); }
    std::size_t ws_end(std::size_t i) const {
        const char* s = s_.data();
        while (i < n_ && (s[i] == ' ' || s[i] == '\t')) ++i;
        return i;
    }
    // A comment from its `#` to the end of the line (not included).
    void skip_comment() {
        ++pos_;
        const auto* p = reinterpret_cast<const unsigned char*>(s_.data());
        while (pos_ < n_) {
            pos_ = scan::printable_run_end(p, pos_, n_);
            if (pos_ >= n_) return;
            const unsigned char c = p[pos_];
            if (c == '\t') {
                ++pos_;
            } else if (c == '\n') {
                return;
            } else if (c == '\r') {
                if (peek(pos_ + 1) == '\n') return;
                fail(pos_, "a carriage return may only stand before a line feed, found one alone in a comment");
            } else if (c >= 0x80) {
                const std::size_t len = scan::utf8_length(s_, pos_);
                if (!len) bad_utf8(pos_);
                pos_ += len;
            } else {
                fail(pos_, "comments may not hold the control character " + scan::hex4(c));
            }
        }
    }
    // At a line break: steps over it and returns true.
    bool newline() {
        if (pos_ < n_ && s_[pos_] == '\n') {
            ++pos_;
            return true;
        }
        if (pos_ + 1 < n_ && s_[pos_] == '\r' && s_[pos_ + 1] == '\n') {
            pos_ += 2;
            return true;
        }
        return false;
    }
    // Whitespace, comments and line breaks, as allowed inside arrays and
    // inline tables.
    void skip_ws_comments_newlines() {
        const char* s = s_.data();
        std::size_t i = pos_;
        for (;;) {
            i = ws_end(i);
            if (i >= n_) break;
            if (s[i] == '\n') {
                ++i;
            } else if (s[i] == '#') {
                pos_ = i;
                skip_comment();  // up to a line break or the end
                i = pos_;
            } else if (s[i] == '\r' && i + 1 < n_ && s[i + 1] == '\n') {
                i += 2;
            } else {
                break;
            }
        }
        pos_ = i;
    }
    // The end of an expression line: optional whitespace and comment, then a
    // line break or the end of the text.
    void end_of_line(std::string_view after) {
        skip_ws();
        if (pos_ < n_ && s_[pos_] == '#') skip_comment();
        if (pos_ >= n_ || newline()) return;
        fail(pos_, "expected a line break or a comment after " + std::string(after) + ", found " + found(pos_));
    }

    // -- arena (document.cpp) -----------------------------------------------
    NodeId new_node(Type type, Range sp) {
        if (doc_.nodes_.size() >= 0xFFFFFFF0u) fail(pos_, "the document holds too many values");
        detail::Node node;
        node.begin = sp.begin;
        node.end = sp.end;
        node.type = type;
        if (type == Type::Table || type == Type::Array) node.v.r = {no_node, no_node};
        doc_.nodes_.push_back(node);
        return static_cast<NodeId>(doc_.nodes_.size() - 1);
    }
    detail::Node& node(NodeId id) { return doc_.nodes_[id]; }
    std::uint8_t state(NodeId t) { return node(t).flags & state_mask; }
    void set_state(NodeId t, std::uint8_t st) {
        node(t).flags = static_cast<std::uint8_t>((node(t).flags & ~state_mask) | st);
    }

    void append_element(NodeId array, NodeId element) {
        detail::Node& a = node(array);
        if (a.v.r.last == no_node) {
            a.v.r.first = element;
        } else {
            node(a.v.r.last).next = element;
        }
        a.v.r.last = element;
    }

    // -- keys -------------------------------------------------------------------
    struct Segment {
        std::uint32_t name;
        std::uint32_t name_len;  // with in_buffer when unescaped into the buffer
        std::size_t begin;       // byte offsets of the segment as written
        std::size_t end;
    };
    std::string_view name(const Segment& k) const { return doc_.stored(k.name, k.name_len); }

    // Reads a key (bare, quoted, dotted) into keys_, up to the `=` or `]`
    // that follows; `context` names what is being read for messages.
    void read_key(std::string_view context);
    void read_simple_key(std::string_view context);
    // Inlined: most keys of headers and inline tables are bare (with
    // open_container inlined too, lock_file.toml of bench/reader_ir.py
    // went from 17.97 to 17.74 Ir/B).
    [[gnu::always_inline]] inline void read_bare_key(std::string_view context, Segment& k);

    // Looking a key up in an indexed table tells the hash it would be added
    // under (`tag`); add_entry relies on that.
    std::uint32_t find(NodeId table, std::string_view key, std::uint32_t* tag) const {
        if (doc_.nodes_[table].count < index_threshold) return doc_.find_listed(table, key);
        *tag = static_cast<std::uint32_t>(hash_key(table, key) >> 32);
        return doc_.find_indexed(table, key, *tag);
    }
    void index_entry(NodeId table, std::uint32_t entry, std::uint32_t tag);
    std::uint32_t add_entry(NodeId table, const Segment& k, NodeId value, std::uint32_t tag);
    void grow_index();
    // The first `count` parts of the key just read, as written in messages;
    // `within_header` puts the path of the current [header] in front.
    std::string key_path(std::size_t count, bool within_header = false) const;

    // -- values ---------------------------------------------------------------
    // parse_value's steps: what comes next at pos_.
    enum class Step {
        value,     // a value starts
        key,       // a key/value pair of the innermost inline table starts
        complete,  // the value just read goes to the innermost open container
        done,      // the outermost value is complete
    };
    NodeId parse_value(std::uint32_t depth);
    // Inlined into parse_value, as read_bare_key below.
    [[gnu::always_inline]] inline Step open_container(char c, std::uint32_t& depth, NodeId& value);
    // Inlined into parse_value's loop: a call per element cost 11 % more
    // instructions on a long array of strings (bench/reader_ir.py,
    // string_list.toml: 13.52 Ir/B called, 12.18 inlined).
    [[gnu::always_inline]] inline Step complete_value(std::uint32_t& depth, NodeId& value);
    std::uint32_t inline_key();
    NodeId parse_scalar();
    NodeId parse_basic_string(bool as_key, Segment* key);
    NodeId parse_literal_string(bool as_key, Segment* key);
    NodeId parse_multiline(char quote);
    void escape();
    std::size_t closing_quotes(char quote, bool copied);
    bool skip_line_ending_backslash();
    // Where a string's text is kept: a view of the text when it was written
    // without escapes, else the unescaped copy in scratch_, moved to the
    // document's buffer.
    std::pair<std::uint32_t, std::uint32_t> keep(std::size_t content, std::size_t content_end, bool copied);
    NodeId string_node(std::size_t begin, std::size_t end, std::uint32_t offset, std::uint32_t length);

    // numbers.cpp
    NodeId parse_number_or_date();
    NodeId plain_decimal(std::size_t begin);
    NodeId radix_integer(std::size_t begin, std::size_t i, bool sign);
    std::uint64_t radix_digits(std::size_t& j, unsigned base, const char* what, bool& overflow);
    NodeId decimal_number(std::size_t begin, std::size_t i, bool negative);
    void decimal_digits(std::size_t& j, const char* part, bool leading_zero_ok);
    NodeId decimal_integer(std::size_t begin, std::size_t int_begin, std::size_t int_end, bool negative);
    NodeId decimal_float(std::size_t begin, std::size_t end, bool negative);
    std::size_t literal_end(std::size_t from) const;
    NodeId parse_date_time(std::size_t begin, bool date);
    bool read_date(std::size_t& i, std::size_t begin, DateTime& dt);
    void read_time(std::size_t& i, DateTime& dt);
    bool read_offset(std::size_t& i, DateTime& dt);
    unsigned two_digits(std::size_t at, const char* what);

    // -- structure --------------------------------------------------------------
    void header();
    // Inlined into header()'s loop over the parts of the key: called, the
    // headers of lock_file.toml (bench/reader_ir.py) cost 1 % more.
    [[gnu::always_inline]] inline NodeId header_table_of(NodeId cur, std::size_t i, bool array, Range header_span,
                                                         std::uint32_t& depth);
    void key_value();
    // Walks keys_[0..count-1) as dotted keys from `table`; returns the table
    // that holds the last key.
    NodeId dotted_parent(NodeId table, std::uint32_t depth, std::uint32_t* out_depth, bool within_header);

    void check_depth(std::uint32_t depth, std::size_t offset) {
        if (depth > options_.max_depth)
            fail(offset, "tables and arrays may nest at most " + std::to_string(options_.max_depth) + " levels deep");
    }

    std::string_view s_;
    std::size_t n_;
    const Options& options_;
    Document& doc_;
    std::size_t pos_ = 0;
    bool bom_ = false;

    std::vector<Segment> keys_;
    std::vector<Segment> header_keys_;  // the key of the current [header]
    NodeId current_ = 0;                // the table that key/value lines go into
    std::uint32_t current_depth_ = 0;

    struct Frame {
        NodeId node;
        bool table;
        std::uint32_t depth;  // depth of the container itself
    };
    std::vector<Frame> stack_;
    std::vector<std::uint32_t> pending_;  // the entries of open inline tables awaiting their value
    std::size_t indexed_ = 0;             // entries in the index
    std::string scratch_;
    std::optional<ErrorPlace> related_;  // the error's other place, set on the way to fail()

    // Errors with another place (parser.cpp), out of line: the reading
    // of a valid document does not pay for them.
    [[noreturn, gnu::cold, gnu::noinline]] void no_value();
    [[noreturn, gnu::cold, gnu::noinline]] void no_separator(NodeId container, bool table);
    [[noreturn, gnu::cold, gnu::noinline]] void duplicate_key(std::uint32_t entry, bool key_value_line);
    [[noreturn, gnu::cold, gnu::noinline]] void table_twice(std::size_t i, const detail::Node& first);
    bool next_line_starts(std::size_t i) const;
};

}  // namespace vora::toml
