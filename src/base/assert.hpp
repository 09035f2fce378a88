// VORA_ASSERT(condition, message): a check of an invariant that costs
// nothing in a release build (NDEBUG defined) and, in any other build (the
// tests' Debug and sanitizer builds), ends the process with the message, the
// condition and where it failed. Writers into memory sized beforehand assert
// with it that every write stays inside that memory.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace vora {

[[noreturn]] inline void assertion_failed(const char* condition, const char* message, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: assertion failed: %s (%s)\n", file, line, message, condition);
    std::abort();
}

}  // namespace vora

#ifdef NDEBUG
#define VORA_ASSERT(condition, message) static_cast<void>(sizeof(!(condition)))  // not evaluated
#else
#define VORA_ASSERT(condition, message) \
    ((condition) ? static_cast<void>(0) : ::vora::assertion_failed(#condition, message, __FILE__, __LINE__))
#endif
