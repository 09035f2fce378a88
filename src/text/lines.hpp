// Text laid out line by line.
#pragma once

#include <string>
#include <string_view>

namespace vora {

// Appends each line of `text` after `prefix`, each ended by a line feed.
inline void append_prefixed_lines(std::string& out, std::string_view prefix, std::string_view text) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        out += prefix;
        out += text.substr(0, end);
        out += '\n';
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
}

}  // namespace vora
