// What the report formats share: the words and numbers every format
// writes, and Writer, through which the JSON and SARIF formats write each
// finding. Each format's renderer
// lives in a file of its own (report_text.cpp, report_json.cpp,
// report_github.cpp, report_sarif.cpp); report.cpp picks one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "cli/report.hpp"
#include "lint/lint.hpp"
#include "text/integer.hpp"
#include "text/json_string.hpp"
#include "toml/toml.hpp"

namespace vora::cli {

inline std::string_view severity_name(lint::Severity severity) {
    return severity == lint::Severity::Error ? "error" : "warning";
}

// "line:column".
inline void append_position(std::string& out, const toml::Position& position) {
    append_integer(out, position.line);
    out += ':';
    append_integer(out, position.column);
}

// The mark of a finding of a key in a misspelled section, checked as the
// section meant: " (as [config])", at the end of its message.
inline void append_as_section(std::string& out, const lint::Finding& finding) {
    if (const std::optional<std::string>& section = finding.as_section) {
        out += " (as [";
        out += *section;
        out += "])";
    }
}

// The finding's message, and the mark of append_as_section when it has
// one (made in `buffer`).
inline std::string_view message_of(const lint::Finding& finding, std::string& buffer) {
    if (!finding.as_section) return finding.message;
    buffer = finding.message;
    append_as_section(buffer, finding);
    return buffer;
}

// Collects a finding's text in a buffer of its own that grows as it needs
// (no part of a report is sized beforehand: each write makes its room
// first), then appends it to the output whole. Appending each piece to the
// output string instead costs `check --format json` 160.7 against 137.1
// instructions a byte of unknown_keys.toml (bench/reader_ir.py).
class Writer {
public:
    void put(std::string_view text) {
        room(text.size());
        std::memcpy(at_, text.data(), text.size());
        at_ += text.size();
    }
    // A literal's length is known here: its copy is inlined.
    template <std::size_t N>
    void put(const char (&text)[N]) {
        room(N - 1);
        std::memcpy(at_, text, N - 1);
        at_ += N - 1;
    }
    void put(char c) {
        room(1);
        *at_++ = c;
    }
    void number(std::uint32_t n) {
        room(10);
        at_ = write_integer(at_, end_, n);
    }
    // A JSON string of `text` as a JSON library dumps it, each malformed
    // UTF-8 sequence as U+FFFD.
    void json_string(std::string_view text) {
        room(json_string_room(text));
        at_ = write_json_string(at_, end_, text, MalformedUtf8::Replace);
    }
    // Appends what was written to `out` and starts again.
    void move_to(std::string& out) {
        out.append(buffer_.get(), static_cast<std::size_t>(at_ - buffer_.get()));
        at_ = buffer_.get();
    }

private:
    void room(std::size_t bytes) {
        if (bytes > static_cast<std::size_t>(end_ - at_)) [[unlikely]]
            grow(bytes);
    }
    [[gnu::noinline, gnu::cold]] void grow(std::size_t bytes) {
        const std::size_t used = static_cast<std::size_t>(at_ - buffer_.get());
        const std::size_t size = std::max(2 * static_cast<std::size_t>(end_ - buffer_.get()), used + bytes);
        std::unique_ptr<char[]> grown = std::make_unique_for_overwrite<char[]>(size);
        if (used) std::memcpy(grown.get(), buffer_.get(), used);
        buffer_ = std::move(grown);
        at_ = buffer_.get() + used;
        end_ = buffer_.get() + size;
    }

    std::unique_ptr<char[]> buffer_;
    char* at_ = nullptr;
    char* end_ = nullptr;
};

std::unique_ptr<Renderer> make_text_renderer(bool color);
std::unique_ptr<Renderer> make_concise_renderer();
std::unique_ptr<Renderer> make_json_renderer();
std::unique_ptr<Renderer> make_github_renderer();
std::unique_ptr<Renderer> make_sarif_renderer(std::string_view version);

}  // namespace vora::cli
