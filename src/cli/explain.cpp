#include "cli/explain.hpp"

#include <string_view>

#include "configuration/value_json.hpp"
#include "summary/summary.hpp"
#include "text/display.hpp"
#include "text/utf8.hpp"

namespace vora::cli {

namespace {

constexpr std::string_view kCut = "...";

// The shown form of `text` cut to at most `columns` columns, "..." included
// when it is cut.
std::string shown_within(std::string_view text, std::size_t columns) {
    std::string whole;
    if (display::append_shown(whole, text) <= columns) return whole;
    std::string out;
    std::size_t used = 0;
    const std::size_t room = columns > kCut.size() ? columns - kCut.size() : 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t start = i;
        utf8::next(text, i);
        std::string piece;
        const std::size_t width = display::append_shown(piece, text.substr(start, i - start));
        if (used + width > room) break;
        out += piece;
        used += width;
    }
    return out += kCut;
}

// One key's line.
template <class T>
void append_line(std::string& out, std::string_view section, std::string_view key, const T& value,
                 const T& default_value) {
    std::string head = "[";
    head += section;
    head += "] ";
    head += key;
    head += " = ";
    std::string text;
    json_form::append_json(text, value);
    std::string tail;
    if (!same_json_form(value, default_value)) {
        std::string shown_default;
        json_form::append_json(shown_default, default_value);
        tail = "  (default: " + shown_within(shown_default, kListColumns / 4) + ")";
    }
    const std::size_t fixed = display::width(head) + display::width(tail);
    const std::size_t room = fixed < kListColumns ? kListColumns - fixed : 0;
    out += shown_within(head, kListColumns);
    out += shown_within(text, room > kCut.size() + 8 ? room : kCut.size() + 8);
    out += tail;
    out += '\n';
}

template <class Record>
void append_section(std::string& out, std::string_view section, const Record& record) {
    static const Record& defaults = summary_detail::defaults<Record>();
    for (const std::size_t index : summary_detail::rows_in_key_order<Record>()) {
        for_each_field<Record>([&](const auto& f, std::size_t i) {
            if (i == index) append_line(out, section, f.key, f.get(record), f.get(defaults));
        });
    }
}

}  // namespace

std::string explain_list(const Configuration& configuration) {
    std::string out;
    for_each_section(configuration,
                     [&](std::string_view key, const auto& record) { append_section(out, key, record); });
    return out;
}

}  // namespace vora::cli
