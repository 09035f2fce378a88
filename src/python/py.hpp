// A small RAII layer over the interpreter's C API: an owned reference, a
// fetched exception, and results that carry one or the other.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace vora::py {

// Whether the calling thread holds the interpreter lock. Destructors that
// give references back ask it: while the process exits, the interpreter ends
// a daemon thread that waits for its lock inside a Python call, and the
// unwind that ends it runs this thread's destructors without the lock. The
// references are then kept (the process is ending); giving them back would
// race the thread that finalizes the interpreter.
inline bool holds_lock() noexcept { return PyGILState_Check() != 0; }

// An owned (strong) reference; released when the handle goes away.
class Ref {
public:
    Ref() = default;
    // Takes over a new reference (may be null).
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() {
        if (p_ && holds_lock()) Py_DECREF(p_);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// A Python exception taken out of the interpreter's error indicator.
struct Error {
    Ref type;
    Ref value;
    Ref traceback;

    // Takes the pending exception; when none is set (a failed call that
    // forgot to set one) yields SystemError instead.
    static Error fetch();
    // An exception of the given type with a text message.
    static Error make(PyObject* type, std::string_view message);
    // Hands the exception back to the interpreter's error indicator.
    void restore() &&;
    // Normalizes the exception and says whether it is an instance of `kind`.
    bool matches(PyObject* kind) const;
    // "<qualified type name>: <str(value)>".
    std::string describe();
    // Writes the exception with its traceback to sys.stderr, as the
    // interpreter shows an uncaught one; a failure to do so is let go.
    void print_traceback();
};

template <class T>
class Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}
    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    T take() { return std::move(std::get<0>(v_)); }
    Error take_error() { return std::move(std::get<1>(v_)); }

private:
    std::variant<T, Error> v_;
};

struct Unit {};
using Status = Result<Unit>;
inline Status success() { return Unit{}; }

// A new reference from the API, or the exception it set.
inline Result<Ref> checked(PyObject* result) {
    if (result) return Ref(result);
    return Error::fetch();
}

// A new reference to `object`.
inline PyObject* new_ref(PyObject* object) noexcept {
    Py_INCREF(object);
    return object;
}

// A str of UTF-8 text as a new reference, or null with the exception set.
PyObject* new_text(std::string_view utf8);
Result<Ref> text(std::string_view utf8);
Result<Ref> import(std::string_view dotted_name);
Result<Ref> getattr(PyObject* object, std::string_view name);
// Calls `callable(*args, **kwargs)`; `kwargs` may be null.
Result<Ref> call(PyObject* callable, PyObject* args, PyObject* kwargs);

// Text of a str object as UTF-8, with unencodable characters replaced.
std::string to_utf8_lossy(PyObject* str);
// The `__qualname__` of a type object.
std::string qualified_name(PyObject* type);

}  // namespace vora::py

// Evaluates a Result-returning expression; on error returns the error from
// the enclosing function, else binds the value to `var`.
#define VORA_TRY(var, expr)                                   \
    auto var##_result = (expr);                               \
    if (!var##_result.ok()) return var##_result.take_error(); \
    auto var = var##_result.take()

#define VORA_CHECK(expr)                                          \
    do {                                                          \
        auto vora_status_ = (expr);                               \
        if (!vora_status_.ok()) return vora_status_.take_error(); \
    } while (0)
