#include "pipeline/arguments.hpp"

namespace vora::pipeline {

CallArguments::CallArguments(CallArguments&& other) noexcept
    : slots_(other.slots_),
      names_(other.names_),
      count_(std::exchange(other.count_, 0)),
      positional_(std::exchange(other.positional_, 0)),
      kwnames_(std::move(other.kwnames_)) {}

CallArguments::~CallArguments() {
    for (std::size_t i = 1; i <= count_; ++i) Py_DECREF(slots_[i]);
}

py::Status CallArguments::finish() {
    const std::size_t keywords = count_ - positional_;
    if (keywords == 0) return py::success();
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(keywords));
    if (!tuple) return py::Error::fetch();
    for (std::size_t i = 0; i < keywords; ++i) {
        Py_INCREF(names_[i]);
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), names_[i]);
    }
    kwnames_ = py::Ref(tuple);
    return py::success();
}

}  // namespace vora::pipeline

namespace vora::pipeline::arguments_detail {

using py::Error;
using py::Ref;
using py::Result;

Result<Ref> to_python(const std::string& value) { return py::text(value); }
Result<Ref> to_python(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
Result<Ref> to_python(std::uint8_t value) { return py::checked(PyLong_FromLong(value)); }
Result<Ref> to_python(std::int32_t value) { return py::checked(PyLong_FromLong(value)); }
Result<Ref> to_python(std::uint64_t value) { return py::checked(PyLong_FromUnsignedLongLong(value)); }
Result<Ref> to_python(float value) { return py::checked(PyFloat_FromDouble(static_cast<double>(value))); }

Result<Ref> load_numpy_arrays(const std::string& path) {
    VORA_TRY(numpy, py::import("numpy"));
    VORA_TRY(load, py::getattr(numpy.get(), "load"));
    VORA_TRY(path_text, py::text(path));
    VORA_TRY(args, py::checked(PyTuple_Pack(1, path_text.get())));
    VORA_TRY(loaded, py::call(load.get(), args.get(), nullptr));
    VORA_TRY(arrays, py::checked(PyList_New(0)));

    auto files = py::getattr(loaded.get(), "files");
    if (!files.ok()) {
        Error err = files.take_error();
        if (!err.matches(PyExc_AttributeError)) return err;
        if (PyList_Append(arrays.get(), loaded.get()) < 0) return Error::fetch();
        return arrays;
    }
    VORA_TRY(names, py::getattr(loaded.get(), "files"));
    VORA_TRY(iterator, py::checked(PyObject_GetIter(names.get())));
    for (;;) {
        Ref name(PyIter_Next(iterator.get()));
        if (!name) {
            if (PyErr_Occurred()) return Error::fetch();
            break;
        }
        VORA_TRY(array, py::checked(PyObject_GetItem(loaded.get(), name.get())));
        if (PyList_Append(arrays.get(), array.get()) < 0) return Error::fetch();
    }
    return arrays;
}

}  // namespace vora::pipeline::arguments_detail
