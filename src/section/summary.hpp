// The configuration summary: one headed table per section listing every key
// with its value, its default, whether the two differ, and its description.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "configuration/structs.hpp"
#include "section/cell_text.hpp"
#include "table/table.hpp"

namespace vora {

namespace summary_detail {

// The field indices of a record in ascending byte order of their keys, the
// order of the summary's rows. Keys are distinct: one row each.
template <class Record>
constexpr std::array<std::size_t, field_count<Record>()> rows_in_key_order() {
    std::array<std::string_view, field_count<Record>()> keys{};
    for_each_field<Record>([&](const auto& f, std::size_t index) { keys[index] = f.key; });
    std::array<std::size_t, field_count<Record>()> order{};
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    for (std::size_t i = 1; i < order.size(); ++i) {
        if (keys[order[i - 1]] == keys[order[i]]) throw "a key is declared twice";
    }
    return order;
}

// The cells of one key that are the same in every summary.
struct FixedCells {
    std::string key;
    std::string default_text;
    std::string description;
};

// Draws the table under its "[name]" heading and ends it with an empty line.
std::string framed(std::string_view section_name, const Table& table);

}  // namespace summary_detail

// The printed text of one section: "[name]\n", the drawn table, a line feed
// and an empty line. Keys come in ascending byte order; a key counts as set
// when its value's JSON form differs from the default's (json_equal).
template <class Record>
std::string section_summary(std::string_view section_name, const Record& record) {
    constexpr std::size_t count = field_count<Record>();
    static constexpr auto order = summary_detail::rows_in_key_order<Record>();
    static const Record defaults{};
    static const auto fixed = [] {
        std::array<summary_detail::FixedCells, count> cells;
        for_each_field<Record>([&](const auto& f, std::size_t index) {
            cells[index] = {std::string(f.key), value_cell_text(f.get(defaults)), std::string(f.description)};
        });
        return cells;
    }();

    std::array<std::string, count> values;
    std::array<bool, count> set{};
    for_each_field<Record>([&](const auto& f, std::size_t index) {
        values[index] = value_cell_text(f.get(record));
        set[index] = !same_json_form(f.get(record), f.get(defaults));
    });

    Table table;
    table.rows.reserve(count + 1);
    table.add_row({"Key", "Value", "Default", "Set by User?", "Description"});
    for (const std::size_t index : order) {
        const auto& cells = fixed[index];
        table.add_row(std::vector<std::string>{cells.key, std::move(values[index]), cells.default_text,
                                               set[index] ? "Yes" : "No", cells.description});
    }
    return summary_detail::framed(section_name, table);
}

// The banner "\n[Configuration Summary]\n\n" followed by the sections in the
// order of Configuration::fields() (accuracy_analysis only when present).
std::string configuration_summary(const Configuration& configuration);

}  // namespace vora
