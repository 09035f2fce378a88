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

// The argument value of one field as a new reference; `left_out` (a
// borrowed marker, never passed) when the keyword is left out; null with
// the exception set on failure.
inline PyObject* const left_out = Py_Ellipsis;

template <class F, class R>
PyObject* argument_value(const F& f, const R& record) {
    const auto& value = f.get(record);
    using T = std::remove_cvref_t<decltype(value)>;
    if constexpr (is_optional<T>::value) {
        if (!value) return leaves_out_absent(f.pass) ? left_out : py::new_ref(Py_None);
        if constexpr (std::is_same_v<typename T::value_type, std::string>) {
            if (f.pass == Pass::NumpyArrays) {
                auto arrays = load_numpy_arrays(*value);
                if (!arrays.ok()) {
                    arrays.take_error().restore();
                    return nullptr;
                }
                return arrays.take().release();
            }
        }
        return to_python(*value);
    } else {
        return to_python(value);
    }
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

// Fills `arguments` with the positional values and keywords of the record's
// converter call: positional fields in declaration order, keywords in call
// order (which is declaration order unless a field says otherwise), an
// absent value left out unless the field passes it as None. The values are
// made in declaration order. False with the exception set on failure.
template <class R>
bool call_arguments(const R& record, CallArguments& arguments) {
    constexpr std::size_t count = field_count<R>();
    static_assert(count <= CallArguments::kMost, "a record with more keys than a call takes");

    const auto& interned = keyword_names<R>();
    std::array<PyObject*, count> keywords{};    // by call order; null when left out
    std::array<std::size_t, count> field_at{};  // the field index of each keyword
    bool failed = false;
    for_each_field<R>([&](const auto& f, std::size_t index) {
        if (failed) return;
        PyObject* value = arguments_detail::argument_value(f, record);
        if (!value) {
            failed = true;
        } else if (f.pass == Pass::Positional) {
            arguments.add_positional(value == arguments_detail::left_out ? py::new_ref(Py_None) : value);
        } else if (value != arguments_detail::left_out) {
            const std::size_t position = call_order(f, index);
            keywords[position] = value;
            field_at[position] = index;
        }
    });
    // The keywords made so far pass to `arguments`, which releases them
    // whatever happens.
    for (std::size_t position = 0; position < count; ++position) {
        if (keywords[position]) arguments.add_keyword(keywords[position], interned[field_at[position]]);
    }
    if (failed) return false;
    return arguments.finish();
}

}  // namespace vora::pipeline
