#include "pipeline/arguments.hpp"

#include <array>

namespace vora::pipeline {

namespace {

using py::Error;
using py::Ref;
using py::Result;

Result<Ref> to_python(const std::string& value) { return py::text(value); }
Result<Ref> to_python(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
Result<Ref> to_python(std::uint8_t value) { return py::checked(PyLong_FromLong(value)); }
Result<Ref> to_python(std::int32_t value) { return py::checked(PyLong_FromLong(value)); }
Result<Ref> to_python(std::uint64_t value) { return py::checked(PyLong_FromUnsignedLongLong(value)); }
// Single-precision values are widened exactly to double.
Result<Ref> to_python(float value) { return py::checked(PyFloat_FromDouble(static_cast<double>(value))); }

template <class T>
Result<Ref> to_python(const std::vector<T>& values) {
    VORA_TRY(list, py::checked(PyList_New(0)));
    for (const T& v : values) {
        VORA_TRY(item, to_python(v));
        if (PyList_Append(list.get(), item.get()) < 0) return Error::fetch();
    }
    return list;
}

// The initial input values: numpy.load(path) with numpy's own defaults; an
// archive (it has `files`) gives its arrays in `files` order, a single array
// a one-element list.
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

template <class F>
constexpr int call_order(const F& f, std::size_t index) {
    return f.call_rank >= 0 ? f.call_rank : static_cast<int>(index);
}

// The keyword value of one field, or a null Ref when it is left out.
template <class F, class R>
Result<Ref> keyword_value(const F& f, const R& record) {
    const auto& value = f.get(record);
    using T = std::remove_cvref_t<decltype(value)>;
    if constexpr (is_optional<T>::value) {
        if (!value) {
            if (f.pass == Pass::KeywordOrNone) return Ref::borrow(Py_None);
            return Ref();
        }
        if constexpr (std::is_same_v<typename T::value_type, std::string>) {
            if (f.pass == Pass::NumpyArrays) return load_numpy_arrays(*value);
        }
        return to_python(*value);
    } else {
        return to_python(value);
    }
}

template <class R>
Result<CallArguments> build(const R& record) {
    constexpr std::size_t count = field_count<R>();
    bool has_keywords = false;
    std::size_t positional = 0;
    for_each_field<R>([&](const auto& f, std::size_t) {
        if (f.pass == Pass::Positional)
            ++positional;
        else
            has_keywords = true;
    });

    VORA_TRY(args, py::checked(PyTuple_New(static_cast<Py_ssize_t>(positional))));
    std::size_t next_positional = 0;
    std::optional<Error> failure;
    for_each_field<R>([&](const auto& f, std::size_t) {
        if (failure || f.pass != Pass::Positional) return;
        auto value = keyword_value(f, record);
        if (!value.ok()) {
            failure = value.take_error();
            return;
        }
        Ref v = value.take();
        if (!v) v = Ref::borrow(Py_None);
        PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(next_positional++), v.release());
    });
    if (failure) return std::move(*failure);
    if (!has_keywords) return CallArguments{std::move(args), Ref()};

    VORA_TRY(kwargs, py::checked(PyDict_New()));
    // Keywords go in in call order, which is declaration order unless a
    // field says otherwise.
    for (int position = 0; position < static_cast<int>(count) && !failure; ++position) {
        for_each_field<R>([&](const auto& f, std::size_t index) {
            if (failure || f.pass == Pass::Positional || call_order(f, index) != position) return;
            auto value = keyword_value(f, record);
            if (!value.ok()) {
                failure = value.take_error();
                return;
            }
            Ref v = value.take();
            if (!v) return;
            auto key = py::text(f.call_name());
            if (!key.ok()) {
                failure = key.take_error();
                return;
            }
            if (PyObject_SetItem(kwargs.get(), key.value().get(), v.get()) < 0) failure = Error::fetch();
        });
    }
    if (failure) return std::move(*failure);
    return CallArguments{std::move(args), std::move(kwargs)};
}

}  // namespace

Result<CallArguments> call_arguments(const ConfigConfig& section) { return build(section); }
Result<CallArguments> call_arguments(const OnnxLoadConfig& section) { return build(section); }
Result<CallArguments> call_arguments(const BuildConfig& section) { return build(section); }
Result<CallArguments> call_arguments(const AccuracyAnalysisConfig& section) { return build(section); }
Result<CallArguments> call_arguments(const ExportConfig& section) { return build(section); }

}  // namespace vora::pipeline
