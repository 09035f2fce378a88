#include "pipeline/arguments.hpp"

namespace vora::pipeline {

CallArguments::~CallArguments() {
    if (!py::holds_lock()) return;  // a thread ended while the process exits
    for (std::size_t i = 1; i <= count_; ++i) Py_DECREF(slots_[i]);
    Py_XDECREF(kwnames_);
}

bool CallArguments::finish() noexcept {
    const std::size_t keywords = count_ - positional_;
    if (keywords == 0) return true;
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(keywords));
    if (!tuple) return false;
    for (std::size_t i = 0; i < keywords; ++i)
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), py::new_ref(names_[i]));
    kwnames_ = tuple;
    return true;
}

}  // namespace vora::pipeline

namespace vora::pipeline::arguments_detail {

using py::Error;
using py::Ref;
using py::Result;

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
