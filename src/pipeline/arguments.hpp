// The Python arguments of the converter calls, derived from the key
// declarations of each section record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "configuration/structs.hpp"
#include "python/py.hpp"

namespace vora::pipeline {

struct CallArguments {
    py::Ref args;    // positional tuple
    py::Ref kwargs;  // keyword dictionary, or null when the call takes none
};

namespace arguments_detail {

py::Result<py::Ref> to_python(const std::string& value);
py::Result<py::Ref> to_python(bool value);
py::Result<py::Ref> to_python(std::uint8_t value);
py::Result<py::Ref> to_python(std::int32_t value);
py::Result<py::Ref> to_python(std::uint64_t value);
// Single-precision values are widened exactly to double.
py::Result<py::Ref> to_python(float value);

template <class T>
py::Result<py::Ref> to_python(const std::vector<T>& values) {
    VORA_TRY(list, py::checked(PyList_New(0)));
    for (const T& v : values) {
        VORA_TRY(item, to_python(v));
        if (PyList_Append(list.get(), item.get()) < 0) return py::Error::fetch();
    }
    return list;
}

// The initial input values: numpy.load(path) with numpy's own defaults; an
// archive (it has `files`) gives its arrays in `files` order, a single array
// a one-element list.
py::Result<py::Ref> load_numpy_arrays(const std::string& path);

template <class F>
constexpr int call_order(const F& f, std::size_t index) {
    return f.call_rank >= 0 ? f.call_rank : static_cast<int>(index);
}

// The keyword value of one field, or a null Ref when it is left out.
template <class F, class R>
py::Result<py::Ref> keyword_value(const F& f, const R& record) {
    const auto& value = f.get(record);
    using T = std::remove_cvref_t<decltype(value)>;
    if constexpr (is_optional<T>::value) {
        if (!value) {
            if (f.pass == Pass::KeywordOrNone) return py::Ref::borrow(Py_None);
            return py::Ref();
        }
        if constexpr (std::is_same_v<typename T::value_type, std::string>) {
            if (f.pass == Pass::NumpyArrays) return load_numpy_arrays(*value);
        }
        return to_python(*value);
    } else {
        return to_python(value);
    }
}

}  // namespace arguments_detail

// The positional tuple and keyword dictionary of the record's converter call.
template <class R>
py::Result<CallArguments> call_arguments(const R& record) {
    using arguments_detail::call_order;
    using arguments_detail::keyword_value;
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
    std::optional<py::Error> failure;
    for_each_field<R>([&](const auto& f, std::size_t) {
        if (failure || f.pass != Pass::Positional) return;
        auto value = keyword_value(f, record);
        if (!value.ok()) {
            failure = value.take_error();
            return;
        }
        py::Ref v = value.take();
        if (!v) v = py::Ref::borrow(Py_None);
        PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(next_positional++), v.release());
    });
    if (failure) return std::move(*failure);
    if (!has_keywords) return CallArguments{std::move(args), py::Ref()};

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
            py::Ref v = value.take();
            if (!v) return;
            auto key = py::text(f.call_name());
            if (!key.ok()) {
                failure = key.take_error();
                return;
            }
            if (PyObject_SetItem(kwargs.get(), key.value().get(), v.get()) < 0) failure = py::Error::fetch();
        });
    }
    if (failure) return std::move(*failure);
    return CallArguments{std::move(args), std::move(kwargs)};
}

}  // namespace vora::pipeline
