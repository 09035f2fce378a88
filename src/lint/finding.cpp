#include <array>
#include <cstdint>
#include <memory>

#include "lint/lint.hpp"
#include "lint/phrases.hpp"

namespace vora::lint {

Phrases& phrases() {
    static Phrases table;
    return table;
}

// ---------------------------------------------------------------------------
// Findings.
// ---------------------------------------------------------------------------

// A million findings take 24 MB.
static_assert(sizeof(Finding) == 24);

Finding::Finding(Severity severity, Code code, std::string message, std::optional<std::string> suggestion)
    : severity(severity), code(code) {
    Extra& more = extra();
    more.message = std::move(message);
    more.suggestion = std::move(suggestion);
}

Finding::Finding(Severity severity, Code code, std::size_t begin, std::size_t end)
    : severity(severity),
      code(code),
      begin_(static_cast<std::uint32_t>(begin)),
      end_(static_cast<std::uint32_t>(end)),
      flags_(kOffsets) {}

Finding::Extra& Finding::extra() {
    if (!extra_) extra_ = std::make_unique<Extra>();
    return *extra_;
}

void Finding::append_message(std::string& out, std::string_view text) const {
    if (!(flags_ & kComposed)) {
        if (extra_) out += extra_->message;
        return;
    }
    const std::string_view key = text.substr(begin_, end_ - begin_);
    if (flags_ & kSection) {
        out += '[';
        out += key;
        out += ']';
        out += kNotASection;
    } else {
        out += '`';
        out += key;
        out += '`';
        out += kNotAKey;
        out += phrases().at(where_).first;
    }
    out += kIgnored;
    if (hint_) out += phrases().at(hint_).first;
}

std::string Finding::message(std::string_view text) const {
    std::string out;
    append_message(out, text);
    return out;
}

std::optional<std::string_view> Finding::suggestion() const {
    if (flags_ & kComposed) {
        if (!hint_) return std::nullopt;
        return std::string_view(phrases().at(hint_).second);
    }
    if (extra_ && extra_->suggestion) return std::string_view(*extra_->suggestion);
    return std::nullopt;
}

std::optional<toml::Span> Finding::span(SourceIndex& index) const {
    if (!(flags_ & kOffsets)) return std::nullopt;
    const LineColumn begin = index.at(begin_);
    const LineColumn end = index.after(begin, begin_, end_);
    return toml::Span{{begin.line, begin.column}, {end.line, end.column}};
}

std::optional<toml::Span> Finding::span(std::string_view text) const {
    SourceIndex index(text);
    return span(index);
}

std::optional<std::size_t> Finding::begin() const {
    if (flags_ & kOffsets) return begin_;
    return std::nullopt;
}

std::optional<std::size_t> Finding::end() const {
    if (flags_ & kOffsets) return end_;
    return std::nullopt;
}

std::span<const Related> Finding::related() const {
    if (!extra_) return {};
    return extra_->related;
}

toml::Span Finding::span(const Related& related, SourceIndex& index) const {
    const LineColumn begin = (flags_ & kOffsets) && related.begin >= begin_
                                 ? index.after(index.at(begin_), begin_, related.begin)
                                 : index.at(related.begin);
    const LineColumn end = index.after(begin, related.begin, related.end);
    return toml::Span{{begin.line, begin.column}, {end.line, end.column}};
}

std::optional<std::string_view> Finding::help() const {
    if (extra_ && extra_->help) return std::string_view(*extra_->help);
    return std::nullopt;
}

std::optional<Edit> Finding::fix() const {
    if (flags_ & kSilenced) return std::nullopt;
    if (flags_ & kFixToHint) return Edit{begin_, end_, phrases().at(hint_).second};
    if (extra_ && extra_->fix) {
        return Edit{extra_->fix->begin, extra_->fix->end, extra_->replacement, extra_->fix->value};
    }
    return std::nullopt;
}

std::optional<Fix> Finding::proposed_fix() const {
    if (const std::optional<Edit> certain = fix()) return Fix{Applicability::Certain, *certain};
    if (!(flags_ & kComposed) || hint_ == 0) return std::nullopt;
    const std::string_view target = phrases().at(hint_).second;
    if (target.empty() || !bare(target)) return std::nullopt;
    return Fix{Applicability::Suggestion, Edit{begin_, end_, target}};
}

void Finding::set_message(std::string message) {
    flags_ &= static_cast<std::uint8_t>(~(kComposed | kSection | kFixToHint));
    extra().message = std::move(message);
}

void Finding::set_suggestion(std::string suggestion) { extra().suggestion = std::move(suggestion); }

void Finding::set_help(std::optional<std::string> help) {
    if (help || extra_) extra().help = std::move(help);
}

void Finding::set_help_sentence(std::string help) {
    Extra& more = extra();
    more.help = std::move(help);
    more.help_sentence = true;
}

std::string_view Finding::help_lead() const {
    return extra_ && extra_->help_sentence ? std::string_view{} : std::string_view("expected ");
}

void Finding::add_related(Related related) { extra().related.push_back(std::move(related)); }

void Finding::clear_related() {
    if (extra_) extra_->related.clear();
}

void Finding::set_fix(std::size_t begin, std::size_t end, std::string replacement, bool value) {
    flags_ &= static_cast<std::uint8_t>(~kFixToHint);
    Extra& more = extra();
    more.replacement = std::move(replacement);
    more.fix = Edit{begin, end, {}, value};
}

void Finding::set_as_section(std::string_view section) {
    extra().as_section = section;
    flags_ |= kAsSection;
}

void Finding::drop_fix() {
    flags_ &= static_cast<std::uint8_t>(~kFixToHint);
    if (extra_) extra_->fix.reset();
}

void Finding::compose(bool section, std::uint8_t where, std::uint16_t hint) {
    flags_ |= kComposed;
    if (section) flags_ |= kSection;
    where_ = where;
    hint_ = hint;
}

}  // namespace vora::lint
