#include "lint/lint.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>

#include "configuration/load.hpp"
#include "configuration/structs.hpp"
#include "text/format.hpp"
#include "lint/phrases.hpp"
#include "lint/suggest.hpp"
#include "text/utf8.hpp"

namespace vora::lint {

// The unknown-name check's records (Findings::Name), and the table of their
// fixed texts that this check's run owns: the ends of their messages
// (" is not a key of [config]; the converter ignores it" and a hint's
// tail), the hints' suggestions and the sections checked as. They come from
// the configuration's names, so there are few of them.
class UnknownNames {
public:
    // `text`: the checked text, whose size bounds the keys' bytes.
    UnknownNames(Findings& findings, std::string_view text) : findings_(findings), text_size_(text.size()) {}

    // Room for `count` more records.
    void reserve(std::size_t count) { findings_.names_.reserve(findings_.names_.size() + count); }

    // Keeps the finding of the unknown key `key`, written bare at `begin`:
    // of a section (`section`), or of a key ending its message with `where`.
    // False (nothing kept) when the table of texts is full.
    bool add(std::string_view key, std::size_t begin, bool section, std::string_view where,
             const std::optional<Hint>& hint) {
        Findings::Name name;
        name.begin = static_cast<std::uint32_t>(begin);
        name.end = static_cast<std::uint32_t>(begin + key.size());
        name.key = static_cast<std::uint32_t>(findings_.keys_.size());
        name.flags = section ? Findings::kSection : 0;
        if (hint) {
            name.tail = index(tail(section, where, hint->tail));
            name.suggestion = index(hint->suggestion);
        } else {
            // Most often the one of the key before.
            if (section != section_ || where != where_) {
                section_ = section;
                where_.assign(where);
                tail_ = index(tail(section, where, {}));
            }
            name.tail = tail_;
        }
        if (!as_section_.empty()) name.as_section = as_index_;
        if (name.tail == 0 || (hint && name.suggestion == 0) || (!as_section_.empty() && name.as_section == 0))
            return false;
        // Room for every key at the first: the keys are distinct bytes of
        // the text, and room never written is never resident. (Grown as it
        // filled, a million keys' 10 MB raised check's peak by 16 MB.)
        if (findings_.keys_.capacity() < text_size_) findings_.keys_.reserve(text_size_);
        findings_.keys_ += key;
        findings_.names_.push_back(name);
        return true;
    }

    // Marks the records kept from now on as of keys checked as `section`'s
    // (none when empty).
    void check_as(std::string_view section) {
        as_section_ = section;
        as_index_ = section.empty() ? 0 : index(section);
    }

private:
    // What follows the key in the message: " is not a key" and `where`, or
    // " is not a section", then "; the converter ignores it" and the hint's
    // tail.
    static std::string tail(bool section, std::string_view where, std::string_view hint) {
        std::string out(section ? kNotASection : kNotAKey);
        if (!section) out += where;
        out += kIgnored;
        out += hint;
        return out;
    }

    // The index of the text, added when new; 0 when the table is full.
    std::uint16_t index(std::string_view text) {
        if (const auto found = index_.find(text); found != index_.end()) return found->second;
        std::vector<std::string>& texts = findings_.texts_;
        if (texts.size() >= kMost) return 0;
        texts.emplace_back(text);
        const auto at = static_cast<std::uint16_t>(texts.size());
        index_.emplace(std::string(text), at);
        return at;
    }

    static constexpr std::size_t kMost = 0xFFFF;  // an index is 16 bits
    Findings& findings_;
    std::size_t text_size_;
    std::map<std::string, std::uint16_t, std::less<>> index_;  // of each text
    bool section_ = false;                                     // the last record without a hint: of a section
    std::string where_;                                        // its end of a key's message
    std::uint16_t tail_ = 0;                                   // and its tail
    std::string_view as_section_;                              // the section keys are checked as
    std::uint16_t as_index_ = 0;                               // and its index
};

void Findings::read_name(const Findings& findings, const Name& name, Finding& out) {
    const auto text = [&](std::uint16_t at) -> const std::string& { return findings.texts_[at - 1]; };
    const bool section = name.flags & kSection;
    out.severity = Severity::Error;
    out.code = section ? kUnknownSection : kUnknownKey;
    out.range = Range{name.begin, name.end};
    // "`KEY`" or "[KEY]", then the tail: made in place, as a record is read
    // for every finding written.
    const std::size_t length = name.end - name.begin;
    const std::string& tail = text(name.tail);
    out.message.resize(length + 2 + tail.size());
    char* at = out.message.data();
    *at++ = section ? '[' : '`';
    std::memcpy(at, findings.keys_.data() + name.key, length);
    at += length;
    *at++ = section ? ']' : '`';
    std::memcpy(at, tail.data(), tail.size());
    if (name.suggestion) {
        out.suggestion = text(name.suggestion);
    } else {
        out.suggestion.reset();
    }
    out.fix.reset();
    out.related.clear();
    out.help.reset();
    out.help_lead = kExpectedLead;
    out.silenced = name.flags & kSilenced;
    if (name.as_section) {
        out.as_section = text(name.as_section);
    } else {
        out.as_section.reset();
    }
}

namespace {

using namespace std::string_view_literals;

// Whether the section's table holds the tag key besides its record's keys.
template <class Field>
constexpr bool tagged = std::is_same_v<section_value_t<Field>, LoadConfig>;

// The keys a section's table may hold, in declaration order (the tag first).
template <class Field>
const Vocabulary& known_keys() {
    static const Vocabulary keys = [] {
        std::vector<std::string_view> k;
        if (tagged<Field>) k.push_back(LoadConfig::tag_key);
        for_each_field<section_record_t<Field>>([&](const auto& f, std::size_t) { k.push_back(f.key); });
        return Vocabulary(k);
    }();
    return keys;
}

const Vocabulary& section_names() {
    static const Vocabulary names = [] {
        std::vector<std::string_view> n;
        for_each_field<Configuration>([&](const auto& f, std::size_t) { n.push_back(f.key); });
        return Vocabulary(n);
    }();
    return names;
}

// Every key of every section, found by its text without regard to ASCII
// case: a key of a section in other letter case, or a key of another section.
class KeyIndex {
public:
    KeyIndex() {
        std::vector<Entry> entries;
        for_each_field<Configuration>([&](const auto& f, std::size_t) {
            const std::span<const std::string_view> keys = known_keys<decltype(f)>().words();
            for (std::size_t i = 0; i < keys.size(); ++i) {
                std::string folded(keys[i]);
                for (char& c : folded) c = fold(c);
                entries.push_back(Entry{std::move(folded), keys[i], f.key, i});
            }
            // The names people give the keys, found the same way (in the
            // buckets, not by a walk over the declaration per unknown key).
            constexpr std::size_t first = tagged<decltype(f)> ? 1 : 0;
            for_each_field<section_record_t<decltype(f)>>([&](const auto& k, std::size_t i) {
                for (const std::string_view alias : k.aliases.items()) {
                    std::string folded(alias);
                    for (char& c : folded) c = fold(c);
                    entries.push_back(Entry{std::move(folded), alias, f.key, first + i, true});
                }
            });
        });
        // In declaration order within each bucket.
        for (Entry& entry : entries) buckets_[bucket(entry.key)].push_back(std::move(entry));
    }

    struct Found {
        std::optional<std::size_t> exact;       // the index of the key of `section` written so
        std::optional<std::size_t> same;        // the index of the key of `section` differing in case only
        std::optional<std::string_view> other;  // the first declared other section having the key (exactly so first)
        std::optional<std::size_t> alias;       // the index of the key of `section` that has it as another name
    };

    Found find(std::string_view key, std::string_view section) const {
        Found found;
        if (key.empty()) return found;
        std::optional<std::string_view> exact;
        for (const Entry& entry : buckets_[bucket(key)]) {
            if (!same_folded(key, entry.folded)) continue;
            if (entry.alias) {
                if (entry.section == section && !found.alias) found.alias = entry.index;
                continue;
            }
            if (entry.section == section) {
                if (entry.key == key) found.exact = entry.index;
                if (!found.same) found.same = entry.index;
                continue;
            }
            if (!exact && entry.key == key) exact = entry.section;
            if (!found.other) found.other = entry.section;
        }
        if (exact) found.other = exact;
        return found;
    }

private:
    static char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

    // Of a non-empty key: its length and first and last characters.
    static std::size_t bucket(std::string_view key) {
        return (key.size() * 7 + static_cast<unsigned char>(fold(key.front())) * 3 +
                static_cast<unsigned char>(fold(key.back()))) %
               kBuckets;
    }

    static bool same_folded(std::string_view key, std::string_view folded) {
        if (key.size() != folded.size()) return false;
        for (std::size_t i = 0; i < key.size(); ++i) {
            if (fold(key[i]) != folded[i]) return false;
        }
        return true;
    }

    struct Entry {
        std::string folded;
        std::string_view key;
        std::string_view section;
        std::size_t index;   // in its section's keys
        bool alias = false;  // `key` is another name of the key at `index`
    };
    static constexpr std::size_t kBuckets = 64;
    std::array<std::vector<Entry>, kBuckets> buckets_;
};

const KeyIndex& key_index() {
    static const KeyIndex index;
    return index;
}

// A name in backticks, as a message shows it: one of more than 100 bytes
// cut (not inside a character), with its length.
std::string shown_name(std::string_view name) {
    constexpr std::size_t kLongest = 100;
    if (name.size() <= kLongest) return "`" + std::string(name) + "`";
    std::size_t end = kLongest;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
    return "`" + std::string(name.substr(0, end)) + "...` (" + std::to_string(name.size()) + " bytes)";
}

// Whether two names are the same but for ASCII letter case and `_` for `-`.
bool same_spelling(std::string_view a, std::string_view b) {
    const auto fold = [](char c) {
        if (c == '_') return '-';
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
}

// A key as it would be written: bare when it can be, else quoted.
std::string key_text(std::string_view key) { return bare(key) ? std::string(key) : quoted_text(key); }

void append_key(std::string& out, std::string_view key) {
    if (bare(key)) {
        out += key;
    } else {
        out += quoted_text(key);
    }
}

void append_backticked(std::string& out, std::string_view key) {
    out += '`';
    append_key(out, key);
    out += '`';
}

void append_header(std::string& out, std::string_view section) {
    out += '[';
    append_key(out, section);
    out += ']';
}

std::string backticked(std::string_view key) {
    std::string out;
    append_backticked(out, key);
    return out;
}

std::string header(std::string_view section) {
    std::string out;
    append_header(out, section);
    return out;
}

Hint key_of(std::string_view section) { return Hint{"; it is a key of " + header(section), header(section)}; }

// Whether a value is written as a table of its own: a table, or an array of
// tables ([[name]]).
bool table_like(toml::Value value) {
    if (value.is_table()) return true;
    if (!value.is_array()) return false;
    const toml::Array array = value.as_array();
    return !array.empty() && std::all_of(array.begin(), array.end(), [](toml::Value v) { return v.is_table(); });
}

// Whether the value at `offset` is written as `key = value`.
bool after_equals(std::string_view text, std::size_t offset) {
    while (offset > 0 && (text[offset - 1] == ' ' || text[offset - 1] == '\t')) --offset;
    return offset > 0 && text[offset - 1] == '=';
}

// Whether the member's key is written in one place only, the one the reader
// keeps: as `key = value` (an inline table included), or in the [header] of
// a table that no header further on names again. (Dotted keys and arrays of
// tables may write a key many times.)
bool written_once(const toml::Member& member) {
    const std::string_view text = member.doc->text();
    const std::size_t table = member.value.offset();
    if (after_equals(text, table)) return true;
    if (!member.value.is_table() || text[table] != '[') return false;
    const std::size_t key = member.key_offsets().first;
    if (table > key || text.substr(table, key - table).find('\n') != std::string_view::npos) return false;
    // The table's keys, and those of its dotted keys' tables, all written
    // in bodies: a [header] among them would name the key again.
    std::vector<toml::Table> pending{member.value.as_table()};
    while (!pending.empty()) {
        const toml::Table below = pending.back();
        pending.pop_back();
        for (const toml::Member m : below) {
            if (after_equals(text, m.value.offset())) continue;
            if (!m.value.is_table() || m.value.offset() != m.key_offsets().first) return false;
            pending.push_back(m.value.as_table());
        }
    }
    return true;
}

std::string join(std::span<const std::string_view> items) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        out += items[i];
    }
    return out;
}

// A fix made for an unknown key: the finding that carries it and the key
// it renames to.
struct Rename {
    std::size_t finding;
    std::string_view target;
};

// The code point the escape at raw[at] (a backslash) makes, and its
// length in bytes; nothing for an escape that makes no character of its own
// (`\\`, `\"`, a line-ending backslash).
std::optional<std::uint32_t> escaped_code(std::string_view raw, std::size_t at, std::size_t& length) {
    length = 2;
    switch (raw[at + 1]) {
        case 'b': return 0x08;
        case 't': return 0x09;
        case 'n': return 0x0A;
        case 'f': return 0x0C;
        case 'r': return 0x0D;
        case 'e': return 0x1B;
        case 'x': length = 4; break;
        case 'u': length = 6; break;
        case 'U': length = 10; break;
        default: return std::nullopt;
    }
    std::uint32_t code = 0;
    for (std::size_t k = at + 2; k < at + length && k < raw.size(); ++k) {
        const char c = raw[k];
        code = code * 16 + static_cast<std::uint32_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    return code;
}

class Linter {
public:
    Linter(std::vector<Finding>& out, UnknownNames& names) : out_(out), names_(names) {}

    void root(toml::Table table) {
        std::vector<Rename> renames;
        for (const toml::Member member : table) {
            text_ = member.doc->text();
            const bool known = any_field<Configuration>([&](const auto& f, std::size_t) {
                if (f.key != member.key) return false;
                section<decltype(f)>(f.key, member.value);
                return true;
            });
            if (!known) unknown_section(table, member, renames);
        }
        keep_distinct(renames);
    }

private:
    // A finding of a value, its message held whole.
    void warn(Code code, std::string&& message, toml::Value value, std::optional<Hint>&& hint = {}) {
        report(Severity::Warning, code, std::move(message), value, std::move(hint));
    }

    void report(Severity severity, Code code, std::string&& message, toml::Value value,
                std::optional<Hint>&& hint = {}) {
        Finding& finding = out_.emplace_back(severity, code, value.offset(), value.end_offset());
        if (hint) {
            message += hint->tail;
            finding.suggestion = std::move(hint->suggestion);
        }
        finding.message = std::move(message);
    }

    // An error of an unknown key (or section, when `section`): "`KEY` is
    // not a key" and `where`, or "[KEY] is not a section", then "; the
    // converter ignores it" and the hint's tail. Its fix renames the key to
    // `target`, the key the hint names: certain when `certain`. A key
    // written bare, with no fix, is kept as a record of the unknown names.
    void warn_key(const toml::Member& member, bool section, std::string_view where, std::optional<Hint>&& hint,
                  std::optional<std::string_view> target = {}, bool certain = false) {
        const auto [begin, end] = member.key_offsets();
        const std::string_view text = member.doc->text();
        if (!target && bare(member.key) && text.substr(begin, end - begin) == member.key &&
            names_.add(member.key, begin, section, where, hint)) {
            return;
        }
        // What the converter never sees is an error: the module ignores it.
        Finding& finding = out_.emplace_back(Severity::Error, section ? kUnknownSection : kUnknownKey, begin, end);
        if (target) {
            const Applicability applicability = certain ? Applicability::Certain : Applicability::Suggestion;
            finding.fix = Fix{applicability, Edit{begin, end, key_text(*target)}};
        }
        std::string message;
        message.reserve(member.key.size() + where.size() + 40);
        if (section) {
            append_header(message, member.key);
            message += kNotASection;
        } else {
            append_backticked(message, member.key);
            message += kNotAKey;
            message += where;
        }
        message += kIgnored;
        if (hint) {
            message += hint->tail;
            finding.suggestion = std::move(hint->suggestion);
        }
        finding.message = std::move(message);
    }

    // A section name is renamed when its value is a table (a section's
    // form), on the terms of unknown_key.
    void unknown_section(const toml::Table& root, const toml::Member& member, std::vector<Rename>& renames) {
        const bool table = table_like(member.value);
        const std::span<const std::string_view> names = section_names().words();
        std::optional<Hint> hint;
        const Vocabulary::Match match = section_names().match(member.key);
        const std::optional<std::size_t> near = match.nearest;
        if (near) {
            hint = did_you_mean(table ? header(names[*near]) : backticked(names[*near]), names[*near]);
        } else if (const auto other = key_index().find(member.key, {}).other) {
            hint = key_of(*other);
        }
        const bool single = near && match.single && member.value.is_table();
        const std::optional<std::string_view> target = near ? std::optional(names[*near]) : std::nullopt;
        const bool certain = single && renamable(root, member, *target);
        if (certain) renames.push_back(Rename{out_.size(), *target});  // a finding with a fix is held whole
        warn_key(member, table, " at the top level"sv, std::move(hint), target, certain);
        if (single) section_as(names[*near], member.value, *member.doc);
    }

    // The keys of a section whose name is a certain misspelling of `name`,
    // checked as that section's keys, and its values mapped as that
    // section's (the errors loading would report once it is renamed): their
    // findings marked so. Renames of its keys wait for the section's rename
    // (a round of --fix of its own); a value's correction is made now, so
    // that the section's rename no longer breaks loading.
    void section_as(std::string_view name, toml::Value value, const toml::Document& document) {
        std::vector<LoadError> errors = section_errors(name, value);
        const std::size_t mapped = out_.size();
        if (!errors.empty()) load_findings(document, errors, out_);
        for (std::size_t i = mapped; i < out_.size(); ++i) {
            out_[i].related.clear();  // where the converter would report it: it does not read the section
            out_[i].as_section = std::string(name);
        }
        const std::size_t first = out_.size();
        names_.check_as(name);
        const std::string_view outer = section_;
        any_field<Configuration>([&](const auto& f, std::size_t) {
            if (f.key != name) return false;
            section<decltype(f)>(f.key, value);
            return true;
        });
        section_ = outer;
        for (std::size_t i = first; i < out_.size(); ++i) {
            if (out_[i].fix) out_[i].fix->applicability = Applicability::Suggestion;
            out_[i].as_section = std::string(name);
        }
        names_.check_as({});
    }

    // Whether `member`'s key may be renamed to `target` for certain: not
    // when `target` is set in the table already or the key may be written
    // in more places than the one the reader keeps.
    static bool renamable(const toml::Table& table, const toml::Member& member, std::string_view target) {
        return !table.get(target) && written_once(member);
    }

    // Two keys of a table renamed to one would make a duplicate: neither is
    // certain.
    void keep_distinct(const std::vector<Rename>& renames) {
        std::map<std::string_view, std::size_t> count;
        for (const Rename& rename : renames) ++count[rename.target];
        for (const Rename& rename : renames) {
            if (count[rename.target] > 1) out_[rename.finding].fix->applicability = Applicability::Suggestion;
        }
    }

    // A section written as a table; other forms are left to loading.
    template <class Field>
    void section(std::string_view name, toml::Value value) {
        using Record = section_record_t<Field>;
        if (!value.is_table()) return;
        const toml::Table table = value.as_table();
        std::vector<Rename> renames;
        names_.reserve(table.size());                         // most often one finding at most a key
        constexpr std::size_t first = tagged<Field> ? 1 : 0;  // the index of the record's first key
        const std::string where = " of " + header(name);      // the end of an unknown key's message
        section_ = name;
        Paired names, per_channel;  // the lists paired by position
        for (const toml::Member member : table) {
            if (tagged<Field> && member.key == LoadConfig::tag_key) continue;  // loading checks the tag
            const KeyIndex::Found found = key_index().find(member.key, name);
            const bool known = found.exact && any_field<Record>([&](const auto& f, std::size_t i) {
                                   if (first + i != *found.exact) return false;
                                   using T = typename std::remove_cvref_t<decltype(f)>::value_type;
                                   check_value<T>(f, member.value, true);
                                   if (f.roles & (kInputNames | kShapes)) names.add(i, f.key, member.value);
                                   if (f.roles & kPerChannel) per_channel.add(i, f.key, member.value);
                                   return true;
                               });
            if (!known) unknown_key(where, table, member, known_keys<Field>(), found, renames);
        }
        keep_distinct(renames);
        same_count(per_channel, "value", Severity::Warning);
        same_count(names, "item", Severity::Error);
    }

    // Two lists of a table that the converter takes pair by pair (the input
    // names and their shapes, the per-channel values), in declaration
    // order, when both are written.
    struct Paired {
        std::array<std::string_view, 2> keys{};
        std::array<toml::Value, 2> values{};
        std::array<std::size_t, 2> indices{};  // of the keys in their record

        void add(std::size_t index, std::string_view key, toml::Value value) {
            const std::size_t at = values[0] && indices[0] < index ? 1 : 0;
            if (at == 0 && values[0]) {
                keys[1] = keys[0];
                values[1] = values[0];
                indices[1] = indices[0];
            }
            keys[at] = key;
            values[at] = value;
            indices[at] = index;
        }
    };

    // Two lists that the converter takes pair by pair, of other lengths: a
    // warning at the second, the first a related place. An empty one has
    // its own warning.
    // Of lists that hold an error (a value that does not load), nothing is
    // said: the error tells.
    void same_count(const Paired& pair, std::string_view item, Severity severity) {
        const toml::Value a = pair.values[0];
        const toml::Value b = pair.values[1];
        const std::string_view first = pair.keys[0], second = pair.keys[1];
        if (!a || !b || !a.is_array() || !b.is_array() || holds_error(a) || holds_error(b)) return;
        const std::size_t m = a.as_array().size();
        const std::size_t n = b.as_array().size();
        if (m == n || m == 0 || n == 0) return;
        report(severity, kCountMismatch,
               backticked(second) + " holds " + std::to_string(n) + " " + std::string(item) + (n == 1 ? "" : "s") +
                   " and " + backticked(first) + " " + std::to_string(m) + "; the converter pairs them one to one",
               b);
        out_.back().related.push_back(Related{backticked(first) + " is here", a.offset(), a.end_offset()});
        out_.back().help = "write " + std::to_string(m) + " " + std::string(item) + (m == 1 ? "" : "s") +
                           ", one for each of " + backticked(first);
        out_.back().help_lead = {};  // a sentence of its own
    }

    // Whether an error found before (of loading) lies in the value.
    bool holds_error(toml::Value value) const {
        return std::any_of(out_.begin(), out_.end(), [&](const Finding& finding) {
            const std::optional<Range>& range = finding.range;
            return finding.severity == Severity::Error && range && range->begin >= value.offset() &&
                   range->begin < value.end_offset();
        });
    }

    // Whether a key of the current section names a file or folder.

    void empty_value(std::string_view key, toml::Value value, std::string_view written) {
        warn(kEmptyValue,
             backticked(key) + " is empty: the converter receives " + std::string(written) +
                 ", not its default; remove the line to leave it unset",
             value);
    }

    // The escapes of a basic string (read from its bytes in the text) that
    // make control characters: in a path an error, as no file name holds
    // one and a drive path written with backslashes makes them (`\e`,
    // `\b`, `\r`); in other text a warning (but for tab and line feed).
    void control_characters(std::string_view key, toml::Value value, bool path) {
        const std::string_view raw = text_.substr(value.offset(), value.end_offset() - value.offset());
        if (raw.size() < 2 || raw.front() != '"') return;  // a literal string has no escapes
        const bool multi = raw.starts_with("\"\"\"");
        std::optional<std::pair<std::size_t, std::size_t>> first;
        std::vector<std::string_view> escapes;
        for (std::size_t i = multi ? 3 : 1; i + 1 < raw.size(); ++i) {
            if (raw[i] != '\\') continue;
            std::size_t length = 2;
            const std::optional<std::uint32_t> code = escaped_code(raw, i, length);
            if (!code) {
                ++i;  // \\, \" or a line-ending backslash
                continue;
            }
            const std::string_view escape = raw.substr(i, length);
            i += length - 1;
            const bool control = *code < 0x20 || (*code >= 0x7F && *code <= 0x9F);
            if (!control || (!path && (*code == 0x09 || *code == 0x0A))) continue;
            if (!first) first = {value.offset() + (escape.data() - raw.data()), escape.size()};
            if (std::find(escapes.begin(), escapes.end(), escape) == escapes.end()) escapes.push_back(escape);
        }
        if (!first) return;
        std::string message = "`";
        for (std::size_t e = 0; e < escapes.size(); ++e) {
            if (e) message += "`, `";
            message += escapes[e];
        }
        message += escapes.size() == 1 ? "` makes a control character in " : "` make control characters in ";
        message += backticked(key);
        Finding& finding = out_.emplace_back(path ? Severity::Error : Severity::Warning, kControlCharacter,
                                             first->first, first->first + first->second);
        if (path) {
            const std::string_view inner = raw.substr(1, raw.size() - 2);
            if (!multi && inner.find_first_of("'\n\r") == std::string_view::npos) {
                std::string literal = "'" + std::string(inner) + "'";
                message += "; write the path as a literal string, " + literal + ", or with forward slashes";
                finding.suggestion = std::move(literal);
            } else {
                message += "; write the path with forward slashes";
            }
        }
        finding.message = std::move(message);
    }

    // Backslashes in a path (after the escapes): no folder separator on the
    // system the converter runs on, but a byte of the name. check_files
    // makes the forward-slash form its fix when a file is there.
    void backslashes(std::string_view key, toml::Value value) {
        std::string forward(value.as_string());
        std::replace(forward.begin(), forward.end(), '\\', '/');
        warn(kBackslashPath,
             backticked(key) +
                 " holds backslashes, which the converter reads as part of a name, not as folder "
                 "separators",
             value);
        out_.back().help = "write the path with forward slashes: " + quoted_text(forward);
        out_.back().help_lead = {};
    }

    // The key meant: one of the same table in other letter case, a key of
    // another section, or the nearest of the same table.
    // The rename is certain, and made a fix, when the key differs in case
    // only or is the single nearest (and not a key of another section).
    // `where` ends the message: " of [section]".
    void unknown_key(std::string_view where, const toml::Table& table, const toml::Member& member,
                     const Vocabulary& vocabulary, const KeyIndex::Found& found, std::vector<Rename>& renames) {
        const std::span<const std::string_view> keys = vocabulary.words();
        std::optional<Hint> hint;
        std::optional<std::size_t> near = found.same ? found.same : found.alias;
        std::optional<std::size_t> single = near;
        const auto other = near ? std::nullopt : found.other;
        if (!near && !other) {
            const Vocabulary::Match match = vocabulary.match(member.key);
            near = match.nearest;
            single = match.single ? near : std::nullopt;
        }
        if (near) {
            hint = did_you_mean(backticked(keys[*near]), keys[*near]);
        } else if (other) {
            hint = key_of(*other);
        }
        const std::optional<std::string_view> target = near ? std::optional(keys[*near]) : std::nullopt;
        const bool certain = single && renamable(table, member, keys[*single]);
        if (certain) renames.push_back(Rename{out_.size(), *target});
        warn_key(member, false, where, std::move(hint), target, certain);
    }

    // The value of a known key, checked against the key's limits (at the top
    // level, where the schema states them) and its closed choices. Values of
    // another type, or out of their type's range, are loading errors and not
    // looked at here.
    template <class T, class F>
    void check_value(const F& f, toml::Value value, bool top) {
        if constexpr (is_optional<T>::value) {
            if constexpr (is_vector<typename T::value_type>::value) {
                // An empty list given is not the list left unset.
                if (top && value.is_array() && value.as_array().size() == 0) return empty_value(f.key, value, "[]");
            }
            check_value<typename T::value_type>(f, value, top);
        } else if constexpr (is_vector<T>::value) {
            check_list<typename T::value_type>(f, value, top);
        } else if constexpr (std::is_same_v<T, std::string>) {
            check_text(f, value, top);
        } else if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
            check_integer<T>(f, value, top);
        } else if constexpr (std::is_same_v<T, float>) {
            check_float(f, value);
        }
    }

    // A number the converter's 32-bit float holds as something else: inf
    // for one beyond its range, 0 for one too near 0 (one that only loses
    // digits is what the file means); 0 where it is divided by.
    template <class F>
    void check_float(const F& f, toml::Value value) {
        if (!value.is_float() && !value.is_integer()) return;
        const double number = value.is_float()  ? value.as_float()
                              : value.is_wide() ? static_cast<double>(value.as_unsigned())
                                                : static_cast<double>(value.as_signed());
        const float held = static_cast<float>(number);
        const std::string written(text_.substr(value.offset(), value.end_offset() - value.offset()));
        std::string_view message, help;
        if (std::isfinite(number) && std::isinf(held)) {
            message = ": the converter's 32-bit float makes it inf";
            help = "write a number of at most 3.4e38 in size";
        } else if (number != 0 && held == 0) {
            message = ": the converter's 32-bit float makes it 0";
            help = "write 0, or a number of at least 1.4e-45 in size";
        } else if ((f.roles & kDivisor) && number == 0) {
            message = ": normalisation divides by it";
            help = "write a deviation above 0; 1 leaves the channel as it is";
        } else {
            return;
        }
        report(Severity::Error, kOutOfRange, backticked(f.key) + " holds " + written + std::string(message), value);
        out_.back().help = std::string(help);
        out_.back().help_lead = {};
    }

    // Names of a list the converter takes once each: the second of a name
    // given twice is an error.
    template <class F>
    void check_distinct(const F& f, toml::Array array) {
        std::unordered_map<std::string_view, toml::Value> seen;
        for (const toml::Value element : array) {
            if (!element.is_string() || element.as_string().empty()) continue;  // empty-value, load-error tell
            const auto [first, added] = seen.emplace(element.as_string(), element);
            if (added) continue;
            report(Severity::Error, kDuplicateName,
                   backticked(f.key) + " names " + shown_name(element.as_string()) + " twice", element);
            out_.back().related.push_back(
                Related{"first named here", first->second.offset(), first->second.end_offset()});
            out_.back().help = "remove this one: the converter takes each name once";
            out_.back().help_lead = {};
        }
    }

    // Sizes of a shape of 0: no tensor of the model has such a dimension.
    template <class F>
    void check_sizes(const F& f, toml::Array shapes) {
        std::size_t s = 0;
        for (const toml::Value shape : shapes) {
            std::size_t d = 0;
            if (shape.is_array()) {
                for (const toml::Value size : shape.as_array()) {
                    if (size.is_integer() && !size.is_wide() && size.as_signed() == 0) {
                        report(Severity::Error, kOutOfRange,
                               "dimension " + std::to_string(d) + " of shape " + std::to_string(s) + " of " +
                                   backticked(f.key) + " is 0",
                               size);
                        out_.back().help = "write the size of dimension " + std::to_string(d) + " of input " +
                                           std::to_string(s) + ", 1 at least";
                        out_.back().help_lead = {};
                    }
                    ++d;
                }
            }
            ++s;
        }
    }

    template <class Element, class F>
    void check_list(const F& f, toml::Value value, bool top) {
        if (!value.is_array()) return;
        const toml::Array array = value.as_array();
        if (top && f.limits.min_items && static_cast<std::int64_t>(array.size()) < *f.limits.min_items) {
            const auto n = *f.limits.min_items;
            warn(kTooShort,
                 backticked(f.key) +
                     (n == 1 ? " must not be an empty list" : " must hold at least " + std::to_string(n) + " items"),
                 value);
        }
        for (const toml::Value element : array) check_value<Element>(f, element, false);
        if (!top) return;
        if (f.roles & (kInputNames | kOutputNames)) check_distinct(f, array);
        if (f.roles & kShapes) check_sizes(f, array);
    }

    template <class F>
    void check_text(const F& f, toml::Value value, bool top) {
        if (!value.is_string()) return;
        const std::string_view text = value.as_string();
        const bool path = f.roles & kPath;
        control_characters(f.key, value, path);
        if (path && text.find('\\') != std::string_view::npos) backslashes(f.key, value);
        // A path, or a text its key wants not empty, is passed as written.
        if (top && text.empty() && ((f.roles & kNonEmpty) || f.limits.min_length))
            return empty_value(f.key, value, "\"\"");
        if (top && f.limits.min_length &&
            static_cast<std::int64_t>(utf8::count_code_points(text)) < *f.limits.min_length) {
            const auto n = *f.limits.min_length;
            warn(kTooShort,
                 backticked(f.key) +
                     (n == 1 ? " must not be empty" : " must be at least " + std::to_string(n) + " characters long"),
                 value);
            return;
        }
        if (f.choices.open) return check_open_choice(f, value);
        if (!f.choices.closed()) return;
        const std::span<const std::string_view> choices = f.choices.items();
        if (std::find(choices.begin(), choices.end(), text) != choices.end()) return;
        std::optional<Hint> hint;
        const auto near = nearest(text, choices);
        if (near) hint = did_you_mean(quoted_text(choices[*near]), choices[*near]);
        warn(kUnknownChoice, backticked(f.key) + " = " + quoted_text(text) + " is not one of " + join(choices), value,
             std::move(hint));
        if (near) {
            if (const auto single = single_nearest(text, choices)) correct_text(value, choices[*single]);
        }
    }

    // An open list of choices takes other texts too; one that differs from
    // a listed one only in letter case or `_` for `-` was meant to be it.
    template <class F>
    void check_open_choice(const F& f, toml::Value value) {
        const std::string_view text = value.as_string();
        for (const std::string_view choice : f.choices.items()) {
            if (choice == text || !same_spelling(choice, text)) continue;
            warn(kUnknownChoice,
                 backticked(f.key) + " = " + quoted_text(text) + " is written otherwise than the listed " +
                     quoted_text(choice),
                 value, did_you_mean(quoted_text(choice), choice));
            correct_text(value, choice);
            return;
        }
    }

    void correct_text(toml::Value value, std::string_view meant) {
        lint::correct_text(out_.back(), text_, value.offset(), value.end_offset(), value.as_string(), meant);
    }

    template <class T, class F>
    void check_integer(const F& f, toml::Value value, bool top) {
        if (!value.is_integer() || !top) return;
        // Held as the type holds it: a value out of the type's range does not load.
        if (value.is_wide() ? std::cmp_greater(value.as_unsigned(), std::numeric_limits<T>::max())
                            : !std::in_range<T>(value.as_signed())) {
            return;
        }
        const std::string shown =
            value.is_wide() ? std::to_string(value.as_unsigned()) : std::to_string(value.as_signed());
        // A count is one at least; the schema leaves the key open.
        const std::optional<std::int64_t> minimum =
            (f.roles & kCount) ? std::optional<std::int64_t>(1) : f.limits.minimum;
        const bool below = minimum && !value.is_wide() && value.as_signed() < *minimum;
        const bool above = f.limits.maximum && (value.is_wide() || value.as_signed() > *f.limits.maximum);
        if (!below && !above) return;
        // A count below one fails the conversion; other values out of their
        // documented range have no documented meaning.
        report((f.roles & kCount) && below ? Severity::Error : Severity::Warning, kOutOfRange,
               backticked(f.key) + " = " + shown +
                   (below ? " is below the minimum of " + std::to_string(*minimum)
                          : " is above the maximum of " + std::to_string(*f.limits.maximum)),
               value);
    }

    std::vector<Finding>& out_;
    UnknownNames& names_;
    std::string_view text_;     // the checked text
    std::string_view section_;  // the section whose keys are checked
};

}  // namespace

void lint_document(const toml::Document& document, std::vector<Finding>& out, Findings& names) {
    UnknownNames records(names, document.text());
    Linter(out, records).root(document.root_table());
}

namespace {

// Whether a key of some section, named `key`, names a file or folder.
bool path_key(std::string_view key) {
    bool path = false;
    for_each_field<Configuration>([&](const auto& s, std::size_t) {
        for_each_field<section_record_t<decltype(s)>>(
            [&](const auto& f, std::size_t) { path |= f.key == key && (f.roles & kPath); });
    });
    return path;
}

// For a parse error of an escape at `at` in the value of a path key (a
// Windows path in a basic string, `"C:\models\x.onnx"`): how to write paths.
std::optional<std::string> escape_in_path_help(std::string_view text, std::size_t at, std::string_view message) {
    if (!message.starts_with("invalid escape sequence") || at > text.size()) return std::nullopt;
    const std::size_t line = text.rfind('\n', at == 0 ? 0 : at - 1);
    const std::size_t start = line == std::string_view::npos ? 0 : line + 1;
    const std::size_t equals = text.find('=', start);
    if (equals == std::string_view::npos || equals > at) return std::nullopt;
    std::string_view key = text.substr(start, equals - start);
    key = key.substr(key.find_last_of('.') == std::string_view::npos ? 0 : key.find_last_of('.') + 1);
    while (!key.empty() && (key.front() == ' ' || key.front() == '\t')) key.remove_prefix(1);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.remove_suffix(1);
    if (!path_key(key)) return std::nullopt;
    return std::string(
        "write paths as literal strings, in single quotes ('C:\\models\\x.onnx'), or with "
        "forward slashes");
}

}  // namespace

Findings unsettled_findings(std::string_view text, const DocumentCheck& more) {
    std::vector<Finding> findings;
    auto parsed = toml::parse(text);
    if (auto* syntax = std::get_if<toml::Error>(&parsed)) {
        Finding& finding =
            findings.emplace_back(Severity::Error, kParseError, syntax->begin, syntax->end, std::move(syntax->message));
        if (syntax->related) {
            const toml::ErrorPlace& place = *syntax->related;
            finding.related.push_back(Related{std::string(place.label), place.begin, place.end});
        }
        finding.help = unquoted_text_help(text, syntax->begin);
        if (!finding.help) finding.help = escape_in_path_help(text, syntax->begin, finding.message);
        finding.help_lead = {};  // a sentence of its own
        return Findings(std::move(findings));
    }
    Findings all;
    const toml::Document& document = std::get<toml::Document>(parsed);
    if (!more) {
        // Nothing reads the mapped values: the file's errors alone are
        // wanted, found without keeping a value (a list of 5,000,000 sizes
        // mapped as loading maps it held 280 MB).
        std::vector<LoadError> errors = mapping_errors(document);
        load_findings(document, errors, findings);
        lint_document(document, findings, all);
    } else {
        // Mapped as loading maps it, which the checks of `more` read (but the
        // input file lists, which they read from the document: a list of
        // 863,635 paths took 111 MB mapped, 19 MB of text); only a file that
        // does not load is mapped again for all its errors.
        Configuration configuration;
        Places places;
        const bool loads = !map_configuration(document, configuration, /*lean=*/true, &places);
        if (!loads) {
            std::vector<LoadError> errors = mapping_errors(document);
            load_findings(document, errors, findings);
        }
        lint_document(document, findings, all);
        if (loads) more(document, configuration, places, findings);
    }
    all.merge(std::move(findings));
    silence(text, all);
    return all;
}

Findings check_text(std::string_view text, const DocumentCheck& more) {
    Findings findings = unsettled_findings(text, more);
    settle_fixes(text, findings);
    return findings;
}

}  // namespace vora::lint
