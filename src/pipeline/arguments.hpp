// The Python arguments of the converter calls, derived from the key
// declarations of each section record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "configuration/call_arguments.hpp"
#include "configuration/structs.hpp"
#include "python/py.hpp"

namespace vora::pipeline {

// The arguments of one converter call as the interpreter's vector call
// takes them: the positional values, then the keyword values, behind a free
// first slot (for the object whose method is called), and the tuple of the
// keywords' names. The callee sees the same arguments as from a dictionary
// of the keywords, in the same order. Filled in place; owns its values.
class CallArguments {
public:
    static constexpr std::size_t kMost = 16;

    CallArguments() = default;
    CallArguments(const CallArguments&) = delete;
    CallArguments& operator=(const CallArguments&) = delete;
    ~CallArguments();

    // Positional values come first, then keywords; both take over a new
    // reference. `name` is an interned name that lives for the whole process.
    void add_positional(PyObject* value) noexcept {
        slots_[1 + count_++] = value;
        ++positional_;
    }
    void add_keyword(PyObject* value, PyObject* name) noexcept {
        names_[count_ - positional_] = name;
        slots_[1 + count_++] = value;
    }
    // Makes the tuple of the keywords' names (none without keywords). False
    // with the exception set when it cannot be made.
    bool finish() noexcept;

    // The slots, the first of them free for the caller to fill.
    PyObject** slots() noexcept { return slots_.data(); }
    std::size_t positional() const noexcept { return positional_; }
    PyObject* keyword_names() const noexcept { return kwnames_; }

private:
    std::array<PyObject*, kMost + 1> slots_;
    std::array<PyObject*, kMost> names_;
    std::size_t count_ = 0;
    std::size_t positional_ = 0;
    PyObject* kwnames_ = nullptr;
};

namespace arguments_detail {

// Each gives a new reference, or null with the exception set.
inline PyObject* to_python(const std::string& value) { return py::new_text(value); }
inline PyObject* to_python(bool value) { return py::new_ref(value ? Py_True : Py_False); }
inline PyObject* to_python(std::uint8_t value) { return PyLong_FromLong(value); }
inline PyObject* to_python(std::int32_t value) { return PyLong_FromLong(value); }
inline PyObject* to_python(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
// Single-precision values are widened exactly to double.
inline PyObject* to_python(float value) { return PyFloat_FromDouble(static_cast<double>(value)); }

template <class T>
PyObject* to_python(const std::vector<T>& values) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = to_python(values[i]);
        if (!item) {
            Py_DECREF(list);  // the slots not yet filled are null
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

// The initial input values: numpy.load(path) with numpy's own defaults; an
// archive (it has `files`) gives its arrays in `files` order, a single array
// a one-element list.
py::Result<py::Ref> load_numpy_arrays(const std::string& path);

inline PyObject* to_python(NoneArgument) { return py::new_ref(Py_None); }

inline PyObject* to_python(const NumpyFileArgument& file) {
    auto arrays = load_numpy_arrays(file.path);
    if (!arrays.ok()) {
        arrays.take_error().restore();
        return nullptr;
    }
    return arrays.take().release();
}

}  // namespace arguments_detail

// The names of the record's keywords as interned strings, by field index
// (null for a positional field). Made by make_keyword_names() when the module
// is initialised and only read afterwards, by threads that hold the
// interpreter lock; as they never change after that, a free-threaded build
// could read them without it too.
template <class R>
std::array<PyObject*, field_count<R>()>& keyword_names() {
    static std::array<PyObject*, field_count<R>()> names{};
    return names;
}

// False with the exception set when a name cannot be made.
template <class R>
bool make_keyword_names() {
    auto& names = keyword_names<R>();
    bool failed = false;
    for_each_field<R>([&](const auto& f, std::size_t index) {
        if (failed || f.pass == Pass::Positional || names[index]) return;
        const std::string name(f.call_name());
        names[index] = PyUnicode_InternFromString(name.c_str());
        failed = names[index] == nullptr;
    });
    return !failed;
}

// Fills `arguments` with the values of the record's converter call, in the
// order for_each_call_argument gives them. False with the exception set on
// failure; the values made so far are owned by `arguments`.
template <class R>
bool call_arguments(const R& record, CallArguments& arguments) {
    static_assert(field_count<R>() <= CallArguments::kMost, "a record with more keys than a call takes");
    const auto& interned = keyword_names<R>();
    bool failed = false;
    for_each_call_argument(record, [&](const auto& f, std::size_t index, const auto& value) {
        if (failed) return;
        PyObject* made = arguments_detail::to_python(value);
        if (!made) {
            failed = true;
        } else if (f.pass == Pass::Positional) {
            arguments.add_positional(made);
        } else {
            arguments.add_keyword(made, interned[index]);
        }
    });
    if (failed) return false;
    return arguments.finish();
}

}  // namespace vora::pipeline
