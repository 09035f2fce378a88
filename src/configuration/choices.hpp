// The choices a key's description lists in brackets, as in
// "Quantized algorithm. [normal, mmse]". A list whose last item is "..." is
// open: its items are examples, not the only values. A bracketed list inside
// "(e.g. ...)" is an example of the value, not a list of choices.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace vora {

struct Choices {
    std::vector<std::string_view> items;  // views into the description
    bool open = false;

    // Whether the description lists choices that every value must be one of.
    bool closed() const { return !items.empty() && !open; }
};

inline Choices description_choices(std::string_view description) {
    Choices choices;
    std::size_t at = 0;
    while ((at = description.find('[', at)) != std::string_view::npos) {
        const std::size_t close = description.find(']', at);
        if (close == std::string_view::npos) break;
        // Inside "(e.g. ...)": an example.
        const std::size_t example = description.rfind("(e.g.", at);
        if (example != std::string_view::npos && description.find(')', example) > at) {
            at = close + 1;
            continue;
        }
        std::string_view list = description.substr(at + 1, close - at - 1);
        while (!list.empty()) {
            const std::size_t comma = list.find(',');
            std::string_view item = list.substr(0, comma);
            list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
            while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
            while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
            if (item == "...") {
                choices.open = true;
            } else if (!item.empty()) {
                choices.items.push_back(item);
            }
        }
        break;
    }
    return choices;
}

}  // namespace vora
