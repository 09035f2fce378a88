// What the report formats share: the words and numbers every format
// writes, and Cursor, the writer into room made beforehand through which
// the JSON and SARIF formats write each finding. Each format's renderer
// lives in a file of its own (report_text.cpp, report_json.cpp,
// report_github.cpp, report_sarif.cpp); report.cpp picks one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "cli/report.hpp"
#include "io/assert.hpp"
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
    if (const std::optional<std::string_view> section = finding.as_section()) {
        out += " (as [";
        out += *section;
        out += "])";
    }
}

// Writes into room made beforehand at the end of a string, which it cuts
// back to what was written when done. Every write asserts that it stays
// inside the room (in builds without NDEBUG).
class Cursor {
public:
    Cursor(std::string& out, std::size_t room) : out_(out) {
        const std::size_t size = out.size();
        out.resize(size + room);
        at_ = out.data() + size;
        end_ = out.data() + out.size();
    }
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;
    ~Cursor() { out_.resize(static_cast<std::size_t>(at_ - out_.data())); }

    // Room a JSON string of `text` may take.
    static std::size_t room_for_json(std::string_view text) { return json_string_room(text); }

    void put(std::string_view text) {
        VORA_ASSERT(at_ + text.size() <= end_, "no room left for a report's text");
        std::memcpy(at_, text.data(), text.size());
        at_ += text.size();
    }
    template <std::size_t N>
    void put(const char (&text)[N]) {
        VORA_ASSERT(at_ + (N - 1) <= end_, "no room left for a report's text");
        std::memcpy(at_, text, N - 1);
        at_ += N - 1;
    }
    void put(char c) {
        VORA_ASSERT(at_ < end_, "no room left for a report's text");
        *at_++ = c;
    }
    void number(std::uint32_t n) { at_ = write_integer(at_, end_, n); }
    // A JSON string of `text` as a JSON library dumps it, each malformed
    // UTF-8 sequence as U+FFFD.
    void json_string(std::string_view text) { at_ = write_json_string(at_, end_, text, MalformedUtf8::Replace); }

private:
    std::string& out_;
    char* at_;
    char* end_;
};

std::unique_ptr<Renderer> make_text_renderer(bool color);
std::unique_ptr<Renderer> make_json_renderer();
std::unique_ptr<Renderer> make_github_renderer();
std::unique_ptr<Renderer> make_sarif_renderer(std::string_view version);

}  // namespace vora::cli
