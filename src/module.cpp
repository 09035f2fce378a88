// The module vora_convert_inner: initialisation and the exported functions,
// rust_convert(path), rust_explain(path) and check(path, *, files, base).
#include "python/py.hpp"

#include <cstdlib>
#include <exception>
#include <optional>
#include <type_traits>
#include <cstdio>
#include <new>
#include <string>
#include <unistd.h>

#include "cli/check_json.hpp"
#include "configuration/load.hpp"
#include "base/fault.hpp"
#include "io/output.hpp"
#include "pipeline/driver.hpp"
#include "io/read_file.hpp"
#include "summary/summary.hpp"

namespace vora {

namespace {

// Made once by the main interpreter's import and kept for the life of the
// process: the panic exception type, and the module (handed out again when
// an import refused it after it was made; see initialise).
PyObject* panic_type = nullptr;
PyObject* module_object = nullptr;

// rust_explain called by a signal handler while the same thread's summary
// is being written.
constexpr std::string_view kWriterBusy =
    "rust_explain called while this thread is writing a summary (from a signal handler); nothing was printed";

void raise_runtime_error(const std::string& message) { PyErr_SetString(PyExc_RuntimeError, message.c_str()); }

void raise_panic(const std::string& message) {
    const std::string report = "vora_convert_inner: internal fault: " + message + "\n";
    [[maybe_unused]] auto written = ::write(STDERR_FILENO, report.data(), report.size());
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (!text) return;
    PyErr_SetObject(panic_type, text);
    Py_DECREF(text);
}

// Argument extraction: one parameter `path`, positional or keyword, which
// must be a str (or a subclass of it). Returns its UTF-8 text, or null with
// the exception set.
const char* extract_path(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         Py_ssize_t* size) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional arguments but %zd %s given", function, nargs,
                     nargs == 1 ? "was" : "were");
        return nullptr;
    }
    PyObject* path = nargs == 1 ? args[0] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        const int is_path = PyUnicode_Check(name) ? PyUnicode_CompareWithASCIIString(name, "path") == 0 : 0;
        if (!is_path) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function, name);
            return nullptr;
        }
        if (path) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'path'", function);
            return nullptr;
        }
        path = args[nargs + i];
    }
    if (!path) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'path'", function);
        return nullptr;
    }
    if (!PyUnicode_Check(path)) {
        const std::string type_name = py::qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(path)));
        PyErr_Format(PyExc_TypeError, "argument 'path': '%s' object cannot be converted to 'PyString'",
                     type_name.c_str());
        return nullptr;
    }
    return PyUnicode_AsUTF8AndSize(path, size);
}

// Runs `body(check)` with the interpreter lock released: the calling thread
// touches no Python object meanwhile, and other Python threads run. When a
// signal interrupts a blocking call made meanwhile, `check` takes the lock
// back for the interpreter to run its signal handlers; the call is retried
// unless one raised (Ctrl-C: KeyboardInterrupt), whose exception is then the
// function's.
//
// The lock is taken back by a plain call after the body, never by a
// destructor: while the process exits, the interpreter ends a daemon thread
// that asks for its lock (pthread_exit, a forced unwind), and that unwind
// must find no noexcept frame on its way out, and no handler that keeps it.
// A C++ exception of the body (the kinds the module throws; no catch-all,
// see VORA_CATCH_ALL) is held until the lock is back. After a thread end
// nothing takes the lock back: the thread never had it again.
template <class Body>
auto without_interpreter_lock(Body&& body) -> decltype(body(InterruptCheck{})) {
    using Result = decltype(body(InterruptCheck{}));
    struct Released {
        PyThreadState* state;
        static bool run_signal_handlers(void* self) {
            auto* released = static_cast<Released*>(self);
            PyEval_RestoreThread(released->state);
            const bool go_on = PyErr_CheckSignals() == 0;
            released->state = PyEval_SaveThread();
            return go_on;
        }
    } released{PyEval_SaveThread()};
    const InterruptCheck check{&Released::run_signal_handlers, &released};
    std::exception_ptr failure;
    std::optional<std::conditional_t<std::is_void_v<Result>, bool, Result>> result;
    try {
        if constexpr (std::is_void_v<Result>) {
            body(check);
            result.emplace(true);
        } else {
            result.emplace(body(check));
        }
    } catch (const Interrupted&) {
        failure = std::current_exception();
    } catch (const WriterBusy&) {
        failure = std::current_exception();
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(released.state);
    if (failure) std::rethrow_exception(failure);
    if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

// The text of the file last read on this thread, its room kept for the
// next read while it is small; a read made while another is under way (by
// a signal handler that converts) uses a buffer of its own.
constexpr std::size_t kKeptText = 64 * 1024;
struct TextBuffer {
    std::string text;
    bool busy = false;
};
thread_local TextBuffer text_buffer;

// Reads and loads the file into `configuration`; on failure sets
// RuntimeError and returns false (a read stopped by a signal handler throws
// Interrupted).
bool load_file(std::string_view path, Configuration& configuration) {
    TextBuffer& kept = text_buffer;
    std::string own_text;
    struct Hold {
        TextBuffer* kept;  // null when the buffer is in use already
        ~Hold() {
            if (!kept) return;
            kept->text.clear();
            if (kept->text.capacity() > kKeptText) std::string().swap(kept->text);
            kept->busy = false;
        }
    } hold{kept.busy ? nullptr : &kept};
    std::string& text = hold.kept ? kept.text : own_text;
    kept.busy = true;
    std::optional<ReadError> read_error;
    // Opening and reading may block for as long as a writer keeps a FIFO or
    // a terminal silent.
    read_error = without_interpreter_lock(
        [&](InterruptCheck check) { return read_text_file(path, text, kDocumentLimit, check); });
    if (read_error) {
        raise_runtime_error(read_error->message);
        return false;
    }
    if (auto err = parse_configuration(text, configuration)) {
        raise_runtime_error(err->render());
        return false;
    }
    return true;
}

PyObject* explain(std::string_view path) {
    Configuration configuration;
    if (!load_file(path, configuration)) return nullptr;
    // A write to descriptor 1 blocks while a pipe on it is full, and the
    // thread that drains it may be one of this interpreter's. The writer's
    // own lock is therefore waited for only without the interpreter lock: no
    // thread ever holds the interpreter lock while it waits for the writer's.
    // (A signal handler run during a write or the wait takes the interpreter
    // lock while this thread holds or waits for the writer's: that order is
    // the only one; a handler that explains again on this thread is refused.)
    // The summary is drawn meanwhile, as it is written.
    without_interpreter_lock([&](InterruptCheck check) {
        print_stdout_drawn([&](Sink& out) { draw_configuration_summary(configuration, out); }, check);
    });
    Py_RETURN_NONE;
}

PyObject* convert(std::string_view path) {
    Configuration configuration;
    if (!load_file(path, configuration)) return nullptr;
    // The caller holds the interpreter lock, and the driver runs under it
    // throughout (the converter's own methods may let it go meanwhile).
    py::Status status = pipeline::run(configuration);
    if (status.ok()) Py_RETURN_NONE;
    py::Error error = status.take_error();
    // Ctrl-C and an exit asked for by the converter reach the caller as they
    // were raised, so that a loop over many conversions can be stopped.
    if (error.matches(PyExc_KeyboardInterrupt) || error.matches(PyExc_SystemExit)) {
        std::move(error).restore();
        return nullptr;
    }
    // Any other exception becomes a new one: the converter's exception, its
    // traceback and cause are not attached. VORA_CONVERT_TRACEBACK (set, and
    // neither empty nor 0) shows the converter's traceback on standard error
    // first, for debugging a conversion; read at each call.
    const char* traceback = std::getenv("VORA_CONVERT_TRACEBACK");
    if (traceback && *traceback && std::string_view(traceback) != "0") error.print_traceback();
    raise_runtime_error(error.describe());
    return nullptr;
}

// The boundary: nothing thrown inside ever unwinds into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (const Interrupted&) {
        // A signal handler's exception, already set, ends the call.
    } catch (const WriterBusy&) {
        raise_runtime_error(std::string(kWriterBusy));
    } catch (const InternalFault& fault) {
        raise_panic(fault.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    }
    VORA_CATCH_ALL(raise_panic("unknown internal fault"))
    return nullptr;
}

template <PyObject* (*Body)(std::string_view)>
PyObject* entry(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Py_ssize_t size = 0;
        const char* path = extract_path(function, args, nargs, kwnames, &size);
        if (!path) return nullptr;
        return Body(std::string_view(path, static_cast<std::size_t>(size)));
    });
}

PyObject* rust_convert(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry<convert>("rust_convert", args, nargs, kwnames);
}

PyObject* rust_explain(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry<explain>("rust_explain", args, nargs, kwnames);
}

// check()'s arguments: `path` (positional or keyword), and the keywords
// `files` (a bool) and `base` (a str or None).
struct CheckArguments {
    PyObject* path = nullptr;
    bool files = true;
    std::string base;
};

bool check_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, CheckArguments& out) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "check() takes 1 positional argument but %zd were given", nargs);
        return false;
    }
    out.path = nargs == 1 ? args[0] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        PyObject* value = args[nargs + i];
        const auto is = [&](const char* key) { return PyUnicode_CompareWithASCIIString(name, key) == 0; };
        if (is("path") && out.path) {
            PyErr_SetString(PyExc_TypeError, "check() got multiple values for argument 'path'");
            return false;
        } else if (is("path")) {
            out.path = value;
        } else if (is("files") && PyBool_Check(value)) {
            out.files = value == Py_True;
        } else if (is("files")) {
            PyErr_SetString(PyExc_TypeError, "check(): argument 'files' must be a bool");
            return false;
        } else if (is("base") && (value == Py_None || PyUnicode_Check(value))) {
            if (value == Py_None) continue;
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(value, &size);
            if (!text) return false;
            out.base.assign(text, static_cast<std::size_t>(size));
        } else if (is("base")) {
            PyErr_SetString(PyExc_TypeError, "check(): argument 'base' must be a str or None");
            return false;
        } else {
            PyErr_Format(PyExc_TypeError, "check() got an unexpected keyword argument '%S'", name);
            return false;
        }
    }
    if (!out.path || !PyUnicode_Check(out.path)) {
        PyErr_SetString(PyExc_TypeError, out.path ? "check(): argument 'path' must be a str"
                                                  : "check() missing 1 required argument: 'path'");
        return false;
    }
    return true;
}

// check(path, *, files=True, base=None): the findings of `vora-config check
// --isolated --format json path`, as a list of dicts (json.loads of the same
// text). The interpreter lock is released while the file and the files it
// names are read and checked.
PyObject* check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        CheckArguments arguments;
        if (!check_arguments(args, nargs, kwnames, arguments)) return nullptr;
        Py_ssize_t size = 0;
        const char* path = PyUnicode_AsUTF8AndSize(arguments.path, &size);
        if (!path) return nullptr;
        const std::string_view file(path, static_cast<std::size_t>(size));
        const std::string json = without_interpreter_lock([&](InterruptCheck interrupt) {
            return cli::check_as_json(file, arguments.files, arguments.base, interrupt);
        });
        py::Ref module(PyImport_ImportModule("json"));
        if (!module) return nullptr;
        py::Ref text(PyUnicode_DecodeUTF8(json.data(), static_cast<Py_ssize_t>(json.size()), "surrogateescape"));
        if (!text) return nullptr;
        return PyObject_CallMethod(module.get(), "loads", "O", text.get());
    });
}

PyMethodDef function_defs[] = {
    {"rust_convert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rust_convert)),
     METH_FASTCALL | METH_KEYWORDS, "rust_convert(path)\n--\n\n"},
    {"rust_explain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rust_explain)),
     METH_FASTCALL | METH_KEYWORDS, "rust_explain(path)\n--\n\n"},
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check)), METH_FASTCALL | METH_KEYWORDS,
     "check(path, *, files=True, base=None)\n--\n\n"},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vora_convert_inner", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Whether the import runs in the main interpreter.
bool in_main_interpreter() { return PyThreadState_Get()->interp == PyInterpreterState_Main(); }

// Whether the import system took the module made before: it sets
// `__spec__` on every module it imports. A sub-interpreter's import may run
// this initialisation in the main interpreter and then refuse the module (as
// one that does not support sub-interpreters); that module's `__spec__`
// stays None.
bool was_imported(PyObject* module) {
    PyObject* module_spec = PyDict_GetItemString(PyModule_GetDict(module), "__spec__");
    return module_spec && module_spec != Py_None;
}

PyObject* initialise() {
    // Only the main interpreter may have the module, once. An import in a
    // sub-interpreter is refused before anything is made or recorded, and a
    // module that an import refused after it was made is handed out again:
    // a sub-interpreter that tries first does not use up the main
    // interpreter's import.
    if (!in_main_interpreter() || (module_object && was_imported(module_object))) {
        PyErr_SetString(PyExc_ImportError, "vora_convert_inner may only be initialized once per interpreter process");
        return nullptr;
    }
    if (module_object) return py::new_ref(module_object);
    if (!pipeline::prepare()) return nullptr;
    py::Ref module(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    if (!module) return nullptr;
    py::Ref name(PyModule_GetNameObject(module.get()));
    if (!name) return nullptr;
    if (!panic_type) {
        panic_type = PyErr_NewExceptionWithDoc(
            "vora_convert_inner.PanicException",
            "An internal fault of vora_convert_inner (a broken invariant or unwritable standard output).",
            PyExc_BaseException, nullptr);
        if (!panic_type) return nullptr;
    }
    for (PyMethodDef& def : function_defs) {
        py::Ref function(PyCFunction_NewEx(&def, module.get(), name.get()));
        if (!function) return nullptr;
        if (PyModule_AddObject(module.get(), def.ml_name, function.get()) < 0) return nullptr;
        function.release();  // the module took the reference
    }
    module_object = module.release();
    Py_INCREF(module_object);  // kept for the life of the process
    return module_object;
}

}  // namespace

}  // namespace vora

// The module is built with hidden visibility, and before Python 3.9
// PyMODINIT_FUNC does not mark the initialisation function as exported: the
// declaration does, for every version.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_vora_convert_inner();

extern "C" PyMODINIT_FUNC PyInit_vora_convert_inner() {
    try {
        return vora::initialise();
    } catch (const std::exception&) {
        PyErr_SetString(PyExc_ImportError, "vora_convert_inner failed to initialize");
        return nullptr;
    }
    VORA_CATCH_ALL(PyErr_SetString(PyExc_ImportError, "vora_convert_inner failed to initialize"); return nullptr)
}
