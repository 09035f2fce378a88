#include "pipeline/driver.hpp"

#include <climits>
#include <string>
#include <utility>

#include "pipeline/arguments.hpp"

namespace vora::pipeline {

namespace {

constexpr std::string_view kModule = "vora.api";
constexpr std::string_view kPackage = "vora";
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

// The module `import vora.api` binds, as the import machinery finds it: a
// module already in sys.modules is taken from there once it is fully
// initialised, anything else is imported. The package and the submodule
// last found are kept, so that while sys.modules still holds exactly these
// two the import machinery is not asked again (a module it has seen
// initialised stays so); a module replaced in sys.modules is imported anew.
//
// The two are the only state that changes between calls. They are read and
// replaced only by a thread that holds the interpreter lock, and are strong
// references: one replaced is let go only after its successor is in place,
// and a module found here is handed out as a new reference, so no thread
// ever holds one that was let go. A free-threaded build would need a lock
// (or an atomic pair) around them. Measured when it was made: it saves 2-3 us
// of a conversion's 28 us, against the import machinery's look-up.
Result<Ref> converter_module() {
    static PyObject* known_package = nullptr;
    static PyObject* known_module = nullptr;
    PyObject* const module_name = name_of<kModule>();
    PyObject* const package_name = name_of<kPackage>();
    PyObject* modules = PyImport_GetModuleDict();
    if (known_module && PyDict_CheckExact(modules)) {
        PyObject* module = PyDict_GetItemWithError(modules, module_name);
        if (module == known_module && PyDict_GetItemWithError(modules, package_name) == known_package) {
            return Ref::borrow(module);
        }
        if (PyErr_Occurred()) return Error::fetch();
    }
    // The import machinery as `import vora.api` runs it, then the submodule
    // that it put in sys.modules.
    VORA_TRY(package, py::checked(PyImport_ImportModuleLevelObject(module_name, nullptr, nullptr, nullptr, 0)));
    Ref module(PyImport_GetModule(module_name));
    if (!module) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, module_name);
        return Error::fetch();
    }
    if (module.get() != Py_None) {
        // The modules kept before are let go only once the new ones are in
        // place: letting go may run code that converts.
        PyObject* const old_package = std::exchange(known_package, py::new_ref(package.get()));
        PyObject* const old_module = std::exchange(known_module, py::new_ref(module.get()));
        Py_XDECREF(old_package);
        Py_XDECREF(old_module);
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
    bool made = make_name<kModule>() && make_name<kPackage>() && make_name<kClass>();
    for_each_field<Configuration>([&](const auto& f, std::size_t) {
        using Record = section_record_t<decltype(f)>;
        made = made && make_name<Record::method>() && make_keyword_names<Record>();
    });
    return made;
}

}  // namespace vora::pipeline
