// A TOML 1.1.0 reader.
//
// `parse` reads a whole document in one pass into a `Document`: an arena of
// nodes (tables, arrays and scalar values) and table entries, each carrying
// the span of its source text. Strings are views into the text where the file
// wrote them without escapes; the others live in one buffer of the document.
// Nothing here is recursive, so hostile nesting cannot exhaust the stack; the
// nesting depth is bounded all the same (`Options::max_depth`).
//
// A document refers to the text it was read from: keep the text alive and
// unchanged for as long as the document is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <utility>
#include <vector>

namespace vora::toml {

// Lines and columns are 1-based; columns count Unicode scalar values (a tab
// or a carriage return counts one). `end` is exclusive.
struct Position {
    std::uint32_t line = 1;
    std::uint32_t column = 1;
    friend bool operator==(const Position&, const Position&) = default;
};

struct Span {
    Position begin;
    Position end;
    friend bool operator==(const Span&, const Span&) = default;
};

enum class Type : std::uint8_t {
    Table,
    Array,
    String,
    Integer,
    Float,
    Boolean,
    OffsetDateTime,
    LocalDateTime,
    LocalDate,
    LocalTime,
};

// The date and time parts of a date-time value. Which parts are meaningful
// follows from the value's type; seconds omitted in the file read as 0.
struct DateTime {
    std::uint16_t year = 0;
    std::uint8_t month = 0;
    std::uint8_t day = 0;
    std::uint8_t hour = 0;
    std::uint8_t minute = 0;
    std::uint8_t second = 0;
    bool has_seconds = false;
    std::uint32_t nanosecond = 0;      // fractional digits beyond nine are truncated
    std::int16_t offset_minutes = 0;   // offset date-times only; `Z` is 0
    std::uint8_t fraction_digits = 0;  // digits written after the decimal point, at most 255 counted
};

using NodeId = std::uint32_t;
inline constexpr NodeId no_node = 0xFFFFFFFFu;

class Document;
class Table;
class Array;

// A value of a document: a light handle, valid while its document lives.
class Value {
public:
    Value() = default;
    Value(const Document* doc, NodeId id) : doc_(doc), id_(id) {}

    explicit operator bool() const { return doc_ != nullptr && id_ != no_node; }
    NodeId id() const { return id_; }
    Type type() const;
    // The byte offsets in the text where the value starts and ends: its
    // literal, or for a table the header or key that opened it.
    std::uint32_t offset() const;
    std::uint32_t end_offset() const;

    bool is_table() const { return type() == Type::Table; }
    bool is_array() const { return type() == Type::Array; }
    bool is_string() const { return type() == Type::String; }
    bool is_integer() const { return type() == Type::Integer; }
    bool is_float() const { return type() == Type::Float; }
    bool is_boolean() const { return type() == Type::Boolean; }
    bool is_date_time() const;

    Table as_table() const;  // precondition: is_table()
    Array as_array() const;  // precondition: is_array()
    std::string_view as_string() const;
    bool as_boolean() const;
    double as_float() const;
    // Integers: every literal fits a signed or an unsigned 64-bit integer
    // (parse refuses any other). `is_wide` tells a value above the signed
    // range, held by `as_unsigned`.
    bool is_wide() const;
    std::int64_t as_signed() const;     // precondition: !is_wide()
    std::uint64_t as_unsigned() const;  // precondition: is_wide() or as_signed() >= 0
    DateTime as_date_time() const;

private:
    const Document* doc_ = nullptr;
    NodeId id_ = no_node;
};

// One entry of a table: its key (the last segment, unescaped), its value,
// and the span of the key as first written.
struct Member {
    std::string_view key;
    Value value;
    const Document* doc = nullptr;
    std::uint32_t entry = 0;

    // The byte offsets of the key as first written: [first, second).
    std::pair<std::uint32_t, std::uint32_t> key_offsets() const;
};

// The entries of a table in the order of their first definition in the file.
class Table {
public:
    class iterator {
    public:
        using value_type = Member;
        using difference_type = std::ptrdiff_t;
        using iterator_category = std::forward_iterator_tag;
        iterator() = default;
        iterator(const Document* doc, std::uint32_t entry) : doc_(doc), entry_(entry) {}
        Member operator*() const;
        iterator& operator++();
        iterator operator++(int) {
            iterator old = *this;
            ++*this;
            return old;
        }
        friend bool operator==(const iterator& a, const iterator& b) { return a.entry_ == b.entry_; }

    private:
        const Document* doc_ = nullptr;
        std::uint32_t entry_ = no_node;
    };

    Table(const Document* doc, NodeId id) : doc_(doc), id_(id) {}
    iterator begin() const;
    iterator end() const { return iterator(doc_, no_node); }
    bool empty() const { return begin() == end(); }
    std::size_t size() const;
    // The value under `key`, or an empty Value.
    Value get(std::string_view key) const;
    // The entry under `key`, when there is one.
    std::optional<Member> member(std::string_view key) const;
    Value value() const { return Value(doc_, id_); }

private:
    const Document* doc_;
    NodeId id_;
};

// The elements of an array in order.
class Array {
public:
    class iterator {
    public:
        using value_type = Value;
        using difference_type = std::ptrdiff_t;
        using iterator_category = std::forward_iterator_tag;
        iterator() = default;
        iterator(const Document* doc, NodeId node) : doc_(doc), node_(node) {}
        Value operator*() const { return Value(doc_, node_); }
        iterator& operator++();
        iterator operator++(int) {
            iterator old = *this;
            ++*this;
            return old;
        }
        friend bool operator==(const iterator& a, const iterator& b) { return a.node_ == b.node_; }

    private:
        const Document* doc_ = nullptr;
        NodeId node_ = no_node;
    };

    Array(const Document* doc, NodeId id) : doc_(doc), id_(id) {}
    iterator begin() const;
    iterator end() const { return iterator(doc_, no_node); }
    bool empty() const { return begin() == end(); }
    std::size_t size() const;
    Value value() const { return Value(doc_, id_); }

private:
    const Document* doc_;
    NodeId id_;
};

namespace detail {

// Spans are kept as byte offsets into the text and turned into lines and
// columns when asked for (Document::span_of).
struct Node {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    Type type = Type::Table;
    std::uint8_t flags = 0;
    std::uint16_t count = 0;       // tables: entries so far, saturating
    std::uint32_t next = no_node;  // the next element of the enclosing array
    union {
        std::int64_t i;
        std::uint64_t u;
        double f;
        bool b;
        struct {
            std::uint32_t first;  // table: first entry; array: first node; string/date-time: offset
            std::uint32_t last;   // table: last entry; array: last node; string/date-time: length
        } r;
    } v{};
};
static_assert(sizeof(Node) == 24);

struct Entry {
    std::uint32_t key_begin = 0;  // the key as first written
    std::uint32_t key_end = 0;
    std::uint32_t name = 0;      // offset of the key's text
    std::uint32_t name_len = 0;  // its length; the top bit set when it lies in the document's buffer
    NodeId value = no_node;
    std::uint32_t next = no_node;  // the next entry of the same table
};
static_assert(sizeof(Entry) == 24);

inline constexpr std::uint32_t in_buffer = 0x80000000u;

}  // namespace detail

class Document {
public:
    Value root() const { return Value(this, 0); }
    Table root_table() const { return Table(this, 0); }
    std::string_view text() const { return text_; }

    // Sizes of the arena, for measurements.
    std::size_t node_count() const { return nodes_.size(); }
    std::size_t entry_count() const { return entries_.size(); }

private:
    friend class Value;
    friend class Table;
    friend class Array;
    friend class Parser;
    friend struct Member;

    const detail::Node& node(NodeId id) const { return nodes_[id]; }
    std::string_view stored(std::uint32_t offset, std::uint32_t length) const {
        return (length & detail::in_buffer) ? std::string_view(buffer_).substr(offset, length & ~detail::in_buffer)
                                            : text_.substr(offset, length);
    }
    std::uint32_t find_entry(NodeId table, std::string_view key) const;
    std::uint32_t find_listed(NodeId table, std::string_view key) const;
    std::uint32_t find_indexed(NodeId table, std::string_view key, std::uint32_t tag) const;

    std::string_view text_;
    std::vector<detail::Node> nodes_;
    std::vector<detail::Entry> entries_;
    std::string buffer_;  // unescaped strings and keys
    std::vector<DateTime> date_times_;
    // Open-addressing index of the entries by (table, key).
    struct Slot {
        NodeId table;
        std::uint32_t entry;
        std::uint32_t tag;  // the key's hash: picks its home slot, and passes over other keys unread
    };
    std::vector<Slot> slots_;
};

// The largest document `parse` reads, in bytes (offsets into it are 32-bit),
// and the message of the error for a larger one.
inline constexpr std::size_t max_document_size = 0x7FFFFFEFu;
inline constexpr std::string_view too_large_message = "the document is too large (2 GiB at most)";

struct Options {
    // Tables and arrays may nest at most this deep (the root table is level 0).
    std::uint32_t max_depth = 4096;
};

// Another place an error concerns, where the reader knows one: where a
// key defined twice was defined first, where an unclosed array opened.
struct ErrorPlace {
    std::string_view label;            // a few plain words: "first defined here"
    std::uint32_t begin = 0, end = 0;  // byte offsets into the text, [begin, end)
};

// The first error in the document, in file order.
struct Error {
    std::string message;
    Span span;                         // where the offending text starts (and, where known, ends)
    std::uint32_t begin = 0, end = 0;  // the same as byte offsets into the text
    std::optional<ErrorPlace> related{};
};

using Result = std::variant<Document, Error>;

// Reads `text` as a TOML 1.1.0 document. The text must outlive the result.
// A leading byte-order mark is skipped and not counted in columns.
Result parse(std::string_view text, const Options& options = {});

}  // namespace vora::toml
