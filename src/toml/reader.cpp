// The TOML 1.1.0 reader: one forward pass over the text, no recursion.
//
// Values are parsed with an explicit stack of open arrays and inline tables.
// Spans are kept as byte offsets while reading. The first position asked of
// a document walks the text once to mark the line and column of every 256th
// byte, from which any offset's position is found by reading at most one
// block.

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include "text/utf8.hpp"
#include "toml/toml.hpp"

namespace vora::toml {

using detail::Entry;
using detail::in_buffer;
using detail::Node;

// ---------------------------------------------------------------------------
// Handles
// ---------------------------------------------------------------------------

namespace {

constexpr std::uint8_t state_mask = 0x3;
// How a table came to be; decides which later lines may add to it.
constexpr std::uint8_t implicit_table = 0;  // opened on the way to a [header]; a header may still define it
constexpr std::uint8_t header_table = 1;    // defined by its own [header] or [[header]]
constexpr std::uint8_t dotted_table = 2;    // defined by dotted keys
constexpr std::uint8_t inline_table = 3;    // written { ... }; closed to any addition
constexpr std::uint8_t array_of_tables = 0x4;
constexpr std::uint8_t wide_integer = 0x8;

}  // namespace

Type Value::type() const { return doc_->node(id_).type; }
Span Value::span() const {
    const Node& n = doc_->node(id_);
    return doc_->span_of(n.begin, n.end);
}
std::uint32_t Value::offset() const { return doc_->node(id_).begin; }
std::uint32_t Value::end_offset() const { return doc_->node(id_).end; }
bool Value::is_date_time() const {
    const Type t = type();
    return t == Type::OffsetDateTime || t == Type::LocalDateTime || t == Type::LocalDate || t == Type::LocalTime;
}
Table Value::as_table() const { return Table(doc_, id_); }
Array Value::as_array() const { return Array(doc_, id_); }
std::string_view Value::as_string() const {
    const Node& n = doc_->node(id_);
    return doc_->stored(n.v.r.first, n.v.r.last);
}
bool Value::as_boolean() const { return doc_->node(id_).v.b; }
double Value::as_float() const { return doc_->node(id_).v.f; }
bool Value::is_wide() const { return (doc_->node(id_).flags & wide_integer) != 0; }
std::int64_t Value::as_signed() const { return doc_->node(id_).v.i; }
std::uint64_t Value::as_unsigned() const { return doc_->node(id_).v.u; }
DateTime Value::as_date_time() const { return doc_->date_times_[doc_->node(id_).v.r.first]; }

Member Table::iterator::operator*() const {
    const Entry& e = doc_->entries_[entry_];
    return Member{doc_->stored(e.name, e.name_len), Value(doc_, e.value), doc_, entry_};
}
Span Member::key_span() const {
    const Entry& e = doc->entries_[entry];
    return doc->span_of(e.key_begin, e.key_end);
}

std::pair<std::uint32_t, std::uint32_t> Member::key_offsets() const {
    const Entry& e = doc->entries_[entry];
    return {e.key_begin, e.key_end};
}

Table::iterator& Table::iterator::operator++() {
    entry_ = doc_->entries_[entry_].next;
    return *this;
}
Table::iterator Table::begin() const { return iterator(doc_, doc_->node(id_).v.r.first); }
std::size_t Table::size() const {
    std::size_t n = 0;
    for (auto it = begin(); it != end(); ++it) ++n;
    return n;
}
Value Table::get(std::string_view key) const {
    const std::uint32_t e = doc_->find_entry(id_, key);
    return e == no_node ? Value() : Value(doc_, doc_->entries_[e].value);
}
std::optional<Member> Table::member(std::string_view key) const {
    const std::uint32_t e = doc_->find_entry(id_, key);
    if (e == no_node) return std::nullopt;
    return *iterator(doc_, e);
}

Array::iterator& Array::iterator::operator++() {
    node_ = doc_->node(node_).next;
    return *this;
}
Array::iterator Array::begin() const { return iterator(doc_, doc_->node(id_).v.r.first); }
std::size_t Array::size() const {
    std::size_t n = 0;
    for (auto it = begin(); it != end(); ++it) ++n;
    return n;
}

namespace {

std::uint64_t hash_key(NodeId table, std::string_view key) {
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

}  // namespace

// Tables with fewer entries are searched along their list; larger ones
// through the index.
constexpr std::uint16_t index_threshold = 16;

std::uint32_t Document::find_entry(NodeId table, std::string_view key) const {
    if (nodes_[table].count < index_threshold) return find_listed(table, key);
    return find_indexed(table, key, static_cast<std::uint32_t>(hash_key(table, key) >> 32));
}

// A small table is searched along its list of entries.
std::uint32_t Document::find_listed(NodeId table, std::string_view key) const {
    for (std::uint32_t e = nodes_[table].v.r.first; e != no_node; e = entries_[e].next) {
        const Entry& entry = entries_[e];
        if ((entry.name_len & ~in_buffer) == key.size() && stored(entry.name, entry.name_len) == key) return e;
    }
    return no_node;
}

std::uint32_t Document::find_indexed(NodeId table, std::string_view key, std::uint32_t tag) const {
    if (slots_.empty()) return no_node;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = tag & mask;; i = (i + 1) & mask) {
        const Slot& s = slots_[i];
        if (s.entry == no_node) return no_node;
        if (s.tag == tag && s.table == table) {
            const Entry& e = entries_[s.entry];
            if (stored(e.name, e.name_len) == key) return s.entry;
        }
    }
}

namespace {

constexpr std::size_t block = 256;

// Advances (line, column) over text[from, to).
void advance(const char* p, std::size_t from, std::size_t to, std::uint32_t& line, std::uint32_t& column) {
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    constexpr std::uint64_t highs = 0x8080808080808080ull;
    std::size_t i = from;
    auto step = [&](std::size_t k) {
        const auto c = static_cast<unsigned char>(p[k]);
        if (c == '\n') {
            ++line;
            column = 1;
        } else {
            column += (c & 0xC0) != 0x80;
        }
    };
    // Eight ASCII bytes at a time.
    constexpr std::uint64_t lows = ~highs;
    while (i + 8 <= to) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        if ((w & highs) != 0 || std::endian::native != std::endian::little) {
            for (const std::size_t stop = i + 8; i < stop; ++i) step(i);
            continue;
        }
        // The top bit of each line feed, exactly.
        const std::uint64_t feeds = w ^ (ones * '\n');
        const std::uint64_t marks = ~(((feeds & lows) + lows) | feeds | lows);
        if (marks == 0) {
            column += 8;
        } else {
            line += static_cast<std::uint32_t>(std::popcount(marks));
            // The bytes after the last line feed of the eight.
            column = 1 + 7 - static_cast<std::uint32_t>((63 - std::countl_zero(marks)) >> 3);
        }
        i += 8;
    }
    for (; i < to; ++i) step(i);
}

}  // namespace

void Document::index_positions(std::vector<Mark>& marks) const {
    const std::size_t n = text_.size();
    marks.resize(n / block + 1);
    std::uint32_t line = 1;
    std::uint32_t column = 1;
    std::size_t at = first_;
    for (std::size_t b = 0; b < marks.size(); ++b) {
        const std::size_t base = std::max<std::size_t>(b * block, first_);
        advance(text_.data(), at, base, line, column);
        at = base;
        marks[b] = Mark{line, column};
    }
}

const std::vector<Document::Mark>& Document::marks() const {
    std::call_once(marks_->made, [this] { index_positions(marks_->marks); });
    return marks_->marks;
}

Position Document::position(std::uint32_t offset) const {
    if (!marks_) return Position{};
    const std::vector<Mark>& marks = this->marks();
    const std::size_t b = offset / block;
    if (b >= marks.size()) return Position{};
    const std::size_t base = std::max<std::size_t>(b * block, first_);
    std::uint32_t line = marks[b].line;
    std::uint32_t column = marks[b].column;
    if (offset > base) advance(text_.data(), base, offset, line, column);
    return Position{line, column};
}

Span Document::span_of(std::uint32_t begin, std::uint32_t end) const {
    const Position from = position(begin);
    // The end, most often a few bytes on the same line, walked to from the start.
    if (!marks_ || begin < first_ || end < begin || end - begin > block || end > text_.size())
        return Span{from, position(end)};
    Position to = from;
    advance(text_.data(), begin, end, to.line, to.column);
    return Span{from, to};
}

// ---------------------------------------------------------------------------
// The parser
// ---------------------------------------------------------------------------

namespace {

constexpr bool is_bare_key_char(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
unsigned hex_value(char c) {
    if (is_digit(c)) return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    return static_cast<unsigned>(c - 'A' + 10);
}

// Length of the well-formed UTF-8 sequence at s[i] (a byte >= 0x80), or 0:
// a malformed sequence is passed over one byte at a time.
std::size_t utf8_length(std::string_view s, std::size_t i) {
    std::size_t j = i;
    utf8::next(s, j);
    return j - i > 1 ? j - i : 0;
}

struct BareKeyChars {
    bool c[256];
    constexpr BareKeyChars() : c{} {
        for (int i = 0; i < 256; ++i) c[i] = is_bare_key_char(static_cast<unsigned char>(i));
    }
};
constexpr BareKeyChars bare_key_chars;

// Character classes for the string scanners: 0 is an ordinary character.
enum : std::uint8_t { plain = 0, cls_quote = 1, cls_apostrophe = 2, cls_backslash = 3, cls_newline = 4, cls_cr = 5,
                      cls_control = 6, cls_high = 7 };

struct Classes {
    std::uint8_t c[256];
    constexpr Classes() : c{} {
        for (int i = 0; i < 0x20; ++i) c[i] = cls_control;
        c[static_cast<unsigned char>('\t')] = plain;
        c[static_cast<unsigned char>('\n')] = cls_newline;
        c[static_cast<unsigned char>('\r')] = cls_cr;
        c[0x7F] = cls_control;
        c[static_cast<unsigned char>('"')] = cls_quote;
        c[static_cast<unsigned char>('\'')] = cls_apostrophe;
        c[static_cast<unsigned char>('\\')] = cls_backslash;
        for (int i = 0x80; i < 0x100; ++i) c[i] = cls_high;
    }
};
constexpr Classes classes;

// The first byte at or after `i` that a single-line string does not take as
// it stands: its closing `quote`, a backslash in a basic string, a control
// character other than tab, or a byte of a multi-byte character. Eight
// bytes at a time while none of them is one.
template <char quote>
std::size_t plain_run_end(const unsigned char* p, std::size_t i, std::size_t n) {
    constexpr bool basic = quote == '"';
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    constexpr std::uint64_t highs = 0x8080808080808080ull;
    const auto taken = [](unsigned char c) {
        const std::uint8_t cls = classes.c[c];
        return cls == plain || cls == (basic ? cls_apostrophe : cls_quote) || (!basic && cls == cls_backslash);
    };
    for (;;) {
        if constexpr (std::endian::native == std::endian::little) {
            while (i + 8 <= n) {
                std::uint64_t w;
                std::memcpy(&w, p + i, 8);
                // Per byte, the top bit is set where the byte is at least
                // 0x80, below 0x20, DEL, the quote or (basic) a backslash.
                // Only the lowest flag is exact, and only it is read.
                // (A byte of the quote or the backslash xored away is zero,
                // and its top bit is the byte's own.)
                const std::uint64_t q = w ^ (ones * static_cast<unsigned char>(quote));
                std::uint64_t low = (w - ones * 0x20) | (q - ones);
                if constexpr (basic) low |= (w ^ (ones * static_cast<unsigned char>('\\'))) - ones;
                const std::uint64_t stops = ((low & ~w) | (w + ones) | w) & highs;
                if (stops) {
                    i += static_cast<std::size_t>(std::countr_zero(stops)) >> 3;
                    break;
                }
                i += 8;
            }
        }
        if (i + 8 > n) {
            while (i < n && taken(p[i])) ++i;
            return i;
        }
        if (!taken(p[i])) return i;
        ++i;  // a tab
    }
}

std::string hex4(unsigned v) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string s = "U+";
    for (int shift = 12; shift >= 0; shift -= 4) s += digits[(v >> shift) & 0xF];
    return s;
}

bool leap_year(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
unsigned days_in_month(unsigned y, unsigned m) {
    static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap_year(y) ? 29 : days[m - 1];
}

struct Failure {};  // thrown inside the parser only, caught in parse()

}  // namespace

class Parser {
public:
    Parser(std::string_view text, const Options& options, Document& doc)
        : s_(text), n_(text.size()), options_(options), doc_(doc) {
        doc_.text_ = text;
        // Room for a dense document from the start: growing a large arena
        // would hold the old and the new copy at once, while room that is
        // never written costs no memory.
        doc_.nodes_.reserve(text.size() / 12 + 16);
        doc_.entries_.reserve(text.size() / 24 + 16);
    }

    void run();
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
        error = Error{std::move(message), Span{locate(offset), locate(std::min(end, n_))}};
        throw Failure{};
    }
    std::size_t char_length(std::size_t i) const {
        if (i >= n_) return 0;
        const auto c = static_cast<unsigned char>(s_[i]);
        if (c < 0x80) return 1;
        const std::size_t len = utf8_length(s_, i);
        return len ? len : 1;
    }
    // What stands at `i`, as error messages name it.
    std::string found(std::size_t i) const {
        if (i >= n_) return "the end of the file";
        const auto c = static_cast<unsigned char>(s_[i]);
        if (c == '\n' || (c == '\r' && i + 1 < n_ && s_[i + 1] == '\n')) return "a line break";
        if (c < 0x20 || c == 0x7F) return "the control character " + hex4(c);
        if (c < 0x80) return std::string("`") + static_cast<char>(c) + "`";
        const std::size_t len = utf8_length(s_, i);
        if (!len) return "a byte that is not valid UTF-8";
        return "`" + std::string(s_.substr(i, len)) + "`";
    }
    [[noreturn]] void expected(std::size_t i, std::string_view what) {
        fail(i, "expected " + std::string(what) + ", found " + found(i));
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
        constexpr std::uint64_t ones = 0x0101010101010101ull;
        constexpr std::uint64_t highs = 0x8080808080808080ull;
        while (pos_ < n_) {
            // Eight printable ASCII characters at a time.
            while (pos_ + 8 <= n_) {
                std::uint64_t w;
                std::memcpy(&w, p + pos_, 8);
                const std::uint64_t del = w ^ (ones * 0x7F);
                if ((w & highs) | ((w - ones * 0x20) & ~w & highs) | ((del - ones) & ~del & highs)) break;
                pos_ += 8;
            }
            if (pos_ >= n_) return;
            const unsigned char c = p[pos_];
            if (c >= 0x20 && c < 0x7F) {
                ++pos_;
            } else if (c == '\t') {
                ++pos_;
            } else if (c == '\n') {
                return;
            } else if (c == '\r') {
                if (peek(pos_ + 1) == '\n') return;
                fail(pos_, "a carriage return may only stand before a line feed, found one alone in a comment");
            } else if (c >= 0x80) {
                const std::size_t len = utf8_length(s_, pos_);
                if (!len) bad_utf8(pos_);
                pos_ += len;
            } else {
                fail(pos_, "comments may not hold the control character " + hex4(c));
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

    // -- arena ----------------------------------------------------------------
    NodeId new_node(Type type, Range sp) {
        if (doc_.nodes_.size() >= 0xFFFFFFF0u) fail(pos_, "the document holds too many values");
        Node node;
        node.begin = sp.begin;
        node.end = sp.end;
        node.type = type;
        if (type == Type::Table || type == Type::Array) node.v.r = {no_node, no_node};
        doc_.nodes_.push_back(node);
        return static_cast<NodeId>(doc_.nodes_.size() - 1);
    }
    Node& node(NodeId id) { return doc_.nodes_[id]; }
    std::uint8_t state(NodeId t) { return node(t).flags & state_mask; }
    void set_state(NodeId t, std::uint8_t st) { node(t).flags = static_cast<std::uint8_t>((node(t).flags & ~state_mask) | st); }

    void append_element(NodeId array, NodeId element) {
        Node& a = node(array);
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
    NodeId parse_value(std::uint32_t depth);
    NodeId parse_scalar();
    NodeId parse_basic_string(bool as_key, Segment* key);
    NodeId parse_literal_string(bool as_key, Segment* key);
    NodeId parse_multiline(char quote);
    // Where a string's text is kept: a view of the text when it was written
    // without escapes, else the unescaped copy in scratch_, moved to the
    // document's buffer.
    std::pair<std::uint32_t, std::uint32_t> keep(std::size_t content, std::size_t content_end, bool copied);
    NodeId parse_number_or_date();
    NodeId plain_decimal(std::size_t begin);
    NodeId parse_date_time(std::size_t begin, bool date);
    NodeId string_node(std::size_t begin, std::size_t end, std::uint32_t offset, std::uint32_t length);

    // -- structure --------------------------------------------------------------
    void header();
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
    NodeId current_ = 0;              // the table that key/value lines go into
    std::uint32_t current_depth_ = 0;

    struct Frame {
        NodeId node;
        bool table;
        std::uint32_t depth;      // depth of the container itself
    };
    std::vector<Frame> stack_;
    std::vector<std::uint32_t> pending_;
    std::size_t indexed_ = 0;  // entries in the index  // the entries of open inline tables awaiting their value
    std::string scratch_;
};

std::uint32_t Parser::add_entry(NodeId table, const Segment& k, NodeId value, std::uint32_t tag) {
    if (doc_.entries_.size() >= 0x7FFFFFF0u) fail(k.begin, "the document holds too many keys");
    Entry e;
    e.key_begin = static_cast<std::uint32_t>(k.begin);
    e.key_end = static_cast<std::uint32_t>(k.end);
    e.name = k.name;
    e.name_len = k.name_len;
    e.value = value;
    const auto id = static_cast<std::uint32_t>(doc_.entries_.size());
    doc_.entries_.push_back(e);
    Node& t = node(table);
    if (t.v.r.last == no_node) {
        t.v.r.first = id;
    } else {
        doc_.entries_[t.v.r.last].next = id;
    }
    t.v.r.last = id;
    const std::uint16_t before = t.count;
    if (before < 0xFFFF) t.count = static_cast<std::uint16_t>(before + 1);
    if (before + 1 < index_threshold) return id;
    if (before + 1 == index_threshold) {
        // The table has grown past a walk along its list: index all of it.
        for (std::uint32_t x = t.v.r.first; x != no_node; x = doc_.entries_[x].next) {
            const Entry& entry = doc_.entries_[x];
            index_entry(table, x, static_cast<std::uint32_t>(hash_key(table, doc_.stored(entry.name, entry.name_len)) >> 32));
        }
        return id;
    }
    index_entry(table, id, tag);
    return id;
}

void Parser::index_entry(NodeId table, std::uint32_t entry, std::uint32_t tag) {
    // At most 70 % of the slots are taken.
    if ((++indexed_) * 10 > doc_.slots_.size() * 7) grow_index();
    const std::size_t mask = doc_.slots_.size() - 1;
    std::size_t i = tag & mask;
    while (doc_.slots_[i].entry != no_node) i = (i + 1) & mask;
    doc_.slots_[i] = Document::Slot{table, entry, tag};
}

void Parser::grow_index() {
    std::size_t size = doc_.slots_.empty() ? 64 : doc_.slots_.size() * 2;
    std::vector<Document::Slot> slots(size, Document::Slot{no_node, no_node, 0});
    const std::size_t mask = size - 1;
    for (const Document::Slot& s : doc_.slots_) {
        if (s.entry == no_node) continue;
        std::size_t i = s.tag & mask;
        while (slots[i].entry != no_node) i = (i + 1) & mask;
        slots[i] = s;
    }
    doc_.slots_ = std::move(slots);
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
// Keys
// ---------------------------------------------------------------------------

void Parser::read_simple_key(std::string_view context) {
    const std::size_t begin = pos_;
    Segment k{};
    k.begin = begin;
    const char c = peek(pos_);
    if (c == '"') {
        if (s_.substr(pos_, 3) == "\"\"\"") fail(pos_, "a key may not be a multi-line string", pos_ + 3);
        parse_basic_string(true, &k);
    } else if (c == '\'') {
        if (s_.substr(pos_, 3) == "'''") fail(pos_, "a key may not be a multi-line string", pos_ + 3);
        parse_literal_string(true, &k);
    } else {
        const char* s = s_.data();
        std::size_t i = begin;
        while (i < n_ && bare_key_chars.c[static_cast<unsigned char>(s[i])]) ++i;
        pos_ = i;
        if (pos_ == begin) {
            const auto b = static_cast<unsigned char>(peek(pos_));
            if (b >= 0x80 || b == '+')
                fail(pos_, "a bare key may only hold ASCII letters, digits, `-` and `_`, found " + found(pos_) +
                               "; put keys with other characters in quotes");
            expected(pos_, context);
        }
        k.name = static_cast<std::uint32_t>(begin);
        k.name_len = static_cast<std::uint32_t>(pos_ - begin);
        // A character that cannot follow a key but belongs to no other
        // construct either is part of a mistyped bare key.
        const auto b = static_cast<unsigned char>(peek(pos_));
        if (pos_ < n_ && (b >= 0x80 || b == '+' || b == '@' || b == '$' || b == '%' || b == '&' || b == '*' ||
                          b == '!' || b == '?' || b == '/' || b == '~' || b == '^' || b == '|'))
            fail(pos_, "a bare key may only hold ASCII letters, digits, `-` and `_`, found " + found(pos_) +
                           "; put keys with other characters in quotes");
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

// ---------------------------------------------------------------------------
// Strings
// ---------------------------------------------------------------------------

std::pair<std::uint32_t, std::uint32_t> Parser::keep(std::size_t content, std::size_t content_end, bool copied) {
    if (!copied) return {static_cast<std::uint32_t>(content), static_cast<std::uint32_t>(content_end - content)};
    const auto offset = static_cast<std::uint32_t>(doc_.buffer_.size());
    const auto length = static_cast<std::uint32_t>(scratch_.size()) | in_buffer;
    doc_.buffer_ += scratch_;
    return {offset, length};
}

NodeId Parser::string_node(std::size_t begin, std::size_t end, std::uint32_t offset, std::uint32_t length) {
    const NodeId id = new_node(Type::String, span(begin, end));
    node(id).v.r = {offset, length};
    return id;
}

// Reads one escape sequence at s_[pos_] == '\\' into scratch_.
#define VORA_TOML_ESCAPE()                                                                         \
    do {                                                                                          \
        const std::size_t esc = pos_;                                                             \
        const char e = peek(pos_ + 1);                                                            \
        std::size_t digits = 0;                                                                   \
        switch (e) {                                                                              \
            case 'b': scratch_ += '\b'; break;                                                    \
            case 't': scratch_ += '\t'; break;                                                    \
            case 'n': scratch_ += '\n'; break;                                                    \
            case 'f': scratch_ += '\f'; break;                                                    \
            case 'r': scratch_ += '\r'; break;                                                    \
            case 'e': scratch_ += '\x1B'; break;                                                  \
            case '"': scratch_ += '"'; break;                                                     \
            case '\\': scratch_ += '\\'; break;                                                   \
            case 'x': digits = 2; break;                                                          \
            case 'u': digits = 4; break;                                                          \
            case 'U': digits = 8; break;                                                          \
            default:                                                                              \
                if (pos_ + 1 >= n_) fail(esc, "unterminated string: expected an escape after `\\`"); \
                fail(esc, "invalid escape sequence `\\" + std::string(s_.substr(pos_ + 1, char_length(pos_ + 1))) + \
                              "`; the escapes are \\b \\t \\n \\f \\r \\e \\\" \\\\ \\xHH \\uHHHH \\UHHHHHHHH", \
                     pos_ + 1 + char_length(pos_ + 1));                                           \
        }                                                                                         \
        if (digits == 0) {                                                                        \
            pos_ += 2;                                                                            \
        } else {                                                                                  \
            char32_t cp = 0;                                                                      \
            for (std::size_t d = 0; d < digits; ++d) {                                            \
                const char h = peek(pos_ + 2 + d);                                                \
                if (!is_hex(h) || pos_ + 2 + d >= n_)                                             \
                    fail(pos_ + 2 + d, "invalid escape sequence: `\\" + std::string(1, e) + "` needs " + \
                                           std::to_string(digits) + " hexadecimal digits, found " +  \
                                           found(pos_ + 2 + d));                                  \
                cp = (cp << 4) | hex_value(h);                                                    \
            }                                                                                     \
            if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))                                  \
                fail(esc, "invalid escape sequence: " + std::string(s_.substr(esc, 2 + digits)) + \
                              " is not a Unicode scalar value", esc + 2 + digits);                \
            utf8::append(scratch_, cp);                                                            \
            pos_ += 2 + digits;                                                                   \
        }                                                                                         \
    } while (false)

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
            VORA_TOML_ESCAPE();
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

// A multi-line string: `"""` with escapes and line-ending backslashes, or
// `'''` taken as written.
NodeId Parser::parse_multiline(char quote) {
    const bool basic = quote == '"';
    const std::uint8_t closing = basic ? cls_quote : cls_apostrophe;
    // The classes taken as they stand: in a basic string also `'`, in a
    // literal one also `"` and `\`.
    const unsigned ordinary = (1u << plain) | (1u << cls_newline) |
                              (basic ? (1u << cls_apostrophe) : (1u << cls_quote) | (1u << cls_backslash));
    const std::string delimiter(3, quote);
    const std::size_t begin = pos_;
    pos_ += 3;
    newline();  // a line break right after the opening quotes is no part of the string
    const std::size_t content = pos_;
    bool copied = false;
    auto start_copy = [&] {
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
        if (pos_ >= n_) fail(begin, "unterminated string: expected `" + delimiter + "` before the end of the file", begin + 3);
        const std::uint8_t cls = classes.c[p[pos_]];
        if (cls == closing) {
            std::size_t run = 0;
            while (pos_ + run < n_ && s_[pos_ + run] == quote) ++run;
            if (run < 3) {
                if (copied) scratch_.append(run, quote);
                pos_ += run;
                continue;
            }
            if (run > 5)
                fail(pos_ + 5, std::string("too many quotes: a multi-line string ends at the third of at most five `") +
                                   quote + "`");
            // Up to two quotes just before the closing delimiter belong to the string.
            if (copied) scratch_.append(run - 3, quote);
            const std::size_t content_end = pos_ + run - 3;
            pos_ += run;
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
            // A line-ending backslash: the backslash, spaces and tabs, a line
            // break, then every space, tab and line break up to the next
            // other character are dropped.
            std::size_t j = pos_ + 1;
            while (j < n_ && (s_[j] == ' ' || s_[j] == '\t')) ++j;
            if (j < n_ && (s_[j] == '\n' || (s_[j] == '\r' && peek(j + 1) == '\n'))) {
                pos_ = j;
                for (;;) {
                    if (pos_ < n_ && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n')) {
                        ++pos_;
                    } else if (pos_ + 1 < n_ && s_[pos_] == '\r' && s_[pos_ + 1] == '\n') {
                        pos_ += 2;
                    } else {
                        break;
                    }
                }
                continue;
            }
            VORA_TOML_ESCAPE();
        } else if (basic) {
            fail(pos_, "the control character " + hex4(p[pos_]) + " must be escaped in a string");
        } else {
            fail(pos_, "literal strings may not hold the control character " + hex4(p[pos_]));
        }
    }
}

#undef VORA_TOML_ESCAPE

// ---------------------------------------------------------------------------
// Numbers, booleans, date-times
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
    expected(pos_, "a value");
}

// The common numbers without going through the general reading: digits
// without sign or underscores, of at most 18 significant digits, with an
// optional fraction and exponent, whose value is exact as an integer or
// takes one correctly rounded operation as a double (the mantissa below
// 2^53, the power of ten at most 22). Anything else is left to the general
// reading (no_node), and so is every error.
NodeId Parser::plain_decimal(std::size_t begin) {
    const char* s = s_.data();
    const std::size_t n = n_;
    std::size_t j = begin;
    std::uint64_t mantissa = 0;
    unsigned digits = 0;
    while (j < n && is_digit(s[j])) mantissa = mantissa * 10 + static_cast<unsigned>(s[j++] - '0');
    digits = static_cast<unsigned>(j - begin);
    if (digits == 0 || (s[begin] == '0' && digits > 1)) return no_node;
    int exponent = 0;
    bool is_float = false;
    if (j < n && s[j] == '.') {
        is_float = true;
        const std::size_t fraction = ++j;
        while (j < n && is_digit(s[j])) mantissa = mantissa * 10 + static_cast<unsigned>(s[j++] - '0');
        if (j == fraction) return no_node;
        digits += static_cast<unsigned>(j - fraction);
        exponent = -static_cast<int>(j - fraction);
    }
    if (digits > 18) return no_node;
    if (j < n && (s[j] == 'e' || s[j] == 'E')) {
        is_float = true;
        ++j;
        const bool minus = j < n && s[j] == '-';
        if (j < n && (s[j] == '-' || s[j] == '+')) ++j;
        const std::size_t first = j;
        int written = 0;
        while (j < n && is_digit(s[j]) && j - first < 4) written = written * 10 + (s[j++] - '0');
        if (j == first) return no_node;
        exponent += minus ? -written : written;
    }
    if (j < n) {
        const char d = s[j];
        if (d != ' ' && d != '\t' && d != '\n' && d != '\r' && d != ',' && d != ']' && d != '}' && d != '#') return no_node;
    }
    if (!is_float) {
        const NodeId id = new_node(Type::Integer, span(begin, j));
        node(id).v.u = mantissa;
        pos_ = j;
        return id;
    }
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (mantissa > (std::uint64_t{1} << 53) || exponent < -22 || exponent > 22) return no_node;
    const double m = static_cast<double>(mantissa);
    const NodeId id = new_node(Type::Float, span(begin, j));
    node(id).v.f = exponent < 0 ? m / powers[-exponent] : m * powers[exponent];
    pos_ = j;
    return id;
}

NodeId Parser::parse_number_or_date() {
    const std::size_t begin = pos_;
    // Date-times start with four digits and `-`, times with two and `:`.
    if (begin + 4 < n_ && is_digit(s_[begin]) && is_digit(s_[begin + 1]) && is_digit(s_[begin + 2]) &&
        is_digit(s_[begin + 3]) && s_[begin + 4] == '-')
        return parse_date_time(begin, true);
    if (begin + 2 < n_ && is_digit(s_[begin]) && is_digit(s_[begin + 1]) && s_[begin + 2] == ':')
        return parse_date_time(begin, false);
    if (const NodeId id = plain_decimal(begin); id != no_node) return id;

    std::size_t i = begin;
    bool negative = false;
    const bool sign = s_[i] == '+' || s_[i] == '-';
    if (sign) {
        negative = s_[i] == '-';
        ++i;
    }
    // inf and nan
    if (s_.substr(i, 3) == "inf" || s_.substr(i, 3) == "nan") {
        const bool inf = s_[i] == 'i';
        pos_ = i + 3;
        const NodeId id = new_node(Type::Float, span(begin, pos_));
        double v = inf ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
        node(id).v.f = negative ? -v : v;
        return id;
    }
    if (!is_digit(peek(i))) expected(i, sign ? "a digit, `inf` or `nan` after the sign" : "a value");

    auto literal_end = [&](std::size_t from) {
        std::size_t j = from;
        while (j < n_) {
            const char d = s_[j];
            if (is_hex(d) || d == '_' || d == '.' || d == '+' || d == '-' || d == 'x' || d == 'o' || d == 'p' ||
                d == 'P' || d == 'X' || d == 'O' || d == 'B' || (d >= 'g' && d <= 'z') || (d >= 'G' && d <= 'Z'))
                ++j;
            else
                break;
        }
        return j;
    };

    // Radix integers: 0x, 0o, 0b, never signed.
    if (s_[i] == '0' && (peek(i + 1) == 'x' || peek(i + 1) == 'o' || peek(i + 1) == 'b')) {
        const char kind = s_[i + 1];
        const unsigned base = kind == 'x' ? 16 : kind == 'o' ? 8 : 2;
        const char* what = kind == 'x' ? "hexadecimal" : kind == 'o' ? "octal" : "binary";
        std::size_t j = i + 2;
        std::uint64_t value = 0;
        bool overflow = false;
        bool any = false;
        for (;; ++j) {
            const char d = peek(j);
            if (d == '_') {
                if (!any || !(j + 1 < n_ && is_hex(s_[j + 1]) && hex_value(s_[j + 1]) < base))
                    fail(j, std::string("invalid ") + what + " integer: `_` must stand between two digits");
                continue;
            }
            if (!is_hex(d) || hex_value(d) >= base) break;
            any = true;
            const unsigned digit = hex_value(d);
            if (!overflow) {
                std::uint64_t shifted;
                if (__builtin_mul_overflow(value, std::uint64_t{base}, &shifted) ||
                    __builtin_add_overflow(shifted, std::uint64_t{digit}, &value))
                    overflow = true;
            }
        }
        if (!any) fail(j, std::string("invalid ") + what + " integer: expected a digit after `0" + kind + "`, found " + found(j));
        if (base == 16 && (peek(j) == '.' || peek(j) == 'p' || peek(j) == 'P'))
            fail(begin, "hexadecimal floats are not allowed", literal_end(j));
        if (sign) fail(begin, "a hexadecimal, octal or binary integer may not have a sign", i + 2);
        if (j < n_ && (is_hex(s_[j]) || (s_[j] >= 'g' && s_[j] <= 'z') || (s_[j] >= 'G' && s_[j] <= 'Z') || s_[j] == '.'))
            fail(j, std::string("invalid ") + what + " integer: unexpected " + found(j));
        pos_ = j;
        if (overflow) fail(begin, "integer number overflowed", j);
        const NodeId id = new_node(Type::Integer, span(begin, pos_));
        node(id).v.u = value;
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) node(id).flags |= wide_integer;
        return id;
    }

    // Decimal: integer part, then an optional fraction and exponent.
    const std::size_t int_begin = i;
    auto digits = [&](std::size_t& j, const char* part, bool leading_zero_ok) {
        if (!is_digit(peek(j))) fail(j, std::string("invalid number: expected a digit ") + part + ", found " + found(j));
        const std::size_t first = j;
        for (;;) {
            if (is_digit(peek(j))) {
                ++j;
            } else if (peek(j) == '_') {
                if (!is_digit(peek(j + 1))) fail(j, "invalid number: `_` must stand between two digits");
                ++j;
            } else {
                break;
            }
        }
        if (!leading_zero_ok && s_[first] == '0' && j > first + 1)
            fail(first, "invalid number: leading zeros are not allowed", j);
    };
    std::size_t j = i;
    digits(j, "", false);
    const std::size_t int_end = j;
    bool is_float = false;
    if (peek(j) == '.') {
        is_float = true;
        ++j;
        digits(j, "after the decimal point", true);
    }
    if (peek(j) == 'e' || peek(j) == 'E') {
        is_float = true;
        ++j;
        if (peek(j) == '+' || peek(j) == '-') ++j;
        digits(j, "in the exponent", true);
    }
    const std::size_t end = j;
    if (j < n_) {
        const char d = s_[j];
        if (is_digit(d) || (d >= 'a' && d <= 'z') || (d >= 'A' && d <= 'Z') || d == '_' || d == '.')
            fail(j, "invalid number: unexpected " + found(j));
        if ((d == ':' || d == '-') && !is_float)
            fail(j, "invalid number: unexpected " + found(j) + " (dates are written YYYY-MM-DD, times HH:MM)");
    }
    pos_ = end;

    if (!is_float) {
        std::uint64_t value = 0;
        bool overflow = false;
        for (std::size_t k = int_begin; k < int_end; ++k) {
            if (s_[k] == '_') continue;
            std::uint64_t shifted;
            if (__builtin_mul_overflow(value, std::uint64_t{10}, &shifted) ||
                __builtin_add_overflow(shifted, std::uint64_t(s_[k] - '0'), &value)) {
                overflow = true;
                break;
            }
        }
        constexpr auto signed_max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
        if (overflow || (negative && value > signed_max + 1)) fail(begin, "integer number overflowed", end);
        const NodeId id = new_node(Type::Integer, span(begin, end));
        Node& nd = node(id);
        if (negative) {
            nd.v.i = value == signed_max + 1 ? std::numeric_limits<std::int64_t>::min()
                                             : -static_cast<std::int64_t>(value);
        } else {
            nd.v.u = value;
            if (value > signed_max) nd.flags |= wide_integer;
        }
        return id;
    }

    // A float: the digits without underscores, read as the nearest double.
    scratch_.clear();
    for (std::size_t k = begin; k < end; ++k)
        if (s_[k] != '_' && s_[k] != '+') scratch_ += s_[k];
    // A '+' after the exponent mark was dropped above; from_chars accepts
    // "e5" and "e-5" alike.
    double value = 0;
    const char* first = scratch_.data();
    const char* last = first + scratch_.size();
    const auto result = std::from_chars(first, last, value);
    if (result.ec == std::errc::result_out_of_range) {
        // Too large, or too small to tell from zero: the decimal exponent of
        // the first significant digit tells which.
        const std::string_view digits(scratch_);
        const std::size_t mark = std::min(digits.find_first_of("eE"), digits.size());
        const std::string_view mantissa = digits.substr(0, mark);
        const auto point = static_cast<long long>(std::min(mantissa.find('.'), mantissa.size()));
        const auto first = static_cast<long long>(mantissa.find_first_of("123456789"));
        long long exponent = first < point ? point - first - 1 : point - first;
        long long written = 0;  // the exponent as written, capped far beyond any double
        for (char c : digits.substr(std::min(mark + 1, digits.size())))
            if (c != '-' && written < 100000000) written = written * 10 + (c - '0');
        exponent += digits.find('-', mark) != std::string_view::npos ? -written : written;
        if (exponent > 0) fail(begin, "floating-point number overflowed", end);
        value = negative ? -0.0 : 0.0;
    } else if (result.ec != std::errc() || result.ptr != last) {
        fail(begin, "invalid number", end);
    }
    const NodeId id = new_node(Type::Float, span(begin, end));
    node(id).v.f = value;
    return id;
}

NodeId Parser::parse_date_time(std::size_t begin, bool date) {
    DateTime dt;
    std::size_t i = begin;
    auto two = [&](std::size_t at, const char* what) -> unsigned {
        if (!is_digit(peek(at)) || !is_digit(peek(at + 1))) {
            const std::size_t bad = is_digit(peek(at)) ? at + 1 : at;
            fail(bad, std::string("invalid date-time: expected two digits for the ") + what + ", found " + found(bad));
        }
        return static_cast<unsigned>((s_[at] - '0') * 10 + (s_[at + 1] - '0'));
    };
    bool has_date = false;
    bool has_time = false;
    bool has_offset = false;
    if (date) {
        has_date = true;
        const unsigned year = static_cast<unsigned>((s_[i] - '0') * 1000 + (s_[i + 1] - '0') * 100 + (s_[i + 2] - '0') * 10 + (s_[i + 3] - '0'));
        i += 5;
        const unsigned month = two(i, "month");
        if (month < 1 || month > 12) fail(i, "invalid date: the month must be 01 to 12", i + 2);
        i += 2;
        if (peek(i) != '-') expected(i, "`-` between the month and the day");
        ++i;
        const unsigned day = two(i, "day");
        if (day < 1 || day > days_in_month(year, month))
            fail(i, "invalid date: " + std::string(s_.substr(begin, i + 2 - begin)) + " does not exist", i + 2);
        i += 2;
        dt.year = static_cast<std::uint16_t>(year);
        dt.month = static_cast<std::uint8_t>(month);
        dt.day = static_cast<std::uint8_t>(day);
        // A time follows after `T`, `t` or a space that is followed by digits.
        const char d = peek(i);
        if (d == 'T' || d == 't' || (d == ' ' && is_digit(peek(i + 1)) && is_digit(peek(i + 2)) && peek(i + 3) == ':')) {
            ++i;
            has_time = true;
        }
    } else {
        has_time = true;
    }
    if (has_time) {
        const unsigned hour = two(i, "hour");
        if (hour > 23) fail(i, "invalid time: the hour must be 00 to 23", i + 2);
        i += 2;
        if (peek(i) != ':') expected(i, "`:` between the hour and the minute");
        ++i;
        const unsigned minute = two(i, "minute");
        if (minute > 59) fail(i, "invalid time: the minute must be 00 to 59", i + 2);
        i += 2;
        dt.hour = static_cast<std::uint8_t>(hour);
        dt.minute = static_cast<std::uint8_t>(minute);
        if (peek(i) == ':') {
            ++i;
            const unsigned second = two(i, "second");
            if (second > 59) fail(i, "invalid time: the second must be 00 to 59", i + 2);
            i += 2;
            dt.second = static_cast<std::uint8_t>(second);
            dt.has_seconds = true;
            if (peek(i) == '.') {
                ++i;
                if (!is_digit(peek(i))) expected(i, "a digit after the decimal point of the seconds");
                std::uint32_t nanos = 0;
                unsigned count = 0;
                while (is_digit(peek(i))) {
                    if (count < 9) nanos = nanos * 10 + static_cast<std::uint32_t>(s_[i] - '0');
                    ++count;
                    ++i;
                }
                for (unsigned k = count; k < 9; ++k) nanos *= 10;
                dt.nanosecond = nanos;
                dt.fraction_digits = static_cast<std::uint8_t>(count > 255 ? 255 : count);
            }
        }
        if (has_date) {
            const char d = peek(i);
            if (d == 'Z' || d == 'z') {
                has_offset = true;
                ++i;
            } else if (d == '+' || d == '-') {
                has_offset = true;
                const std::size_t at = i;
                ++i;
                const unsigned oh = two(i, "offset hours");
                if (oh > 23) fail(i, "invalid offset: the hours must be 00 to 23", i + 2);
                i += 2;
                if (peek(i) != ':') expected(i, "`:` between the hours and minutes of the offset");
                ++i;
                const unsigned om = two(i, "offset minutes");
                if (om > 59) fail(i, "invalid offset: the minutes must be 00 to 59", i + 2);
                i += 2;
                const int minutes = static_cast<int>(oh * 60 + om);
                dt.offset_minutes = static_cast<std::int16_t>(s_[at] == '-' ? -minutes : minutes);
            }
        }
    }
    // Nothing may stick to the value.
    if (i < n_) {
        const char d = s_[i];
        if (is_digit(d) || (d >= 'a' && d <= 'z') || (d >= 'A' && d <= 'Z') || d == '_' || d == '.' || d == ':' ||
            d == '-' || d == '+')
            fail(i, "invalid date-time: unexpected " + found(i));
    }
    pos_ = i;
    const Type type = !has_date ? Type::LocalTime
                      : !has_time ? Type::LocalDate
                      : has_offset ? Type::OffsetDateTime
                                   : Type::LocalDateTime;
    const NodeId id = new_node(type, span(begin, i));
    node(id).v.r = {static_cast<std::uint32_t>(doc_.date_times_.size()), 0};
    doc_.date_times_.push_back(dt);
    return id;
}

// ---------------------------------------------------------------------------
// Arrays and inline tables, without recursion
// ---------------------------------------------------------------------------

NodeId Parser::parse_value(std::uint32_t depth) {
    stack_.clear();
    NodeId value;
    for (;;) {
        // A value starts here.
        const char c = peek(pos_);
        if (c == '[') {
            check_depth(depth, pos_);
            const NodeId a = new_node(Type::Array, span(pos_, pos_));
            stack_.push_back(Frame{a, false, depth});
            ++pos_;
            skip_ws_comments_newlines();
            if (peek(pos_) != ']') {
                ++depth;
                continue;
            }
            ++pos_;
            stack_.pop_back();
            node(a).end = static_cast<std::uint32_t>(pos_);
            value = a;
        } else if (c == '{') {
            check_depth(depth, pos_);
            const NodeId t = new_node(Type::Table, span(pos_, pos_));
            set_state(t, inline_table);
            stack_.push_back(Frame{t, true, depth});
            ++pos_;
            skip_ws_comments_newlines();
            if (peek(pos_) == '}') {
                ++pos_;
                stack_.pop_back();
                node(t).end = static_cast<std::uint32_t>(pos_);
                value = t;
            } else {
                // The first key of the inline table.
                goto inline_key;
            }
        } else {
            value = parse_scalar();
        }

        // A value is complete: hand it to the innermost open container.
        for (;;) {
            if (stack_.empty()) return value;
            Frame& top = stack_.back();
            if (!top.table) {
                append_element(top.node, value);
                skip_ws_comments_newlines();
                if (peek(pos_) == ',') {
                    ++pos_;
                    skip_ws_comments_newlines();
                    if (peek(pos_) != ']') {
                        depth = top.depth + 1;
                        break;  // the next element
                    }
                } else if (peek(pos_) != ']') {
                    expected(pos_, "`,` or `]` after an array element");
                }
                ++pos_;
                node(top.node).end = static_cast<std::uint32_t>(pos_);
                value = top.node;
                stack_.pop_back();
                continue;
            }
            // The value of the pending key of an inline table.
            doc_.entries_[pending_.back()].value = value;
            pending_.pop_back();
            skip_ws_comments_newlines();
            if (peek(pos_) == ',') {
                ++pos_;
                skip_ws_comments_newlines();
                if (peek(pos_) != '}') goto inline_key;
            } else if (peek(pos_) != '}') {
                expected(pos_, "`,` or `}` after a value in an inline table");
            }
            ++pos_;
            node(top.node).end = static_cast<std::uint32_t>(pos_);
            value = top.node;
            stack_.pop_back();
            continue;
        }
        continue;

    inline_key : {
        // A key/value pair inside the innermost inline table.
        const Frame top = stack_.back();
        read_key("a key or `}`");
        if (peek(pos_) != '=') expected(pos_, "`=` after the key");
        ++pos_;
        skip_ws();
        std::uint32_t holder_depth = 0;
        const NodeId holder = dotted_parent(top.node, top.depth, &holder_depth, false);
        const Segment& last = keys_.back();
        std::uint32_t tag = 0;
        if (find(holder, name(last), &tag) != no_node)
            fail(last.begin, "duplicate key " + key_path(keys_.size()) + " in an inline table", last.end);
        pending_.push_back(add_entry(holder, last, no_node, tag));
        depth = holder_depth + 1;
        continue;
    }
    }
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
        const Node& nd = node(v);
        if (nd.type == Type::Table) {
            const std::uint8_t st = state(v);
            if (st == header_table)
                fail(k.begin, "cannot add keys to table " + key_path(i + 1, within_header) + " here: it is defined by its own [" +
                                  key_path(i + 1, within_header) + "] header",
                     k.end);
            if (st == inline_table)
                fail(k.begin, "cannot add keys to " + key_path(i + 1, within_header) + ": it is an inline table, closed when written",
                     k.end);
            if (st == implicit_table) set_state(v, dotted_table);
            cur = v;
            continue;
        }
        if (nd.type == Type::Array && (nd.flags & array_of_tables))
            fail(k.begin, "cannot add keys to " + key_path(i + 1, within_header) + " with a dotted key: it is an array of tables",
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
    std::size_t i = pos_;
    while (i < n_ && bare_key_chars.c[static_cast<unsigned char>(s[i])]) ++i;
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
    if (find(holder, name(last), &tag) != no_node)
        fail(last.begin, "duplicate key " + key_path(keys_.size(), true), last.end);
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
    const std::size_t end = pos_;
    const Range header_span = span(begin, end);

    NodeId cur = 0;
    std::uint32_t depth = 0;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        const Segment& k = keys_[i];
        const bool last = i + 1 == keys_.size();
        ++depth;
        check_depth(depth, k.begin);
        std::uint32_t tag = 0;
        const std::uint32_t e = find(cur, name(k), &tag);
        if (e == no_node) {
            if (last && array) {
                const NodeId a = new_node(Type::Array, header_span);
                node(a).flags |= array_of_tables;
                add_entry(cur, k, a, tag);
                ++depth;
                check_depth(depth, k.begin);
                const NodeId t = new_node(Type::Table, header_span);
                set_state(t, header_table);
                append_element(a, t);
                cur = t;
            } else {
                const NodeId t = new_node(Type::Table, header_span);
                set_state(t, last ? header_table : implicit_table);
                add_entry(cur, k, t, tag);
                cur = t;
            }
            continue;
        }
        const NodeId v = doc_.entries_[e].value;
        const Node nd = node(v);
        if (nd.type == Type::Table) {
            const std::uint8_t st = state(v);
            if (st == inline_table)
                fail(k.begin, "cannot add to " + key_path(i + 1) + ": it is an inline table, closed when written",
                     k.end);
            if (last) {
                if (array)
                    fail(k.begin, "cannot define " + key_path(i + 1) + " as an array of tables: it is already a table",
                         k.end);
                if (st != implicit_table)
                    fail(k.begin, "table " + key_path(i + 1) + " is defined more than once", k.end);
                set_state(v, header_table);
                node(v).begin = header_span.begin;
                node(v).end = header_span.end;
            }
            cur = v;
            continue;
        }
        if (nd.type == Type::Array && (nd.flags & array_of_tables)) {
            ++depth;
            if (last) {
                if (!array)
                    fail(k.begin, "cannot define " + key_path(i + 1) + " as a table: it is already an array of tables",
                         k.end);
                check_depth(depth, k.begin);
                const NodeId t = new_node(Type::Table, header_span);
                set_state(t, header_table);
                append_element(v, t);
                cur = t;
            } else {
                cur = nd.v.r.last;
            }
            continue;
        }
        if (nd.type == Type::Array)
            fail(k.begin, "cannot add to " + key_path(i + 1) + ": it is an array written as a value", k.end);
        fail(k.begin, "cannot use " + key_path(i + 1) + " as a table: it already holds a value", k.end);
    }
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
        doc_.first_ = 3;
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
    doc_.marks_ = std::make_shared<Document::Marks>();
}

Result parse(std::string_view text, const Options& options) {
    Document doc;
    Parser parser(text, options, doc);
    try {
        parser.run();
    } catch (const Failure&) {
        return std::move(parser.error);
    }
    return doc;
}

}  // namespace vora::toml
