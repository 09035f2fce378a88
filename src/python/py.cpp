#include "python/py.hpp"

#include <cstdint>
#include <cstring>

#include "text/utf8.hpp"

namespace vora::py {

Error Error::fetch() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return make(PyExc_SystemError, "attempted to fetch exception but none was set");
    return Error{Ref(type), Ref(value), Ref(traceback)};
}

Error Error::make(PyObject* type, std::string_view message) {
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (!text) return fetch();
    Py_INCREF(type);
    return Error{Ref(type), Ref(text), Ref()};
}

void Error::restore() && { PyErr_Restore(type.release(), value.release(), traceback.release()); }

bool Error::matches(PyObject* kind) const { return PyErr_GivenExceptionMatches(type.get(), kind) != 0; }

std::string Error::describe() {
    PyObject *t = type.release(), *v = value.release(), *tb = traceback.release();
    PyErr_NormalizeException(&t, &v, &tb);
    type = Ref(t);
    value = Ref(v);
    traceback = Ref(tb);
    std::string out = qualified_name(type.get());
    out += ": ";
    PyObject* str = v ? PyObject_Str(v) : nullptr;
    if (str) {
        out += to_utf8_lossy(str);
        Py_DECREF(str);
    } else {
        PyErr_Clear();
        out += "<exception str() failed>";
    }
    return out;
}

void Error::print_traceback() {
    PyObject *t = type.release(), *v = value.release(), *tb = traceback.release();
    PyErr_NormalizeException(&t, &v, &tb);
    type = Ref(t);
    value = Ref(v);
    traceback = Ref(tb);
    Ref module(PyImport_ImportModule("traceback"));
    Ref printed;
    if (module) {
        printed = Ref(PyObject_CallMethod(module.get(), "print_exception", "OOO", t ? t : Py_None, v ? v : Py_None,
                                          tb ? tb : Py_None));
    }
    if (!printed) PyErr_Clear();
}

namespace {

bool is_ascii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) & 0x80) return false;
    }
    return true;
}

}  // namespace

PyObject* new_text(std::string_view utf8) {
    // ASCII text (most of it) is copied into a new compact str as it is:
    // no decoding. The empty and one-character strings are the
    // interpreter's shared ones, as the decoder gives them.
    const auto size = static_cast<Py_ssize_t>(utf8.size());
    if (size > 1 && is_ascii(utf8)) {
        PyObject* str = PyUnicode_New(size, 127);
        if (str) std::memcpy(PyUnicode_1BYTE_DATA(str), utf8.data(), utf8.size());
        return str;
    }
    return PyUnicode_FromStringAndSize(utf8.data(), size);
}

Result<Ref> text(std::string_view utf8) { return checked(new_text(utf8)); }

Result<Ref> import(std::string_view dotted_name) {
    VORA_TRY(name, text(dotted_name));
    return checked(PyImport_Import(name.get()));
}

Result<Ref> getattr(PyObject* object, std::string_view name) {
    VORA_TRY(key, text(name));
    return checked(PyObject_GetAttr(object, key.get()));
}

Result<Ref> call(PyObject* callable, PyObject* args, PyObject* kwargs) {
    return checked(PyObject_Call(callable, args, kwargs));
}

std::string to_utf8_lossy(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str, &size))
        return std::string(data, static_cast<std::size_t>(size));
    PyErr_Clear();
    // Lone surrogates: take the raw bytes and replace every maximal
    // ill-formed subsequence by U+FFFD.
    PyObject* bytes = PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass");
    if (!bytes) {
        PyErr_Clear();
        return "\xEF\xBF\xBD";
    }
    const std::string_view raw(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
    std::string out;
    out.reserve(raw.size());
    std::size_t i = 0;
    while (i < raw.size()) {
        const auto c = static_cast<unsigned char>(raw[i]);
        std::size_t len = c < 0x80                   ? 1
                          : (c >= 0xC2 && c <= 0xDF) ? 2
                          : (c >= 0xE0 && c <= 0xEF) ? 3
                          : (c >= 0xF0 && c <= 0xF4) ? 4
                                                     : 0;
        std::size_t k = 1;
        for (; len && k < len && i + k < raw.size(); ++k) {
            const auto b = static_cast<unsigned char>(raw[i + k]);
            unsigned char lo = 0x80, hi = 0xBF;
            if (k == 1) {
                if (c == 0xE0) lo = 0xA0;
                if (c == 0xED) hi = 0x9F;
                if (c == 0xF0) lo = 0x90;
                if (c == 0xF4) hi = 0x8F;
            }
            if (b < lo || b > hi) break;
        }
        if (len && k == len) {
            out.append(raw.substr(i, len));
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            i += len ? k : 1;
        }
    }
    Py_DECREF(bytes);
    return out;
}

std::string qualified_name(PyObject* type) {
    PyObject* name = PyObject_GetAttrString(type, "__qualname__");
    if (!name || !PyUnicode_Check(name)) {
        Py_XDECREF(name);
        PyErr_Clear();
        return PyType_Check(type) ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "<unknown>";
    }
    std::string out = to_utf8_lossy(name);
    Py_DECREF(name);
    return out;
}

}  // namespace vora::py
