// The JSON form of the section records and the JSON Schema document (draft
// 2020-12) of each section record type, both derived from the field
// declarations.
#pragma once

#include <nlohmann/json.hpp>

#include "configuration/structs.hpp"

namespace vora {

inline constexpr std::string_view kSchemaDialect = "https://json-schema.org/draft/2020-12/schema";

// An object with one member per key: booleans, texts and integers as such
// (integers of zero and above unsigned, negative ones signed), f32 widened
// exactly to double (non-finite values null), lists as arrays, absent
// optionals as null.
nlohmann::json record_json(const ConfigConfig& record);
nlohmann::json record_json(const OnnxLoadConfig& record);
nlohmann::json record_json(const BuildConfig& record);
nlohmann::json record_json(const AccuracyAnalysisConfig& record);
nlohmann::json record_json(const ExportConfig& record);

// The root document of a section record type: "$schema", "title", "type"
// "object" and "properties" with one property schema per key. A fresh
// document on every call. Defined for the five section records.
template <class Record>
nlohmann::json section_schema();

extern template nlohmann::json section_schema<ConfigConfig>();
extern template nlohmann::json section_schema<OnnxLoadConfig>();
extern template nlohmann::json section_schema<BuildConfig>();
extern template nlohmann::json section_schema<AccuracyAnalysisConfig>();
extern template nlohmann::json section_schema<ExportConfig>();

}  // namespace vora
