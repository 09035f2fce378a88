// The configuration summary: one headed table per section listing every key
// with its value, its default, whether the two differ, and its description.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "configuration/structs.hpp"
#include "configuration/value_json.hpp"
#include "summary/table.hpp"

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

// Adds the open cell of a value: a string by view, any other value's JSON
// text written into the drawing's own store.
template <class T>
void add_value_cell(FormCells& cells, const T& value, std::size_t variant) {
    if constexpr (std::is_same_v<T, std::string>) {
        cells.add(value, variant);
    } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
        cells.add(value ? std::string_view(*value) : std::string_view("null"), variant);
    } else {
        // A long list's text is as long as the file that gave it: the store
        // takes its size at once rather than growing twice over it.
        cells.add_written([&](std::string& out) { json_form::append_json(out, value); }, variant,
                          json_form::json_size(value));
    }
}

// The variants of a key's row: set by the user, or not.
inline constexpr std::size_t kSet = 0;
inline constexpr std::size_t kNotSet = 1;

// The row of field I: its value in the open column, the variant by whether
// the value differs from the default.
template <class Record, std::size_t I>
void add_key_value(FormCells& cells, const Record& record, const Record& defaults) {
    constexpr auto f = std::get<I>(Record::fields());
    add_value_cell(cells, f.get(record), same_json_form(f.get(record), f.get(defaults)) ? kNotSet : kSet);
}

// The heading row; "Value" heads the open column, given with each drawing.
inline constexpr std::array<std::string_view, 5> kHeadings = {"Key", "Value", "Default", "Set by User?", "Description"};

// Adds a key's row to a section's form, in the variants kSet and kNotSet.
void add_key_row(TableForm& form, std::string_view key, std::string_view default_text, std::string_view description);

template <class Record>
const Record& defaults() {
    // Never destroyed, as every value made once here: a daemon thread may
    // still draw while the process exits and runs static destructors.
    static const Record& record = *new Record{};
    return record;
}

// The table of a section as a form, made once per process: the heading row,
// then one row per key in ascending byte order, the value column open.
template <class Record>
const TableForm& section_form() {
    static const TableForm& form = *new TableForm([] {
        struct Fixed {
            std::string_view key;
            std::string default_text;
            std::string_view description;
        };
        std::vector<Fixed> fixed;
        for_each_field<Record>([&](const auto& f, std::size_t) {
            fixed.push_back(Fixed{f.key, value_cell_text(f.get(defaults<Record>())), f.description});
        });
        TableForm built(kHeadings.size(), 1);
        built.add_row({std::vector<std::string_view>(kHeadings.begin(), kHeadings.end())});
        for (const std::size_t index : rows_in_key_order<Record>()) {
            add_key_row(built, fixed[index].key, fixed[index].default_text, fixed[index].description);
        }
        built.finish();
        return built;
    }());
    return form;
}

// Gives the section's form its cells. Views into `record` are kept until
// the drawing.
template <class Record>
void lay_out_section(FormCells& cells, const Record& record) {
    static constexpr auto order = rows_in_key_order<Record>();
    static constexpr auto add_rows = []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array{&add_key_value<Record, I>...};
    }(std::make_index_sequence<field_count<Record>()>{});
    const Record& record_defaults = defaults<Record>();
    cells.start(section_form<Record>());
    cells.add(kHeadings[1]);
    for (const std::size_t index : order) add_rows[index](cells, record, record_defaults);
}

// "[name]\n", the drawing, a line feed and an empty line (the cells given,
// drawn_size() not yet called).
void draw_framed(Sink& out, std::string_view section_name, FormCells& cells);

}  // namespace summary_detail

// The banner "\n[Configuration Summary]\n\n" followed by the sections in the
// order of Configuration::fields() (accuracy_analysis only when present),
// put into `out` as it is drawn, section by section: no more of it is held
// at once than one section's value cells. Each section is "[name]\n", the
// drawn table, a line feed and an empty line; keys come in ascending byte
// order, and a key counts as set when its value's JSON form differs from the
// default's (json_equal).
void draw_configuration_summary(const Configuration& configuration, Sink& out);

}  // namespace vora
