// The converter driver: one VORA object from vora.api, its methods called in
// order, each result judged as a return code.
#pragma once

#include "configuration/structs.hpp"
#include "python/py.hpp"

namespace vora::pipeline {

// Makes the names every conversion uses; called once, when the module is
// initialised. False with the exception set when one cannot be made.
bool prepare();

// Runs the whole conversion. The caller holds the interpreter lock.
py::Status run(const Configuration& configuration);

}  // namespace vora::pipeline
