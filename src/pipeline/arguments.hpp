// The Python arguments of the converter calls, derived from the key
// declarations of each section record.
#pragma once

#include "configuration/structs.hpp"
#include "python/py.hpp"

namespace vora::pipeline {

struct CallArguments {
    py::Ref args;    // positional tuple
    py::Ref kwargs;  // keyword dictionary, or null when the call takes none
};

py::Result<CallArguments> call_arguments(const ConfigConfig& section);
py::Result<CallArguments> call_arguments(const OnnxLoadConfig& section);
py::Result<CallArguments> call_arguments(const BuildConfig& section);
py::Result<CallArguments> call_arguments(const AccuracyAnalysisConfig& section);
py::Result<CallArguments> call_arguments(const ExportConfig& section);

}  // namespace vora::pipeline
