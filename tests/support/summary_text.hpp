// The summary as a text, for tests: what draw_configuration_summary draws,
// and one section of it.
#pragma once

#include <string>
#include <string_view>

#include "io/output.hpp"
#include "summary/summary.hpp"

namespace vora::summary_test {

inline std::string configuration_summary(const Configuration& configuration) {
    std::string out;
    StringSink sink(out);
    draw_configuration_summary(configuration, sink);
    sink.finish();
    return out;
}

// "[name]\n", the drawn table of the record, a line feed and an empty line.
template <class Record>
std::string section_summary(std::string_view section_name, const Record& record) {
    FormCells cells;
    summary_detail::lay_out_section(cells, record);
    std::string out;
    StringSink sink(out);
    summary_detail::draw_framed(sink, section_name, cells);
    sink.finish();
    return out;
}

}  // namespace vora::summary_test
