#include "lint/finding.hpp"

#include <algorithm>
#include <utility>

namespace vora::lint {

std::optional<toml::Span> span(const Finding& finding, SourceIndex& index) {
    if (!finding.range) return std::nullopt;
    const LineColumn begin = index.at(finding.range->begin);
    const LineColumn end = index.after(begin, finding.range->begin, finding.range->end);
    return toml::Span{{begin.line, begin.column}, {end.line, end.column}};
}

std::optional<toml::Span> span(const Finding& finding, std::string_view text) {
    SourceIndex index(text);
    return span(finding, index);
}

toml::Span span(const Finding& finding, const Related& related, SourceIndex& index) {
    const std::optional<Range>& own = finding.range;
    const LineColumn begin = own && related.begin >= own->begin
                                 ? index.after(index.at(own->begin), own->begin, related.begin)
                                 : index.at(related.begin);
    const LineColumn end = index.after(begin, related.begin, related.end);
    return toml::Span{{begin.line, begin.column}, {end.line, end.column}};
}

Findings::Findings(std::vector<Finding> findings) : findings_(std::move(findings)), before_(findings_.size(), 0) {}

std::vector<Finding> Findings::list() const { return std::vector<Finding>(begin(), end()); }

Findings::Counts Findings::counts() const {
    Counts counts;
    for (const Finding& finding : findings_) {
        (finding.silenced ? counts.silenced : finding.severity == Severity::Error ? counts.errors : counts.warnings)++;
    }
    for (const Name& name : names_) (name.flags & kSilenced ? counts.silenced : counts.errors)++;  // errors all
    return counts;
}

void Findings::push_back(Finding finding) {
    findings_.push_back(std::move(finding));
    before_.push_back(static_cast<std::uint32_t>(names_.size()));
}

void Findings::merge(std::vector<Finding> findings) {
    for (Finding& finding : findings) findings_.push_back(std::move(finding));
    sort();
}

void Findings::sort() {
    // Most often in file order already: the walk follows the file.
    if (!std::is_sorted(findings_.begin(), findings_.end(), in_file_order))
        std::stable_sort(findings_.begin(), findings_.end(), in_file_order);
    const auto by_place = [](const Name& a, const Name& b) { return a.begin < b.begin; };
    if (!std::is_sorted(names_.begin(), names_.end(), by_place))
        std::stable_sort(names_.begin(), names_.end(), by_place);
    // A record goes after the findings at its place: those are made before
    // the document's walk (loading's), or at other places than keys.
    before_.resize(findings_.size());
    std::size_t name = 0;
    for (std::size_t i = 0; i < findings_.size(); ++i) {
        if (const std::optional<Range>& range = findings_[i].range) {
            while (name < names_.size() && names_[name].begin < range->begin) ++name;
        }
        before_[i] = static_cast<std::uint32_t>(name);
    }
}

const Finding& Findings::Iterator::operator*() const {
    if (!at_name()) return findings_->findings_[whole_];
    if (!made_) {
        read_name(*findings_, findings_->names_[name_], made_finding_);
        made_ = true;
    }
    return made_finding_;
}

}  // namespace vora::lint
