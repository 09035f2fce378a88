#include "pipeline/driver.hpp"

#include <climits>
#include <string>
#include <utility>

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

// A name as an interned string. Made by prepare() when the module is
// initialised and only read afterwards, by threads that hold the interpreter
// lock; as it never changes after that, a free-threaded build could read it
// without it too.
template <const std::string_view& Name>
PyObject*& name_of() {
    static PyObject* name = nullptr;
    return name;
}

template <const std::string_view& Name>
bool make_name() {
    PyObject*& name = name_of<Name>();
    if (!name) {
        const std::string text(Name);
        name = PyUnicode_InternFromString(text.c_str());
    }
    return name != nullptr;
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
    CallArguments arguments;
    if (!call_arguments(section, arguments)) return Error::fetch();
    return call_step(converter, Section::method, name_of<Section::method>(), arguments);
}

// The module `import vora.api` binds: the import machinery is asked each
// time, as the statement asks it (a module already in sys.modules is taken
// from there once fully initialised; one replaced there is the one found).
// No state is kept between calls.
Result<Ref> converter_module() {
    PyObject* const module_name = name_of<kModule>();
    VORA_TRY(package, py::checked(PyImport_ImportModuleLevelObject(module_name, nullptr, nullptr, nullptr, 0)));
    Ref module(PyImport_GetModule(module_name));
    if (!module) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, module_name);
        return Error::fetch();
    }
    return module;
}

}  // namespace

Status run(const Configuration& configuration) {
    VORA_TRY(module, converter_module());
    VORA_TRY(cls, py::checked(PyObject_GetAttr(module.get(), name_of<kClass>())));
    VORA_TRY(converter, py::checked(PyObject_CallObject(cls.get(), nullptr)));

    // One call per section, in section order; the first failure ends the run.
    Status status = py::success();
    for_each_section(configuration, [&](std::string_view, const auto& section) {
        if (status.ok()) status = step(converter.get(), section);
    });
    return status;
}

bool prepare() {
    bool made = make_name<kModule>() && make_name<kClass>();
    for_each_field<Configuration>([&](const auto& f, std::size_t) {
        using Record = section_record_t<decltype(f)>;
        made = made && make_name<Record::method>() && make_keyword_names<Record>();
    });
    return made;
}

}  // namespace vora::pipeline
