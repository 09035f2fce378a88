// What `check` finds, as plain data: a Finding holds its whole message and
// everything the formats write of it, and needs the checked text only for
// turning its byte offsets into lines and columns. Findings holds one
// text's findings in file order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lint/codes.hpp"
#include "text/source_index.hpp"
#include "toml/toml.hpp"

namespace vora::lint {

enum class Severity : std::uint8_t { Error, Warning };

// Bytes [begin, end) of the checked text (offsets into the text as read, a
// byte-order mark included).
struct Range {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// Another place a finding concerns: the key whose value is at fault when
// the finding points at the key's whole table, for one.
struct Related {
    std::string message;
    std::uint32_t begin = 0;  // byte offsets into the checked text, [begin, end)
    std::uint32_t end = 0;
};

// A replacement of the bytes [begin, end) of the checked text.
struct Edit {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::string replacement;
    bool value = false;  // corrects a value (else renames a key or section)
};

// How far a fix may be trusted: `check --fix` makes the certain ones; a
// suggestion is only offered (in SARIF's `fixes`).
enum class Applicability : std::uint8_t { Certain, Suggestion };

// What a finding proposes. Every fix found today is one edit.
struct Fix {
    Applicability applicability = Applicability::Certain;
    Edit edit;
};

// What the formats write before a help that names what was expected; a help
// that is a sentence of its own has no lead.
inline constexpr std::string_view kExpectedLead = "expected ";

struct Finding {
    Finding() = default;
    // A finding at the bytes [begin, end) of the text.
    Finding(Severity severity, Code code, std::size_t begin, std::size_t end, std::string message = {})
        : severity(severity), code(code), range(Range{begin, end}), message(std::move(message)) {}
    // A finding without a place (errors of reading and writing).
    Finding(Severity severity, Code code, std::string message, std::optional<std::string> suggestion = {})
        : severity(severity), code(code), message(std::move(message)), suggestion(std::move(suggestion)) {}

    Severity severity = Severity::Warning;
    Code code = kReadError;
    std::optional<Range> range;             // none for errors of reading and writing
    std::string message;                    // one line, the suggestion included
    std::optional<std::string> suggestion;  // what to write instead, when known
    // Settled by check_text for every caller alike: a certain fix is one
    // `check --fix` makes in its first round (never a silenced finding's).
    std::optional<Fix> fix;
    std::vector<Related> related;                // further places, in file order
    std::optional<std::string> help;             // the terms of the message in plain words
    std::string_view help_lead = kExpectedLead;  // written before the help: kExpectedLead or nothing
    bool silenced = false;                       // by a suppression comment on its line
    // The section a misspelled section's key was checked as ("config" for
    // a key of [CONFIG]).
    std::optional<std::string> as_section;
};

// The finding's place as lines and columns, when it has one.
std::optional<toml::Span> span(const Finding& finding, SourceIndex& index);
std::optional<toml::Span> span(const Finding& finding, std::string_view text);
// A related place's (walked to from the finding's own start when it lies
// after it, as it does).
toml::Span span(const Finding& finding, const Related& related, SourceIndex& index);

// Whether `a` comes before `b` in file order (findings without a place
// first).
inline bool in_file_order(const Finding& a, const Finding& b) {
    if (!a.range || !b.range) return !a.range && b.range;
    return a.range->begin < b.range->begin;
}

// Whether the finding's fix is one `check --fix` makes.
inline bool certain(const Finding& finding) {
    return finding.fix && finding.fix->applicability == Applicability::Certain;
}

class UnknownNames;

// The findings of one text, in file order, each read as a Finding. A file
// may have an unknown key on each of a million lines: the unknown-name
// check (lint.cpp) keeps such a finding, of a key written bare and with no
// fix, as a record of 20 bytes, its key's bytes copied into one block, and
// makes its Finding when it is read. (Held whole, 304 bytes and a block for
// the message each, a million unknown keys in a 17 MB file took `check` to
// 860 MB at its peak; as records, to 123 MB.) Every other finding is held
// as it was made.
class Findings {
public:
    class Iterator;

    Findings() = default;
    // Findings held as made, in the order given.
    explicit Findings(std::vector<Finding> findings);

    std::size_t size() const { return findings_.size() + names_.size(); }
    bool empty() const { return size() == 0; }
    // Each finding in order, read into the iterator when it is a record:
    // a reference lives until the iterator moves on.
    Iterator begin() const;
    Iterator end() const;
    // All of them made whole.
    std::vector<Finding> list() const;

    // How many are errors and warnings, and how many silenced (neither),
    // counted without making a record whole.
    struct Counts {
        std::size_t errors = 0;
        std::size_t warnings = 0;
        std::size_t silenced = 0;
    };
    Counts counts() const;

    // Appends a finding after all the others (an error of writing).
    void push_back(Finding finding);
    // Adds findings among the others in file order (each after those held
    // already at its place).
    void merge(std::vector<Finding> findings);
    // The findings held whole, in order: the only ones that carry fixes.
    // Drops the findings whose code `drop(code)` tells to.
    template <class Drop>
    void drop_codes(Drop&& drop) {
        std::erase_if(findings_, [&](const Finding& finding) { return drop(finding.code); });
        std::erase_if(names_,
                      [&](const Name& name) { return drop(name.flags & kSection ? kUnknownSection : kUnknownKey); });
        sort();
    }
    std::vector<Finding>& whole() { return findings_; }
    const std::vector<Finding>& whole() const { return findings_; }

    // Calls `visit(begin, code, silenced)` for each finding in file order
    // (begin: its start, when it has one; `silenced` its flag, to set)
    // until it returns false.
    template <class Visit>
    void visit_places(Visit&& visit);

private:
    friend class UnknownNames;

    // An unknown key's or section's finding: its place, its key at
    // keys_[key, key + (end - begin)), its texts by index into texts_ (0:
    // none).
    struct Name {
        std::uint32_t begin = 0;
        std::uint32_t end = 0;
        std::uint32_t key = 0;
        std::uint16_t tail = 0;        // what follows the key in the message
        std::uint16_t suggestion = 0;  // the hint's
        std::uint16_t as_section = 0;  // the section it was checked as
        std::uint8_t flags = 0;        // kSection, kSilenced
    };
    static constexpr std::uint8_t kSection = 1;
    static constexpr std::uint8_t kSilenced = 2;

    // Puts the findings held whole and the records in file order (each
    // stably), and where the records go among the others.
    void sort();
    std::size_t names_before(std::size_t whole) const { return before_[whole]; }
    // Makes a record's finding in `out` (lint.cpp, where the words of its
    // message are), reusing what `out` holds.
    static void read_name(const Findings& findings, const Name& name, Finding& out);

    std::vector<Finding> findings_;
    std::vector<std::uint32_t> before_;  // of each finding held whole: how many records precede it
    std::vector<Name> names_;            // in file order
    std::string keys_;                   // the records' keys
    std::vector<std::string> texts_;     // their fixed texts, from index 1 (a table of this text's check)
};

class Findings::Iterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = Finding;
    using difference_type = std::ptrdiff_t;
    using pointer = const Finding*;
    using reference = const Finding&;

    Iterator() = default;
    Iterator(const Findings* findings, std::size_t whole, std::size_t name)
        : findings_(findings), whole_(whole), name_(name) {}

    const Finding& operator*() const;
    const Finding* operator->() const { return &**this; }
    Iterator& operator++() {
        if (at_name()) {
            ++name_;
        } else {
            ++whole_;
        }
        made_ = false;
        return *this;
    }
    Iterator operator++(int) {
        Iterator was = *this;
        ++*this;
        return was;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.whole_ == b.whole_ && a.name_ == b.name_; }

private:
    // Whether the next finding is a record: one comes before the next
    // finding held whole, or only records are left.
    bool at_name() const {
        if (whole_ == findings_->findings_.size()) return name_ < findings_->names_.size();
        return name_ < findings_->names_before(whole_);
    }

    const Findings* findings_ = nullptr;
    std::size_t whole_ = 0;
    std::size_t name_ = 0;
    mutable Finding made_finding_;  // the record read
    mutable bool made_ = false;
};

inline Findings::Iterator Findings::begin() const { return Iterator(this, 0, 0); }
inline Findings::Iterator Findings::end() const { return Iterator(this, findings_.size(), names_.size()); }

template <class Visit>
void Findings::visit_places(Visit&& visit) {
    std::size_t name = 0;
    const auto visit_names = [&](std::size_t until) {
        for (; name < until; ++name) {
            Name& record = names_[name];
            bool silenced = record.flags & kSilenced;
            const Code code = record.flags & kSection ? kUnknownSection : kUnknownKey;
            const bool more = visit(std::optional<std::size_t>(record.begin), code, silenced);
            if (silenced) record.flags |= kSilenced;
            if (!more) return false;
        }
        return true;
    };
    for (std::size_t i = 0; i < findings_.size(); ++i) {
        if (!visit_names(before_[i])) return;
        Finding& finding = findings_[i];
        if (!visit(finding.range ? std::optional(finding.range->begin) : std::nullopt, finding.code, finding.silenced))
            return;
    }
    visit_names(names_.size());
}

}  // namespace vora::lint
