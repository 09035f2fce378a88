#include "lsp/document.hpp"

#include <algorithm>

namespace vora::lsp {

namespace {

// The length of the UTF-8 sequence a lead byte starts (1 for a stray
// continuation byte, which is then counted alone).
std::size_t sequence_length(unsigned char lead) {
    if (lead < 0xC0) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

}  // namespace

std::size_t units(std::string_view text, Encoding encoding) {
    if (encoding == Encoding::Utf8) return text.size();
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = sequence_length(static_cast<unsigned char>(text[i]));
        count += length == 4 ? 2 : 1;  // a code point beyond the BMP is a surrogate pair
        i += length;
    }
    return count;
}

Document::Document(std::string text, std::int64_t version) : text_(std::move(text)), version_(version) {
    index_lines();
}

void Document::index_lines() {
    starts_.assign(1, 0);
    for (std::size_t at = text_.find('\n'); at != std::string::npos; at = text_.find('\n', at + 1)) {
        starts_.push_back(at + 1);
    }
}

void Document::replace(std::string text) {
    text_ = std::move(text);
    index_lines();
}

void Document::replace(std::size_t begin, std::size_t end, std::string_view text) {
    end = std::min(end, text_.size());
    begin = std::min(begin, end);
    text_.replace(begin, end - begin, text);
    index_lines();
}

std::uint32_t Document::line_of(std::size_t offset) const {
    const auto after = std::upper_bound(starts_.begin(), starts_.end(), offset);
    return static_cast<std::uint32_t>(after - starts_.begin() - 1);
}

std::string_view Document::line(std::uint32_t number) const {
    if (number >= starts_.size()) return {};
    const std::size_t begin = starts_[number];
    const std::size_t end = number + 1 < starts_.size() ? starts_[number + 1] - 1 : text_.size();
    return std::string_view(text_).substr(begin, end - begin);
}

Position Document::position(std::size_t offset, Encoding encoding) const {
    offset = std::min(offset, text_.size());
    const std::uint32_t line = line_of(offset);
    const std::string_view before = std::string_view(text_).substr(starts_[line], offset - starts_[line]);
    return Position{line, static_cast<std::uint32_t>(units(before, encoding))};
}

std::size_t Document::offset(Position position, Encoding encoding) const {
    if (position.line >= starts_.size()) return text_.size();
    const std::string_view text = line(position.line);
    std::size_t units_left = position.character;
    std::size_t i = 0;
    while (i < text.size() && units_left > 0) {
        const std::size_t length = std::min(sequence_length(static_cast<unsigned char>(text[i])), text.size() - i);
        const std::size_t width = encoding == Encoding::Utf8 ? length : length == 4 ? 2 : 1;
        if (width > units_left) break;  // inside the code point: its start
        units_left -= width;
        i += length;
    }
    return starts_[position.line] + i;
}

}  // namespace vora::lsp
