// Checking a configuration file beyond what loading requires: keys and
// sections the configuration does not know (with the key that was likely
// meant) and values outside what a key's description and schema document.
// Loading itself is unchanged: a file that loads still loads, whatever is
// found here.
#pragma once

#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lint/codes.hpp"
#include "text/source_index.hpp"
#include "toml/toml.hpp"

namespace vora {
struct Configuration;
class Places;
}  // namespace vora

namespace vora::lint {

enum class Severity : std::uint8_t { Error, Warning };

// Another place a finding concerns: the key whose value is at fault when
// the finding points at the key's whole table, for one.
struct Related {
    std::string message;
    std::uint32_t begin = 0;  // byte offsets into the checked text, [begin, end)
    std::uint32_t end = 0;
};

// A replacement of the bytes [begin, end) of the checked text (offsets into
// the text as read, a byte-order mark included).
struct Edit {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::string_view replacement;  // lives as long as the finding that holds the edit
    bool value = false;            // corrects a value (else renames a key or section)
};

// How far a fix may be trusted: `check --fix` makes the certain ones; a
// suggestion is only offered (in SARIF's `fixes`).
enum class Applicability : std::uint8_t { Certain, Suggestion };

// What a finding proposes: edits of the checked text, in file order. Every
// fix found today is one edit (a key renamed).
struct Fix {
    Applicability applicability = Applicability::Certain;
    Edit edit;
};

// What `check` found. Held compactly, as a file may have a finding on each
// of a million lines: a warning's place as byte offsets into the checked
// text, and its message made when written from the key's bytes in that text
// and fixed words; what only few findings have (a message held whole, a
// span as positions, related places, help, an edit) in a block of its own.
// The text must outlive the finding's readers: message(), span(), fix()
// read it or views into it.
class Finding {
public:
    // A finding with its message held whole and no place (errors of
    // reading and writing).
    Finding(Severity severity, Code code, std::string message, std::optional<std::string> suggestion = {});
    // A finding at the bytes [begin, end) of the text, its message given
    // by `compose` (a Linter's, in lint.cpp) unless set whole.
    Finding(Severity severity, Code code, std::size_t begin, std::size_t end);

    Severity severity = Severity::Warning;
    Code code = kReadError;

    // The message, one line, the suggestion included.
    std::string message(std::string_view text) const;
    void append_message(std::string& out, std::string_view text) const;
    // What to write instead, when known.
    std::optional<std::string_view> suggestion() const;
    // A key's span for key findings, a value's for value findings.
    std::optional<toml::Span> span(SourceIndex& index) const;
    std::optional<toml::Span> span(std::string_view text) const;
    // The byte offset the finding starts at, or nothing when it has no
    // place: for ordering.
    std::optional<std::size_t> begin() const;
    // The byte offset it ends at (exclusive), when it has a place.
    std::optional<std::size_t> end() const;
    // Further places, in file order.
    std::span<const Related> related() const;
    // The span of one of them (walked to from the finding's own start when
    // it lies after it, as it does).
    toml::Span span(const Related& related, SourceIndex& index) const;
    // The message's terms in plain words, when it uses a type's name
    // (written after "expected "), or a sentence of its own.
    std::optional<std::string_view> help() const;
    // What the formats write before the help: "expected " or nothing.
    std::string_view help_lead() const;
    // The edit `check --fix` makes, when it is certain (never for a
    // silenced finding).
    std::optional<Edit> fix() const;
    // The certain fix, or else a suggestion: the key renamed to the one
    // the message suggests, when that is a bare key (the rename a silenced
    // finding would have had is one).
    std::optional<Fix> proposed_fix() const;
    // The section whose keys a misspelled section's keys were checked as
    // ("config" for a key of [CONFIG]), when the finding is of such a key.
    std::optional<std::string_view> as_section() const {
        if (!(flags_ & kAsSection)) return std::nullopt;
        return extra_->as_section;
    }

    void set_message(std::string message);
    void set_suggestion(std::string suggestion);
    void set_help(std::optional<std::string> help);
    // A help that is a sentence of its own, not what was expected.
    void set_help_sentence(std::string help);
    void add_related(Related related);
    void clear_related();
    // `value`: the edit corrects a value's text rather than renaming a key.
    void set_fix(std::size_t begin, std::size_t end, std::string replacement, bool value = false);
    void set_as_section(std::string_view section);  // a name that lives as long as the program
    void drop_fix();
    // Silenced by a suppression comment on its line: not counted as an
    // error or warning, shown only where a format can mark it so.
    void silence() { flags_ |= kSilenced; }
    bool silenced() const { return flags_ & kSilenced; }

    // A message made from the key at [begin, end) (written bare): "`KEY`
    // is not a key" and `where`, or "[KEY] is not a section", then "; the
    // converter ignores it" and the hint's tail; `where` and the hint are indices into tables of fixed texts
    // that lint.cpp keeps (0: none).
    void compose(bool section, std::uint8_t where, std::uint16_t hint);
    // Makes the fix rename the key to the hint's suggestion; false (and
    // nothing done) when the message is not composed with a hint.
    bool fix_to_hint() {
        if (!(flags_ & kComposed) || hint_ == 0) return false;
        flags_ |= kFixToHint;
        return true;
    }

private:
    struct Extra {
        std::string message;
        std::optional<std::string> suggestion;
        std::vector<Related> related;
        std::optional<std::string> help;
        bool help_sentence = false;
        std::optional<Edit> fix;
        std::string replacement;  // the fix's
        std::string_view as_section;
    };
    Extra& extra();

    static constexpr std::uint8_t kOffsets = 1;     // begin_/end_ hold the span
    static constexpr std::uint8_t kComposed = 2;    // compose() made the message
    static constexpr std::uint8_t kSection = 4;     // of an unknown section
    static constexpr std::uint8_t kFixToHint = 8;   // the fix renames to the hint's suggestion
    static constexpr std::uint8_t kAsSection = 16;  // extra_ holds the section its key was checked as
    static constexpr std::uint8_t kSilenced = 32;   // silenced by a comment on its line

    std::uint32_t begin_ = 0;
    std::uint32_t end_ = 0;
    std::uint8_t flags_ = 0;
    std::uint8_t where_ = 0;
    std::uint16_t hint_ = 0;
    std::unique_ptr<Extra> extra_;
};

// The warnings of a read document, appended to `out` in the order of the
// tree's walk.
void lint_document(const toml::Document& document, std::vector<Finding>& out);

// Further checks of a document that loads (vora-config's of the files it
// names), given what it maps to, where its keys are written, and the
// findings so far to append to.
using DocumentCheck =
    std::function<void(const toml::Document&, const Configuration&, const Places&, std::vector<Finding>&)>;

// Everything found in the text of a configuration file, in file order: the
// error that loading reports (its message and position exactly as loading
// gives them), if any, and the warnings of the document when it reads as
// TOML, then what `more` finds when it loads. The text is read once; the
// mapping and the warnings share its tree. Findings on a line that ends in
// a suppression comment are silenced (silence(), below).
std::vector<Finding> check_text(std::string_view text, const DocumentCheck& more = {});

// Findings on a line that ends in a suppression comment are silenced:
// `# vora-config: ignore` silences every finding of the line, `#
// vora-config: ignore[CODE, ...]` those of the codes listed. The findings
// go in file order, and only their lines are read. A code the comment lists
// that is no code gets an `unknown-code` warning of its own. Errors of
// reading and of syntax are never silenced. Returns how many were.
std::size_t silence(std::string_view text, std::vector<Finding>& findings);

// For a parse error at `at` where a value starts with a letter (`key =
// vora-m1`): the help "text values are quoted: \"vora-m1\"", the word as
// written up to the line's end or comment.
std::optional<std::string> unquoted_text_help(std::string_view text, std::size_t at);

}  // namespace vora::lint
