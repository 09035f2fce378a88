// The process-wide standard-output writer: whole lines straight to file
// descriptor 1, bypassing the interpreter's sys.stdout.
#pragma once

#include <string_view>

namespace vora {

// Appends `text` to the line buffer and writes every complete line. A failed
// write throws InternalFault("failed printing to stdout: <error>") and drops
// what was buffered.
void print_stdout(std::string_view text);

}  // namespace vora
