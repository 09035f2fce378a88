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
    out += section_summary("config", configuration.config);
    out += section_summary("load", configuration.load.onnx());
    out += section_summary("build", configuration.build);
    if (configuration.accuracy_analysis) out += section_summary("accuracy_analysis", *configuration.accuracy_analysis);
    out += section_summary("export", configuration.exports);
    return out;
}

}  // namespace vora
