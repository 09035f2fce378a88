// The document's arena: the handles that read it (Value, Table, Array,
// Member), the lookup of keys, and the parser's side of both, which adds
// nodes and entries and keeps the index of large tables.

#include <cstring>
#include <utility>

#include "toml/parser.hpp"

namespace vora::toml {

using detail::Entry;
using detail::in_buffer;
using detail::Node;

Type Value::type() const { return doc_->node(id_).type; }
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

std::uint32_t Document::find_entry(NodeId table, std::string_view key) const {
    if (nodes_[table].count < index_threshold) return find_listed(table, key);
    return find_indexed(table, key, static_cast<std::uint32_t>(hash_key(table, key) >> 32));
}

// A small table is searched along its list of entries (index_threshold).
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
            index_entry(table, x,
                        static_cast<std::uint32_t>(hash_key(table, doc_.stored(entry.name, entry.name_len)) >> 32));
        }
        return id;
    }
    index_entry(table, id, tag);
    return id;
}

void Parser::index_entry(NodeId table, std::uint32_t entry, std::uint32_t tag) {
    // At most 70 % of the slots are taken: linear probing then reads about
    // 2 slots for a key that is there and 6 for one that is not (the usual
    // estimates, (1 + 1/(1 - a)) / 2 and (1 + 1/(1 - a)^2) / 2), and the
    // index, just grown, takes at most 12 / 0.35 = 34 bytes an entry.
    if ((++indexed_) * 10 > doc_.slots_.size() * 7) grow_index();
    const std::size_t mask = doc_.slots_.size() - 1;
    std::size_t i = tag & mask;
    while (doc_.slots_[i].entry != no_node) i = (i + 1) & mask;
    doc_.slots_[i] = Document::Slot{table, entry, tag};
}

void Parser::grow_index() {
    // 64 slots first: the first table indexed brings index_threshold (16)
    // entries, and room for 28 more before the first growth.
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

}  // namespace vora::toml
