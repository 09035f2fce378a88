// An open document of the language server: its text as the editor has it
// (unsaved changes included), and the translation between byte offsets and
// the protocol's positions (a line, and a character counted in UTF-8 or
// UTF-16 code units, as the client and server agreed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vora::lsp {

enum class Encoding { Utf8, Utf16 };

struct Position {
    std::uint32_t line = 0;
    std::uint32_t character = 0;
    friend bool operator==(const Position&, const Position&) = default;
};

class Document {
public:
    Document() = default;
    Document(std::string text, std::int64_t version);

    const std::string& text() const { return text_; }
    std::int64_t version() const { return version_; }
    void set_version(std::int64_t version) { version_ = version; }

    // The text replaced whole, or the bytes [begin, end) replaced.
    void replace(std::string text);
    void replace(std::size_t begin, std::size_t end, std::string_view text);

    // The position of a byte offset (past the end: of the end).
    Position position(std::size_t offset, Encoding encoding) const;
    // The byte offset of a position: a line past the last is the end of the
    // text, a character past its line's end is the line's end, and a
    // character inside a code point is its start.
    std::size_t offset(Position position, Encoding encoding) const;

    std::uint32_t line_count() const { return static_cast<std::uint32_t>(starts_.size()); }
    // Line `number` (0-based) without its line feed.
    std::string_view line(std::uint32_t number) const;
    std::size_t line_start(std::uint32_t number) const { return starts_[number]; }
    std::uint32_t line_of(std::size_t offset) const;

private:
    void index_lines();

    std::string text_;
    std::int64_t version_ = 0;
    std::vector<std::size_t> starts_{0};  // of every line
};

// The code units of `text` in `encoding`.
std::size_t units(std::string_view text, Encoding encoding);

}  // namespace vora::lsp
