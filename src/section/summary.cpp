#include "section/summary.hpp"

namespace vora {

namespace summary_detail {

std::string framed(std::string_view section_name, const Table& table) {
    std::string out = "[";
    out += section_name;
    out += "]\n";
    out += render(table);
    out += "\n\n";
    return out;
}

}  // namespace summary_detail

std::string configuration_summary(const Configuration& configuration) {
    std::string out = "\n[Configuration Summary]\n\n";
    for_each_section(configuration,
                     [&](std::string_view key, const auto& record) { out += section_summary(key, record); });
    return out;
}

}  // namespace vora
