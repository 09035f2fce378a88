#include "pipeline/driver.hpp"

#include <climits>
#include <string>

#include "pipeline/arguments.hpp"

namespace vora::pipeline {

namespace {

constexpr std::string_view kModule = "vora.api";
constexpr std::string_view kClass = "VORA";

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

// A name as an interned string, made once per name.
template <const std::string_view& Name>
Result<PyObject*> interned() {
    static PyObject* name = nullptr;
    if (!name) {
        const std::string text(Name);
        name = PyUnicode_InternFromString(text.c_str());
        if (!name) return Error::fetch();
    }
    return name;
}

Status call_step(PyObject* converter, std::string_view method, PyObject* name, CallArguments& arguments) {
    PyObject** slots = arguments.slots();
    slots[0] = converter;
    const auto nargs = static_cast<std::size_t>(arguments.positional());
#if PY_VERSION_HEX >= 0x03090000
    VORA_TRY(result, py::checked(PyObject_VectorcallMethod(name, slots, nargs + 1, arguments.keyword_names())));
#else
    VORA_TRY(bound, py::checked(PyObject_GetAttr(converter, name)));
    VORA_TRY(result, py::checked(_PyObject_Vectorcall(bound.get(), slots + 1, nargs, arguments.keyword_names())));
#endif
    VORA_TRY(code, return_code(result.get()));
    if (code != 0) {
        return Error::make(PyExc_RuntimeError,
                           "vora." + std::string(method) + " failed with code " + std::to_string(code));
    }
    return py::success();
}

// Calls the converter method of a section record, unless the record declines
// the call.
template <class Section>
Status step(PyObject* converter, const Section& section) {
    if constexpr (requires { section.calls_converter(); }) {
        if (!section.calls_converter()) return py::success();
    }
    // The arguments are built before the method is looked up.
    VORA_TRY(arguments, call_arguments(section));
    VORA_TRY(name, interned<Section::method>());
    return call_step(converter, Section::method, name, arguments);
}

}  // namespace

Status run(const Configuration& configuration) {
    // The import machinery as `import vora.api` runs it (a module already in
    // sys.modules is taken from there), then the submodule that it put in
    // sys.modules.
    VORA_TRY(module_name, interned<kModule>());
    VORA_CHECK(py::checked(PyImport_ImportModuleLevelObject(module_name, nullptr, nullptr, nullptr, 0)));
    py::Ref module(PyImport_GetModule(module_name));
    if (!module) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, module_name);
        return Error::fetch();
    }
    VORA_TRY(class_name, interned<kClass>());
    VORA_TRY(cls, py::checked(PyObject_GetAttr(module.get(), class_name)));
    VORA_TRY(converter, py::checked(PyObject_CallObject(cls.get(), nullptr)));

    // One call per section, in section order; the first failure ends the run.
    Status status = py::success();
    for_each_section(configuration, [&](std::string_view, const auto& section) {
        if (status.ok()) status = step(converter.get(), section);
    });
    return status;
}

}  // namespace vora::pipeline
