// Lines and columns of a document's values and keys, for tests: the reader
// keeps byte offsets only, and these turn them into positions as reports do
// (SourceIndex).
#pragma once

#include <cstddef>
#include <string_view>

#include "text/source_index.hpp"
#include "toml/toml.hpp"

namespace vora::toml_test {

inline toml::Span span_in(std::string_view text, std::size_t begin, std::size_t end) {
    SourceIndex index(text);
    const LineColumn from = index.at(begin);
    const LineColumn to = index.after(from, begin, end);
    return toml::Span{{from.line, from.column}, {to.line, to.column}};
}

inline toml::Span span(const toml::Document& document, const toml::Value& value) {
    return span_in(document.text(), value.offset(), value.end_offset());
}

inline toml::Span key_span(const toml::Member& member) {
    const auto [begin, end] = member.key_offsets();
    return span_in(member.doc->text(), begin, end);
}

}  // namespace vora::toml_test
