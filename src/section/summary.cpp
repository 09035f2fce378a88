#include "section/summary.hpp"

#include <cstring>

namespace vora {

namespace {

constexpr std::string_view kTableEnd = "\n\n";

char* put(char* out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

}  // namespace

namespace summary_detail {

void add_key_row(TableForm& form, std::string_view key, std::string_view default_text,
                 std::string_view description) {
    form.add_row({{key, "", default_text, "Yes", description}, {key, "", default_text, "No", description}});
}

std::size_t framed_size(std::string_view section_name, FormCells& cells) {
    return 1 + section_name.size() + 2 + cells.drawn_size() + kTableEnd.size();
}

char* draw_framed(char* out, std::string_view section_name, const FormCells& cells) {
    out = put(out, "[");
    out = put(out, section_name);
    out = put(out, "]\n");
    out = cells.draw_to(out);
    return put(out, kTableEnd);
}

}  // namespace summary_detail

std::string_view draw_configuration_summary(const Configuration& configuration, std::string& buffer) {
    constexpr std::string_view banner = "\n[Configuration Summary]\n\n";
    constexpr std::size_t most = field_count<Configuration>();
    // Kept between calls so that their buffers are allocated once per thread.
    thread_local std::array<FormCells, most> tables;

    std::array<std::string_view, most> names{};
    std::size_t count = 0;
    std::size_t size = banner.size();
    for_each_section(configuration, [&](std::string_view key, const auto& record) {
        summary_detail::lay_out_section(tables[count], record);
        size += summary_detail::framed_size(key, tables[count]);
        names[count++] = key;
    });

    if (buffer.size() < size) buffer.resize(size);
    char* out = put(buffer.data(), banner);
    for (std::size_t i = 0; i < count; ++i) out = summary_detail::draw_framed(out, names[i], tables[i]);
    return std::string_view(buffer.data(), size);
}

std::string configuration_summary(const Configuration& configuration) {
    std::string out;
    out.resize(draw_configuration_summary(configuration, out).size());
    return out;
}

}  // namespace vora
