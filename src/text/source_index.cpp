#include "text/source_index.hpp"

#include <algorithm>
#include <cstring>

#include "text/utf8.hpp"

namespace vora {

SourceIndex::SourceIndex(std::string_view text)
    : text_(text), first_(text.starts_with("\xEF\xBB\xBF") ? 3 : 0), at_(first_), place_{} {}

LineColumn SourceIndex::at(std::size_t offset) {
    offset = std::min(offset, text_.size());
    if (offset < at_) {
        if (starts_.empty()) {
            at_ = first_;
            place_ = LineColumn{};
        } else {
            // The start of the offset's line.
            const auto next = std::upper_bound(starts_.begin(), starts_.end(), offset);
            const auto line = static_cast<std::uint32_t>(next - starts_.begin());
            at_ = line == 1 ? first_ : starts_[line - 1];
            place_ = LineColumn{line, 1};
        }
    }
    place_ = after(place_, at_, offset);
    at_ = std::max(at_, offset);
    return place_;
}

LineColumn SourceIndex::after(LineColumn place, std::size_t from, std::size_t offset) const {
    offset = std::min(offset, text_.size());
    if (offset <= from) return place;
    const std::string_view part = text_.substr(from, offset - from);
    const std::size_t feed = part.rfind('\n');
    if (feed == std::string_view::npos) {
        place.column += static_cast<std::uint32_t>(utf8::count_code_points(part));
    } else {
        place.line += static_cast<std::uint32_t>(std::count(part.begin(), part.end(), '\n'));
        place.column = 1 + static_cast<std::uint32_t>(utf8::count_code_points(part.substr(feed + 1)));
    }
    return place;
}

void SourceIndex::find_starts() {
    starts_.push_back(0);
    const char* const base = text_.data();
    const char* const end = base + text_.size();
    for (const char* p = base; p < end;) {
        const void* feed = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        if (!feed) break;
        p = static_cast<const char*>(feed) + 1;
        starts_.push_back(static_cast<std::uint32_t>(p - base));
    }
}

std::string_view SourceIndex::line(std::uint32_t number) {
    if (starts_.empty()) find_starts();
    if (number == 0 || number > starts_.size()) return {};
    const std::size_t start = number == 1 ? first_ : starts_[number - 1];
    const std::size_t end = number < starts_.size() ? starts_[number] - 1 : text_.size();
    std::string_view content = text_.substr(start, end - start);
    if (content.ends_with('\r')) content.remove_suffix(1);
    return content;
}

}  // namespace vora
