// An internal fault: a broken invariant or standard output that cannot be
// written. It is thrown inside the system and turned into the module's panic
// exception at the function boundary; it never reaches the interpreter as a
// C++ exception.
#pragma once

#include <stdexcept>
#include <string>

namespace vora {

struct InternalFault : std::runtime_error {
    explicit InternalFault(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace vora
