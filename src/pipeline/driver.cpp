#include "pipeline/driver.hpp"

#include <climits>
#include <string>

#include "pipeline/arguments.hpp"

namespace vora::pipeline {

namespace {

using py::Error;
using py::Ref;
using py::Result;
using py::Status;

// A method's result as a signed 32-bit return code: an int (or subclass) is
// taken directly, anything else through __index__.
Result<long> return_code(PyObject* result) {
    Ref index;
    if (!PyLong_Check(result)) {
        index = Ref(PyNumber_Index(result));
        if (!index) return Error::fetch();
        result = index.get();
    }
    const long value = PyLong_AsLong(result);
    if (value == -1 && PyErr_Occurred()) return Error::fetch();
    if (value < INT32_MIN || value > INT32_MAX) {
        return Error::make(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return value;
}

Status call_step(PyObject* converter, std::string_view method, const CallArguments& arguments) {
    VORA_TRY(bound, py::getattr(converter, method));
    VORA_TRY(result, py::call(bound.get(), arguments.args.get(), arguments.kwargs.get()));
    VORA_TRY(code, return_code(result.get()));
    if (code != 0) {
        return Error::make(PyExc_RuntimeError,
                           "vora." + std::string(method) + " failed with code " + std::to_string(code));
    }
    return py::success();
}

template <class Section>
Status step(PyObject* converter, std::string_view method, const Section& section) {
    // The arguments are built before the method is looked up.
    VORA_TRY(arguments, call_arguments(section));
    return call_step(converter, method, arguments);
}

}  // namespace

Status run(const Configuration& configuration) {
    VORA_TRY(module, py::import("vora.api"));
    VORA_TRY(cls, py::getattr(module.get(), "VORA"));
    VORA_TRY(converter, py::checked(PyObject_CallObject(cls.get(), nullptr)));

    VORA_CHECK(step(converter.get(), "config", configuration.config));
    VORA_CHECK(step(converter.get(), "load_onnx", configuration.load.onnx()));
    VORA_CHECK(step(converter.get(), "build", configuration.build));
    if (configuration.accuracy_analysis && !configuration.accuracy_analysis->inputs.empty()) {
        VORA_CHECK(step(converter.get(), "accuracy_analysis", *configuration.accuracy_analysis));
    }
    VORA_CHECK(step(converter.get(), "export_vora", configuration.exports));
    return py::success();
}

}  // namespace vora::pipeline
