// The configuration summary: one headed table per section listing every key
// with its value, its default, whether the two differ, and its description.
#pragma once

#include <string>
#include <string_view>

#include "configuration/structs.hpp"

namespace vora {

// The printed text of one section: "[name]\n", the drawn table, a line feed
// and an empty line.
std::string section_summary(std::string_view section_name, const ConfigConfig& record);
std::string section_summary(std::string_view section_name, const OnnxLoadConfig& record);
std::string section_summary(std::string_view section_name, const BuildConfig& record);
std::string section_summary(std::string_view section_name, const AccuracyAnalysisConfig& record);
std::string section_summary(std::string_view section_name, const ExportConfig& record);

// The banner "\n[Configuration Summary]\n\n" followed by the sections config,
// load, build, accuracy_analysis (when present) and export.
std::string configuration_summary(const Configuration& configuration);

}  // namespace vora
