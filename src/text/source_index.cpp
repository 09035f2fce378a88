#include "text/source_index.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "text/word.hpp"

namespace vora {

void advance(const char* p, std::size_t from, std::size_t to, std::uint32_t& line, std::uint32_t& column) {
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
    // Eight ASCII bytes at a time: indexing the positions of a whole
    // document costs about 4 instructions a byte, against 11 a byte at a
    // time (callgrind, the parse and the position of its last byte less the
    // parse alone, on small_tables.toml and string_list.toml of
    // bench/reader_ir.py: 4.4 against 10.9 and 3.9 against 11.0).
    while (i + 8 <= to) {
        const std::uint64_t w = word::load(p + i);
        if (word::high(w)) {
            for (const std::size_t stop = i + 8; i < stop; ++i) step(i);
            continue;
        }
        const std::uint64_t feeds = word::equal_exact(w, '\n');
        if (feeds == 0) {
            column += 8;
        } else {
            line += static_cast<std::uint32_t>(std::popcount(feeds));
            // The bytes after the last line feed of the eight.
            column = 1 + 7 - static_cast<std::uint32_t>(word::last_lane(feeds));
        }
        i += 8;
    }
    for (; i < to; ++i) step(i);
}

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
    if (offset > from) advance(text_.data(), from, offset, place.line, place.column);
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

std::size_t SourceIndex::line_start(std::uint32_t number) {
    if (starts_.empty()) find_starts();
    if (number == 0 || number > starts_.size()) return text_.size();
    return number == 1 ? first_ : starts_[number - 1];
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
