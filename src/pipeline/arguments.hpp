// The Python arguments of the converter calls, derived from the key
// declarations of each section record.
#pragma once

#include <array>
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

// The arguments of one converter call as the interpreter's vector call
// takes them: the positional values, then the keyword values, behind a free
// first slot (for the object whose method is called), and the tuple of the
// keywords' names. The callee sees the same arguments as from a dictionary
// of the keywords, in the same order.
class CallArguments {
public:
    static constexpr std::size_t kMost = 16;

    CallArguments() = default;
    CallArguments(CallArguments&& other) noexcept;
    CallArguments& operator=(CallArguments&&) = delete;
    ~CallArguments();

    // Positional values come first, then keywords; `name` is an interned
    // name that lives for the whole process.
    void add_positional(py::Ref value) { slots_[1 + count_++] = value.release(); ++positional_; }
    void add_keyword(py::Ref value, PyObject* name) {
        names_[count_ - positional_] = name;
        slots_[1 + count_++] = value.release();
    }
    // Makes the tuple of the keywords' names (none without keywords).
    py::Status finish();

    // The slots, the first of them free for the caller to fill.
    PyObject** slots() noexcept { return slots_.data(); }
    std::size_t positional() const noexcept { return positional_; }
    PyObject* keyword_names() const noexcept { return kwnames_.get(); }

private:
    std::array<PyObject*, kMost + 1> slots_{};
    std::array<PyObject*, kMost> names_{};
    std::size_t count_ = 0;
    std::size_t positional_ = 0;
    py::Ref kwnames_;
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

// The names of the record's keywords as interned strings, by field index
// (null for a positional field), made once; null with the exception set
// when one cannot be made.
template <class R>
PyObject* const* keyword_names() {
    static std::array<PyObject*, field_count<R>()> names{};
    static bool made = false;
    if (made) return names.data();
    bool failed = false;
    for_each_field<R>([&](const auto& f, std::size_t index) {
        if (failed || f.pass == Pass::Positional || names[index]) return;
        const std::string name(f.call_name());
        names[index] = PyUnicode_InternFromString(name.c_str());
        failed = names[index] == nullptr;
    });
    if (failed) return nullptr;
    made = true;
    return names.data();
}

// The positional values and keywords of the record's converter call:
// positional fields in declaration order, keywords in call order (which is
// declaration order unless a field says otherwise), an absent value left
// out unless the field passes it as None.
template <class R>
py::Result<CallArguments> call_arguments(const R& record) {
    using arguments_detail::call_order;
    using arguments_detail::keyword_value;
    constexpr std::size_t count = field_count<R>();
    static_assert(count <= CallArguments::kMost, "a record with more keys than a call takes");

    CallArguments arguments;
    std::array<py::Ref, count> keywords;  // by call order
    std::array<std::size_t, count> field_at{};  // the field index of each keyword
    std::optional<py::Error> failure;
    for_each_field<R>([&](const auto& f, std::size_t index) {
        if (failure) return;
        auto value = keyword_value(f, record);
        if (!value.ok()) {
            failure = value.take_error();
            return;
        }
        py::Ref v = value.take();
        if (f.pass == Pass::Positional) {
            arguments.add_positional(v ? std::move(v) : py::Ref::borrow(Py_None));
        } else {
            const auto position = static_cast<std::size_t>(call_order(f, index));
            keywords[position] = std::move(v);
            field_at[position] = index;
        }
    });
    if (failure) return std::move(*failure);
    PyObject* const* interned = keyword_names<R>();
    if (!interned) return py::Error::fetch();
    for (std::size_t position = 0; position < count; ++position) {
        if (!keywords[position]) continue;
        arguments.add_keyword(std::move(keywords[position]), interned[field_at[position]]);
    }
    VORA_CHECK(arguments.finish());
    return arguments;
}

}  // namespace vora::pipeline
