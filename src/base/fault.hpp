// An internal fault: a broken invariant or standard output that cannot be
// written. It is thrown inside the system and turned into the module's panic
// exception at the function boundary; it never reaches the interpreter as a
// C++ exception.
#pragma once

#include <cxxabi.h>
#include <stdexcept>
#include <string>

namespace vora {

struct InternalFault : std::runtime_error {
    explicit InternalFault(const std::string& message) : std::runtime_error(message) {}
};

// A thread that the C library ends (pthread_exit, as the interpreter does to
// a daemon thread that asks for its lock while the process exits) is unwound
// by a "forced unwind": it runs destructors, and must find no noexcept frame
// and no handler that keeps it. libstdc++ names it abi::__forced_unwind and
// rethrows it from a catch-all; libc++ cannot rethrow it (its rethrow ends
// the process), so where the module's code may be on such a thread's stack
// there is no catch-all at all, and cleanup on the way out is done by
// destructors. VORA_CATCH_ALL(handler) is a catch-all where libstdc++ lets
// one be, and nothing with libc++.
#if defined(__GLIBCXX__)
#define VORA_CATCH_ALL(handler)     \
    catch (abi::__forced_unwind&) { \
        throw;                      \
    }                               \
    catch (...) {                   \
        handler;                    \
    }
#else
#define VORA_CATCH_ALL(handler)
#endif

}  // namespace vora
