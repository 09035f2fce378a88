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
// by a "forced unwind": it runs destructors but must leave every handler
// that catches it by rethrowing, or the process aborts. A handler that
// catches everything and does not rethrow begins with
// VORA_RETHROW_THREAD_END, and then asks thread_end_in_flight() inside its
// `catch (...)`:
//   libstdc++ names the unwind abi::__forced_unwind, which the macro catches;
//   libc++ has no such name: there the unwind is a foreign exception, one
//   whose type the C++ runtime cannot tell.
#if defined(__GLIBCXX__)
#define VORA_RETHROW_THREAD_END \
    catch (abi::__forced_unwind&) { throw; }
inline bool thread_end_in_flight() noexcept { return false; }
#else
#define VORA_RETHROW_THREAD_END
inline bool thread_end_in_flight() noexcept { return abi::__cxa_current_exception_type() == nullptr; }
#endif

}  // namespace vora
